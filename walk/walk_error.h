// The walk's error texts. Paths in them are shown as lossy UTF-8; every
// function here may be called from any number of threads at once.
#pragma once

#include <string>
#include <string_view>

namespace vorn_walk {

// An error the walk met, as the user sees it.
struct WalkError {
  std::string text;
};

// "{path}: IO error for operation on {path}: {reason}": `path` could not be
// examined, listed, followed or read.
WalkError io_error(std::string_view path, std::string_view reason);

// The same, with the system's text for the error number `code`:
// "{description} (os error {code})".
WalkError io_error(std::string_view path, int code);

// "File system loop found: {link} points to an ancestor {directory}".
WalkError loop_error(std::string_view link, std::string_view directory);

}  // namespace vorn_walk
