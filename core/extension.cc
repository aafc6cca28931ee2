#include "core/extension.h"

#include "base/text.h"

namespace vorn_core {

std::optional<std::string_view> file_extension(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return std::nullopt;
  const std::string_view extension = name.substr(dot + 1);
  if (!vorn_base::is_valid_utf8(extension)) return std::nullopt;
  return extension;
}

}  // namespace vorn_core
