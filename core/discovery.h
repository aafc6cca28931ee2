// File discovery: the list of source files that a run will parse.
//
//   const std::string_view extensions[] = {"py", "pyi"};
//   auto paths = walk_files("./src", extensions, config);
//   if (!paths) return std::unexpected(paths.error());  // "io: ..."
//
// Runs on the calling thread, helped by the workers of `pool` (the
// process-wide pool unless another is given; see vorn_walk::Walker), and
// shares nothing; any number of calls may run at once on different threads.
// Every worker task it starts has ended when it returns.
#pragma once

#include <expected>
#include <span>
#include <string_view>

#include "base/pool.h"
#include "core/config.h"
#include "core/error.h"
#include "core/path_list.h"

namespace vorn_core {

// The regular files (links to them included) below `root` whose extension is
// one of `extensions`, found by the gitignore-aware walk of vorn_walk::Walker
// and sorted by the path order (compare_components; no two paths of one walk
// compare equal, so the order is total).
//
// `root` is used exactly as written: every path begins with it, followed by
// the names below it joined with "/" (none is added after a root that ends
// in "/"); a root that is itself a selected file comes back unchanged. A root
// "-" gives an empty list.
//
// A file is selected when its file_extension (core/extension.h) is present
// and equals an entry of `extensions` byte for byte. An empty `extensions`
// selects nothing, but the walk still runs to its end and can still fail.
//
// Of `config`, only `general.exclude` and `general.follow_links` are read;
// both go to the walk as they are (vorn_walk::WalkOptions): an entry that an
// exclude pattern matches is skipped, a directory with all it holds, whatever
// the ignore files say.
//
// Fails with the I/O EngineError made from the message, whose text is "io: "
// and then:
//   "error parsing glob '!{pattern}': {reason}" for the first exclude pattern
//       that does not compile (an unclosed "[" included);
//   the first error the walk reports (a root that cannot be examined, a
//       directory that cannot be listed, an ignore, git or configuration
//       file that cannot be read, with `follow_links` a link that cannot be
//       followed or leads back to a directory containing it, or a bad line
//       in an ignore file of one of the root's ancestors).
// Errors in ignore files inside the walked tree are dropped. Memory running
// out is no EngineError: std::bad_alloc is thrown, whichever thread ran out.
std::expected<PathList, EngineError> walk_files(
    std::string_view root, std::span<const std::string_view> extensions, const Config& config,
    vorn_base::Pool& pool = vorn_base::Pool::process());

}  // namespace vorn_core
