#include "core/path.h"

#include <functional>

namespace vorn_core {

ComponentIterator::ComponentIterator(std::string_view path) : rest_(path), done_(false) {
  if (path.starts_with('/')) {
    current_ = {ComponentKind::root, {}};
    rest_.remove_prefix(1);
  } else if (path == "." || path.starts_with("./")) {
    // Only a leading "." is kept, so "./a" stays apart from "a"; the "/"
    // after it is left for the pieces.
    current_ = {ComponentKind::current_dir, {}};
    rest_.remove_prefix(1);
  } else {
    advance();
  }
}

ComponentIterator& ComponentIterator::operator++() {
  advance();
  return *this;
}

void ComponentIterator::advance() {
  while (!rest_.empty()) {
    const std::size_t slash = rest_.find('/');
    const std::string_view piece = rest_.substr(0, slash);
    rest_.remove_prefix(slash == std::string_view::npos ? rest_.size() : slash + 1);
    // Repeated and trailing separators and inner "." pieces spell the same path.
    if (piece.empty() || piece == ".") continue;
    current_ = piece == ".." ? Component{ComponentKind::parent_dir, {}}
                             : Component{ComponentKind::name, piece};
    return;
  }
  current_ = {};
  done_ = true;
}

std::strong_ordering compare_components(std::string_view left, std::string_view right) {
  ComponentIterator l(left), r(right);
  for (;; ++l, ++r) {
    const bool left_done = l == std::default_sentinel;
    const bool right_done = r == std::default_sentinel;
    if (left_done || right_done) return right_done <=> left_done;
    if (const auto order = *l <=> *r; order != 0) return order;
  }
}

bool paths_equal(std::string_view left, std::string_view right) {
  return left == right || compare_components(left, right) == 0;
}

std::size_t path_hash(std::string_view path) {
  const auto mix = [](std::size_t seed, std::size_t value) {
    return seed ^ (value + 0x9e3779b97f4a7c15 + (seed << 6) + (seed >> 2));
  };
  std::size_t hash = 0xcbf29ce484222325;
  for (const Component& component : components(path)) {
    hash = mix(hash, static_cast<std::size_t>(component.kind));
    if (component.kind == ComponentKind::name) {
      hash = mix(hash, std::hash<std::string_view>{}(component.name));
    }
  }
  return hash;
}

}  // namespace vorn_core
