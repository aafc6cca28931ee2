// The Linux directory listing: the names in one directory and the types the
// system reports for them, read whole with getdents64.
//
//   DirectoryLister lister;
//   Listing listing;
//   if (int error = lister.list("src", listing, false)) return error;
//   for (const ListedName& entry : listing.entries) use(listing.name(entry), entry.type);
//
// A listing is read whole and its directory closed before the call returns,
// so a walk holds no descriptor between directories however deep it goes.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vorn_walk {

// One name of a listing; its bytes live in the listing's `names`.
struct ListedName {
  std::size_t offset = 0;
  std::uint32_t length = 0;
  unsigned char type = 0;  // the listing's d_type: DT_DIR, DT_REG, DT_LNK, ..., DT_UNKNOWN
};

// The names of one directory, without "." and "..", in the order the system
// lists them.
struct Listing {
  std::vector<ListedName> entries;
  std::string names;  // the entries' bytes, end to end
  // The directory's identity, taken when the caller asked for it.
  dev_t device = 0;
  ino_t inode = 0;

  std::string_view name(const ListedName& entry) const {
    return std::string_view(names).substr(entry.offset, entry.length);
  }
};

// Ends `path` with the "/" that joins a name to it, unless it is empty or
// ends in one already.
void add_separator(std::string& path);

// The path of `name` in the directory `dir`: the two joined by add_separator.
std::string join_path(std::string_view dir, std::string_view name);

// Lists directories, reusing one buffer for the system's records. One
// lister serves one thread at a time.
class DirectoryLister {
 public:
  DirectoryLister();

  // Replaces the content of `listing` with the names in the directory at
  // `path`; with `identify`, also takes the directory's device and inode.
  // Returns 0, or the error number of the call that failed; then `listing`
  // is left empty.
  int list(const char* path, Listing& listing, bool identify);

 private:
  std::unique_ptr<char[]> buffer_;
};

}  // namespace vorn_walk
