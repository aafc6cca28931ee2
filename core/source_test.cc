#include "core/source.h"

#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace vorn_core {
namespace {

TEST(SourceFile, KeepsCopiesOfWhatItIsGiven) {
  std::string path = "src/a.txt";
  std::string text("x\0y\n", 4);
  const SourceFile source(path, text);
  path.assign("changed");
  text.assign("changed");
  EXPECT_EQ(source.path, "src/a.txt");
  EXPECT_EQ(source.text, std::string_view("x\0y\n", 4));
}

TEST(SourceFile, KeepsTheStorageItViewsAliveAsLongAsItLives) {
  auto bytes = std::make_shared<std::string>("a.rsfn main");
  const std::weak_ptr<std::string> watch = bytes;
  const std::string_view all = *bytes;
  auto source =
      std::make_shared<const SourceFile>(all.substr(0, 4), all.substr(4), std::move(bytes));
  EXPECT_EQ(source->path, "a.rs");
  EXPECT_EQ(source->text, "fn main");
  EXPECT_FALSE(watch.expired());
  source.reset();
  EXPECT_TRUE(watch.expired());
}

TEST(OnceCell, FillsOnceAmongRacingThreadsAndEveryoneSeesThatValue) {
  const auto source = std::make_shared<const SourceFile>("a.txt", "x\ny\n");
  EXPECT_EQ(source->line_starts.get(), nullptr);

  std::atomic<int> calls = 0;
  std::vector<const std::vector<std::uint32_t>*> seen(8);
  std::vector<std::jthread> threads;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&, i] {
      seen[i] = &source->line_starts.get_or_init([&] {
        ++calls;
        return std::vector<std::uint32_t>{0, 2, static_cast<std::uint32_t>(i)};
      });
    });
  }
  threads.clear();

  EXPECT_EQ(calls, 1);
  const auto* filled = source->line_starts.get();
  ASSERT_NE(filled, nullptr);
  for (const auto* value : seen) EXPECT_EQ(value, filled);
  // A later fill does not replace the value.
  EXPECT_EQ(&source->line_starts.get_or_init([] { return std::vector<std::uint32_t>{}; }), filled);
}

TEST(OnceCell, StaysUnfilledWhenTheFillThrows) {
  OnceCell<int> cell;
  EXPECT_THROW(cell.get_or_init([]() -> int { throw std::runtime_error("no"); }),
               std::runtime_error);
  EXPECT_EQ(cell.get(), nullptr);
  EXPECT_EQ(cell.get_or_init([] { return 7; }), 7);
  ASSERT_NE(cell.get(), nullptr);
  EXPECT_EQ(*cell.get(), 7);
}

}  // namespace
}  // namespace vorn_core
