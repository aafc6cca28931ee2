// The gitignore-aware depth-first walk of one root.
//
//   auto walker = Walker::create("src", WalkOptions{});
//   if (!walker) return report(walker.error().text);
//   while (auto item = walker->next()) {
//     if (!*item) { report(item->error().text); continue; }
//     use(item->value().path);
//   }
//
// The root is yielded first and never skipped; every entry below it is judged
// before it is yielded: exclusion lines first (a match skips it, nothing else
// is consulted), then the ignore files (".ignore" anywhere; ".gitignore", the
// repository's "info/exclude" and the user's global excludes file only inside
// a repository, that is below a directory holding ".git" or ".jj", a link
// counting only when it leads somewhere), the nearest directory winning, then
// the hidden rule (names beginning with "." are skipped unless a "!" line let
// them through). A skipped directory is neither listed nor entered. The
// ignore files of the root's ancestors (of its canonical form) are honoured
// too.
//
// A directory is yielded before its contents; the entries of one directory
// come in the order the system lists them. Each listing is read whole and
// closed before any of its entries is looked at, and the walk keeps its own
// stack, so neither depth nor width is limited by the call stack or by file
// descriptors.
//
// When the walk's pool (the process-wide one unless another is given) lets
// more than one thread work, the pool's workers list, load and judge the
// directories the walk will reach next (the earliest in depth-first order
// first, and only so many bytes ahead of it) while next() strings their
// results together; with one thread, next() lists each directory itself as
// it reaches it. For a tree that does not change during the walk both give
// the same items in the same order; only a change made while the walk runs
// can be seen by one and not the other.
//
// Errors are items of their own; the walk goes on after them:
//   "{path}: IO error for operation on {path}: {os error}"   (cannot examine,
//       list or follow `path`; or cannot read `path`, an ignore, git or
//       configuration file, for a reason other than its absence, a lack of
//       permission, or its not being a regular file: see regular_file.h)
//   "File system loop found: {link} points to an ancestor {directory}"
//   the errors in the lines of the ignore files of the root's ancestors,
//       which come first, before the root itself.
// A directory that cannot be listed, or whose own ignore or git files cannot
// be read, is yielded, followed by its error, and not entered. Should the
// global excludes file or a file of the root's ancestors not be read, that
// error is the walk's only item. Errors in the lines of the ignore files of
// a walked directory are attached to that directory's entry instead. Paths
// in texts are shown as lossy UTF-8.
//
// Running out of memory while a directory is listed and judged is no error
// item: the std::bad_alloc (or whatever else the listing threw) is thrown by
// the call of next() that reaches that directory, whichever thread listed
// it, and the walker can then only be destroyed.
//
// A Walker is used by one thread at a time; destroying it stops its workers
// and waits for the few directories they are still listing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/pool.h"
#include "walk/walk_error.h"

namespace vorn_walk {

// An entry's type as the walk observed it: a link is seen as a link unless
// links are followed (or it is the root: see Walker).
enum class FileType : std::uint8_t {
  file,
  directory,
  symlink,
  other,  // pipes, sockets, devices
  stdin,  // the pseudo-entry of the root "-"
};

// One entry. The views stay valid until the next call of Walker::next.
struct WalkEntry {
  // The root exactly as given, then the names below it, each joined with one
  // "/" (none where the path so far already ends in "/"). A NUL byte follows
  // it in memory, so `path.data()` can go straight to a system call.
  std::string_view path;
  // The last name of `path`: the name in its directory's listing, or for the
  // root its final name component (empty for "/", "." or "..").
  std::string_view name;
  std::size_t depth = 0;  // 0 for the root
  FileType type = FileType::other;
  // For a directory: the errors met reading its ignore files, one per line,
  // "{file}: line {n}: {reason}"; empty when there were none.
  std::string_view ignore_errors;
};

using WalkItem = std::expected<WalkEntry, WalkError>;

struct WalkOptions {
  // Follow symbolic links below the root: links to directories are
  // descended (a link back to a directory that contains it is a loop error),
  // and a link that cannot be followed is an error naming it.
  bool follow_links = false;
  // Exclusion patterns as the user wrote them, matched below the root less
  // one leading "./": an entry that one of them matches is skipped, a
  // directory with all it holds, whatever the ignore files say. Each is read
  // as the ignore-file line "!" and the pattern (see parse_line), so "#" or
  // "\!" at its start stands for itself; an unclosed "[" is an error.
  std::vector<std::string> exclude;
};

class Walker {
 public:
  // Prepares the walk of `root`, which is used exactly as given. Nothing is
  // read until the first call of next(). A root of "-" (or "-/") is not
  // walked: its only item is an entry "<stdin>" of type `stdin`.
  //
  // The root is examined without following a link, except when links are
  // followed or the root leads to a regular file; a root that is a link to a
  // directory is descended all the same.
  //
  // The user's global excludes file is found through "HOME" (else the user
  // database) and "XDG_CONFIG_HOME", read when the walk starts, and matched
  // relative to the current directory; the errors of its lines are dropped.
  //
  // Directories are listed ahead on the workers of `pool`, which must
  // outlive the walker, when it lets more than one thread work.
  //
  // Fails, reading nothing, with "error parsing glob '!{pattern}': {reason}"
  // for the first exclusion pattern that does not compile, or with the glob
  // engine's own text should the patterns exceed its limits.
  static std::expected<Walker, WalkError> create(
      std::string root, WalkOptions options, vorn_base::Pool& pool = vorn_base::Pool::process());
  Walker(Walker&&) noexcept;
  Walker& operator=(Walker&&) noexcept;
  ~Walker();

  // The next item, or nullopt when the walk is over.
  std::optional<WalkItem> next();

 private:
  class Impl;
  explicit Walker(std::unique_ptr<Impl> impl);

  std::unique_ptr<Impl> impl_;
};

}  // namespace vorn_walk
