// The path order: how paths are compared, tested for equality and hashed.
//
// A path is the operating system's bytes (not necessarily UTF-8) split at "/"
// into components. Paths compare component by component and names byte by
// byte, so the separator never meets another byte in a comparison:
//
//   compare_components("a/b", "a-b") < 0     // text order would say the opposite
//   compare_components("a//b/./", "a/b") == 0
//   compare_components("./a", "a") < 0       // "." at the start is kept
//
// Nothing is canonicalised: ".." does not cancel the name before it, links are
// not followed, case and Unicode are left alone, the path need not exist.
//
// Every function here is pure, allocates nothing and copies no bytes; all may
// be called from any number of threads at once.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <ranges>
#include <string_view>

namespace vorn_core {

// The four kinds of component, declared in their order.
enum class ComponentKind : std::uint8_t {
  root,         // a "/" that is the path's first byte
  current_dir,  // a leading "." of a path without root: "." itself or "./..."
  parent_dir,   // a ".." piece
  name,         // any other non-empty piece except "."
};

struct Component {
  ComponentKind kind = ComponentKind::name;
  std::string_view name;  // the piece's bytes for a name, empty otherwise

  // Kind first; names by unsigned bytes, the shorter first on a common beginning.
  friend std::strong_ordering operator<=>(const Component&, const Component&) = default;
  friend bool operator==(const Component&, const Component&) = default;
};

// Walks the components of a path in place. The path's bytes must outlive the
// iterator and every `Component` it yields (names point into the path).
class ComponentIterator {
 public:
  using iterator_category = std::forward_iterator_tag;
  using value_type = Component;
  using difference_type = std::ptrdiff_t;
  using reference = const Component&;
  using pointer = const Component*;

  ComponentIterator() = default;
  explicit ComponentIterator(std::string_view path);

  const Component& operator*() const { return current_; }
  const Component* operator->() const { return &current_; }
  ComponentIterator& operator++();
  ComponentIterator operator++(int) {
    ComponentIterator before = *this;
    ++*this;
    return before;
  }

  bool operator==(std::default_sentinel_t) const { return done_; }
  // Only iterators over the same path are comparable; every finished
  // iterator equals every other.
  bool operator==(const ComponentIterator& other) const {
    if (done_ || other.done_) return done_ == other.done_;
    return rest_.data() == other.rest_.data();
  }

 private:
  void advance();

  std::string_view rest_;  // the bytes after the current component
  Component current_;
  bool done_ = true;
};

// The components of one path, as a lazy forward range over its bytes.
class Components : public std::ranges::view_interface<Components> {
 public:
  Components() = default;
  explicit Components(std::string_view path) : path_(path) {}

  ComponentIterator begin() const { return ComponentIterator(path_); }
  std::default_sentinel_t end() const { return {}; }

 private:
  std::string_view path_;
};

// The components of `path`, produced one at a time; the empty path has none.
inline Components components(std::string_view path) { return Components(path); }

// Three-way comparison by the path order: the first differing component
// decides; a path that runs out of components first orders first.
std::strong_ordering compare_components(std::string_view left, std::string_view right);

// Equality by the path order: "a//b", "a/./b" and "a/b/" all equal "a/b".
bool paths_equal(std::string_view left, std::string_view right);

// A hash that agrees with `paths_equal`: equal paths hash alike.
std::size_t path_hash(std::string_view path);

// Functors for hash tables keyed by path, e.g.
// std::unordered_map<std::string, T, PathHash, PathEqual>. Both are
// transparent, so a lookup by std::string_view builds no key.
struct PathHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view path) const { return path_hash(path); }
};

struct PathEqual {
  using is_transparent = void;
  bool operator()(std::string_view left, std::string_view right) const {
    return paths_equal(left, right);
  }
};

}  // namespace vorn_core
