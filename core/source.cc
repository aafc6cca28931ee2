#include "core/source.h"

namespace vorn_core {
namespace {

SourceFile::Bytes copy_of(std::string_view path, std::string_view text) {
  SourceFile::Bytes bytes(new char[path.size() + text.size()], [](char* data) { delete[] data; });
  path.copy(bytes.get(), path.size());
  text.copy(bytes.get() + path.size(), text.size());
  return bytes;
}

}  // namespace

SourceFile::SourceFile(std::string_view path, std::string_view text)
    : SourceFile(copy_of(path, text), path.size(), text.size()) {}

}  // namespace vorn_core
