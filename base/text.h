// Byte-text helpers shared by both libraries: paths are the operating
// system's bytes, while every message the system shows is valid UTF-8.
// Every function here may be called from any number of threads at once.
#pragma once

#include <string>
#include <string_view>

namespace vorn_base {

// Whether `bytes` is well-formed UTF-8 (no surrogates, no overlong forms,
// nothing above U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

// `bytes` with each maximal ill-formed subpart replaced by one U+FFFD, the
// substitution a lossy UTF-8 decoder makes. Valid input comes back unchanged.
std::string lossy_utf8(std::string_view bytes);

// The operating system's description of `code` shown as
// "{description} (os error {code})", e.g. "No such file or directory (os error 2)".
std::string os_error_text(int code);

}  // namespace vorn_base
