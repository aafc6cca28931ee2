// vorn-files: prints the files that discovery selects below ROOT.
//
//   vorn-files [--follow-links] [--ext EXT]... [--exclude PATTERN]... [--] ROOT
//
// Each selected path is printed with a newline on stdout, in the order
// walk_files returns them (exit 0). On failure the error's text ("io: ...")
// goes to stderr (exit 1), as does "out of memory" when memory runs out; a
// bad command line prints the usage (exit 2).
// `--ext ''` selects the empty extension; without --ext nothing is selected,
// but the whole tree is walked all the same.

#include <cstdio>
#include <string>
#include <string_view>

#include "core/discovery.h"
#include "tools/options.h"

namespace {

constexpr std::string_view kUsage =
    "usage: vorn-files [--follow-links] [--ext EXT]... [--exclude PATTERN]... [--] ROOT\n";

int run(int argc, char** argv) {
  vorn_tools::DiscoveryOptions options;
  if (!vorn_tools::read_options(argc, argv, options,
                                [](std::string_view, auto&) { return false; })) {
    return vorn_tools::usage_error(kUsage);
  }

  const auto paths = vorn_core::walk_files(options.root, options.extensions, options.config);
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

}  // namespace

int main(int argc, char** argv) {
  return vorn_tools::run_tool([&] { return run(argc, argv); });
}
