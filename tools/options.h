// The command line that the tools running discovery share:
//
//   TOOL [--follow-links] [--ext EXT]... [--exclude PATTERN]... [OWN OPTION]... [--] ROOT
//
//   DiscoveryOptions options;
//   if (!read_options(argc, argv, options, [&](std::string_view option, auto& value) {
//         if (option != "--verbose") return false;  // unknown: a usage error
//         verbose = true;
//         return true;
//       })) {
//     return usage_error(kUsage);
//   }
//
// Options and the root may come in any order. Every argument that does not
// begin with "--" ("-" included), and every argument after "--", is a root;
// exactly one must be given. --ext and --exclude take the next argument as
// their value, whatever it holds.
#pragma once

#include <cstdio>
#include <new>
#include <optional>
#include <string_view>
#include <vector>

#include "core/config.h"

namespace vorn_tools {

struct DiscoveryOptions {
  // `general.follow_links` and `general.exclude` (in the order given) set.
  vorn_core::Config config;
  // In the order given; views into the arguments.
  std::vector<std::string_view> extensions;
  std::string_view root;
};

// Hands out the argument after an option as its value.
class OptionValue {
 public:
  OptionValue(int argc, char** argv, int& at) : argc_(argc), argv_(argv), at_(at) {}

  // The next argument, which is then no longer read as an option or a root;
  // nullopt when there is none.
  std::optional<std::string_view> operator()() {
    if (at_ + 1 >= argc_) return std::nullopt;
    return argv_[++at_];
  }

 private:
  int argc_;
  char** argv_;
  int& at_;
};

// Reads `argv` into `options`. Each option that is not one of the shared
// ones goes to `own(option, value)`, which takes the option's value, if it
// has one, by calling `value()`, and answers false for an option that is
// unknown or malformed. False for a bad command line.
template <typename Own>
bool read_options(int argc, char** argv, DiscoveryOptions& options, Own own) {
  std::vector<std::string_view> roots;
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    OptionValue value(argc, argv, i);
    if (options_done || !arg.starts_with("--")) {
      roots.push_back(arg);
    } else if (arg == "--") {
      options_done = true;
    } else if (arg == "--follow-links") {
      options.config.general.follow_links = true;
    } else if (arg == "--ext" || arg == "--exclude") {
      const std::optional<std::string_view> given = value();
      if (!given) return false;
      if (arg == "--ext") {
        options.extensions.push_back(*given);
      } else {
        options.config.general.exclude.emplace_back(*given);
      }
    } else if (!own(arg, value)) {
      return false;
    }
  }
  if (roots.size() != 1) return false;
  options.root = roots.front();
  return true;
}

// Prints `usage` on stderr; returns the exit status of a usage error.
inline int usage_error(std::string_view usage) {
  std::fwrite(usage.data(), 1, usage.size(), stderr);
  return 2;
}

// Runs a tool's `body` and returns its exit status. Memory running out, which
// the libraries pass on as std::bad_alloc, becomes "out of memory" on stderr
// and exit status 1 rather than an abort.
template <typename Body>
int run_tool(Body body) {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    constexpr std::string_view kOutOfMemory = "out of memory\n";
    std::fwrite(kOutOfMemory.data(), 1, kOutOfMemory.size(), stderr);
    return 1;
  }
}

}  // namespace vorn_tools
