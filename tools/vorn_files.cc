// vorn-files: prints the files that discovery selects below ROOT.
//
//   vorn-files [--follow-links] [--ext EXT]... [--exclude PATTERN]... [--] ROOT
//
// Each selected path is printed with a newline on stdout, in the order
// walk_files returns them (exit 0). On failure the error's text ("io: ...")
// goes to stderr (exit 1); a bad command line prints the usage (exit 2).
// `--ext ''` selects the empty extension; without --ext nothing is selected,
// but the whole tree is walked all the same.

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "core/config.h"
#include "core/walk.h"

namespace {

constexpr std::string_view kUsage =
    "usage: vorn-files [--follow-links] [--ext EXT]... [--exclude PATTERN]... [--] ROOT\n";

int usage() {
  std::fwrite(kUsage.data(), 1, kUsage.size(), stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  vorn_core::Config config;
  std::vector<std::string_view> extensions;
  std::vector<std::string_view> roots;
  bool options_done = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (options_done || !arg.starts_with("--")) {
      roots.push_back(arg);
    } else if (arg == "--") {
      options_done = true;
    } else if (arg == "--follow-links") {
      config.general.follow_links = true;
    } else if ((arg == "--ext" || arg == "--exclude") && i + 1 < argc) {
      const std::string_view value = argv[++i];
      if (arg == "--ext") {
        extensions.push_back(value);
      } else {
        config.general.exclude.emplace_back(value);
      }
    } else {
      return usage();
    }
  }
  if (roots.size() != 1) return usage();

  const auto paths = vorn_core::walk_files(roots.front(), extensions, config);
  if (!paths) {
    const std::string text = paths.error().text() + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
    return 1;
  }
  static char buffer[1 << 16];
  std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
  for (const std::string_view path : *paths) {
    std::fwrite(path.data(), 1, path.size(), stdout);
    std::fputc('\n', stdout);
  }
  return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
}
