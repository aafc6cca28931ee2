// A file's extension, as discovery selects files and the parse stage picks
// languages by it.
#pragma once

#include <optional>
#include <string_view>

namespace vorn_core {

// The extension of the file named `name` (a path's final component) that
// discovery selects by, and languages are chosen by: the text after the last
// ".", unless that dot begins the name ("Makefile" and ".bashrc" have none,
// "notes." has the empty one). nullopt when there is none or it is not valid
// UTF-8. The view points into `name`.
std::optional<std::string_view> file_extension(std::string_view name);

}  // namespace vorn_core
