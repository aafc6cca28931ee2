// What the walk looks up in git's configuration and metadata: the user's
// home, the global excludes file, and the common git directory of a linked
// worktree. Every function may be called from any number of threads at once;
// they read the environment but never change it. Files are read as
// regular_file.h says: one that is passed over counts as missing, and one
// that cannot be read fails the lookup with its error.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "walk/walk_error.h"

namespace vorn_walk {

// "HOME" when it is set and not empty, else the home directory of the
// process's user in the user database; nullopt when neither gives one.
// Fails when the user database cannot be read, naming "/etc/passwd".
std::expected<std::optional<std::string>, WalkError> home_directory();

// The value that a git configuration text gives "excludesfile": on the
// first line that holds only optional blanks, the key in any letter case,
// optional blanks, "=", and a value of non-blank bytes, optionally between
// double quotes, with optional blanks around it. The section it stands in
// plays no part. Blanks are the ASCII ones (space, \t, \n, \v, \f, \r), and
// as in the regular expression
//   (?im-u)^\s*excludesfile\s*=\s*"?\s*(\S+?)\s*"?\s*$
// (multi-line, byte-oriented), whose first capture this returns, blanks
// before the key or around "=" may span line breaks. nullopt when no line
// matches.
std::optional<std::string_view> excludes_file_value(std::string_view config);

// The path of the user's global excludes file: the "excludesfile" setting of
// "~/.gitconfig", else of "git/config" under "XDG_CONFIG_HOME" (when set and
// not empty) or "~/.config", with every "~" in it replaced by the home
// directory (a value that is not UTF-8 names nothing); failing both,
// "git/ignore" under that same directory. nullopt when there is no home and
// no "XDG_CONFIG_HOME".
std::expected<std::optional<std::string>, WalkError> global_excludes_path();

// The common git directory of a linked worktree whose ".git" in `dir` is a
// file: "gitdir: DIR" on its first line, and DIR's "commondir" file naming
// the common directory on its first line (joined onto DIR when it begins
// with "."). nullopt when either is missing or says nothing.
std::expected<std::optional<std::string>, WalkError> common_git_directory(
    const std::string& dir);

}  // namespace vorn_walk
