#include "core/source.h"

namespace vorn_core {
namespace {

std::shared_ptr<const char[]> copy_of(std::string_view path, std::string_view text) {
  auto bytes = std::make_shared_for_overwrite<char[]>(path.size() + text.size());
  path.copy(bytes.get(), path.size());
  text.copy(bytes.get() + path.size(), text.size());
  return bytes;
}

}  // namespace

SourceFile::SourceFile(std::string_view path, std::string_view text)
    : SourceFile(copy_of(path, text), path.size(), text.size()) {}

SourceFile::SourceFile(const std::shared_ptr<const char[]>& bytes, std::size_t path_size,
                       std::size_t text_size)
    : SourceFile({bytes.get(), path_size}, {bytes.get() + path_size, text_size}, bytes) {}

}  // namespace vorn_core
