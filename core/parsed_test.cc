#include "core/parsed.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace vorn_core {
namespace {

// Records, when destroyed, whether the source text was already gone.
class WitnessAst : public NativeAst {
 public:
  WitnessAst(std::weak_ptr<const SourceFile> source, std::vector<std::string>& log)
      : source_(std::move(source)), log_(log) {}
  ~WitnessAst() override { log_.push_back(source_.expired() ? "ast after source" : "ast first"); }

 private:
  std::weak_ptr<const SourceFile> source_;
  std::vector<std::string>& log_;
};

TEST(ParsedFile, ReleasesItsSourceBeforeItsTree) {
  std::vector<std::string> log;
  {
    auto source = std::make_shared<const SourceFile>("a.txt", "text");
    std::weak_ptr<const SourceFile> watch = source;
    ParsedFile parsed(std::move(source), {}, std::make_unique<WitnessAst>(watch, log), "text");
    ParsedFile moved = std::move(parsed);
    EXPECT_EQ(moved.source->text, "text");
    EXPECT_EQ(moved.language, "text");
  }
  EXPECT_EQ(log, std::vector<std::string>{"ast after source"});
}

}  // namespace
}  // namespace vorn_core
