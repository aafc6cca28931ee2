#include "core/extension.h"

#include <optional>

#include <gtest/gtest.h>

namespace vorn_core {
namespace {

TEST(FileExtension, IsTheTextAfterTheLastDotUnlessTheNameBeginsWithIt) {
  EXPECT_EQ(file_extension("a.tar.gz"), "gz");
  EXPECT_EQ(file_extension("notes."), "");
  EXPECT_EQ(file_extension("x.PY"), "PY");
  EXPECT_EQ(file_extension("Makefile"), std::nullopt);
  EXPECT_EQ(file_extension(".bashrc"), std::nullopt);
  EXPECT_EQ(file_extension(".cache.py"), "py");
  EXPECT_EQ(file_extension("b.\xFF"), std::nullopt);
  EXPECT_EQ(file_extension("c.\xC3\xA9"), "\xC3\xA9");
}

}  // namespace
}  // namespace vorn_core
