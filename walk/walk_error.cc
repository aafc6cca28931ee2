#include "walk/walk_error.h"

#include "base/text.h"

namespace vorn_walk {

WalkError io_error(std::string_view path, std::string_view reason) {
  const std::string shown = vorn_base::lossy_utf8(path);
  return {shown + ": IO error for operation on " + shown + ": " + std::string(reason)};
}

WalkError io_error(std::string_view path, int code) {
  return io_error(path, vorn_base::os_error_text(code));
}

WalkError loop_error(std::string_view link, std::string_view directory) {
  return {"File system loop found: " + vorn_base::lossy_utf8(link) + " points to an ancestor " +
          vorn_base::lossy_utf8(directory)};
}

}  // namespace vorn_walk
