// The shapes of the common ignore-file patterns, which need no automaton,
// and the index that finds the shapes a candidate may match by one lookup.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "walk/glob_syntax.h"

namespace vorn_walk::glob {

// A pattern shape that needs no automaton.
struct Shape {
  enum class Form : std::uint8_t {
    exact,   // the text `head`
    within,  // `head`, any text, `tail` (`dir/**`, `**/*.ext`, `dir/**/*.ext`)
    below,   // `tail` at any depth (`**/name`)
    top,     // `tail` after bytes without "/" (`*.ext`)
  };
  Form form;
  std::string head, tail;

  bool matches(std::string_view c) const {
    switch (form) {
      case Form::exact:
        return c == head;
      case Form::within:
        return c.size() >= head.size() + tail.size() && c.starts_with(head) && c.ends_with(tail);
      case Form::below:
        return c.ends_with(tail) &&
               (c.size() == tail.size() || c[c.size() - tail.size() - 1] == '/');
      case Form::top:
        return c.ends_with(tail) && c.find('/') == std::string_view::npos;
    }
    return false;
  }
};

// The shapes whose union the lowered `items` match, or nothing when some
// part of them has no shape.
std::vector<Shape> shapes_of(const std::vector<Item>& items, const std::vector<ByteSet>& classes);

struct Entry {
  std::uint32_t member;
  const Shape* shape;
};

// Word-at-a-time hash for the short texts that shapes are keyed by.
std::uint64_t hash_text(std::string_view s);

// Shapes keyed by a text: an open-addressed table, built once and then only
// read, with a mask of the key lengths so that most candidates are turned
// away before they are hashed.
class TextIndex {
 public:
  void add(std::string_view key, Entry entry) { pending_.emplace_back(std::string(key), entry); }

  void freeze() {
    if (pending_.empty()) return;
    std::size_t capacity = 8;
    while (capacity < 2 * pending_.size()) capacity *= 2;
    slots_.resize(capacity);
    for (auto& [key, entry] : pending_) {
      const std::uint64_t hash = hash_text(key);
      Slot* slot = &slots_[hash & (capacity - 1)];
      while (slot->used && !(slot->hash == hash && slot->key == key)) {
        slot = &slots_[(static_cast<std::size_t>(slot - slots_.data()) + 1) & (capacity - 1)];
      }
      if (!slot->used) *slot = {true, hash, std::move(key), {}};
      slot->entries.push_back(entry);
      lengths_ |= length_bit(slot->key.size());
    }
    pending_.clear();
  }

  bool empty() const { return slots_.empty(); }

  // Appends the members of the shapes under `key` that match `candidate`.
  void probe(std::string_view key, std::string_view candidate,
             std::vector<std::uint32_t>& out) const {
    if (!(lengths_ & length_bit(key.size()))) return;
    const std::uint64_t hash = hash_text(key);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask; slots_[i].used; i = (i + 1) & mask) {
      const Slot& slot = slots_[i];
      if (slot.hash != hash || slot.key != key) continue;
      for (const Entry& entry : slot.entries) {
        if (entry.shape->matches(candidate)) out.push_back(entry.member);
      }
      return;
    }
  }

 private:
  struct Slot {
    bool used = false;
    std::uint64_t hash = 0;
    std::string key;
    std::vector<Entry> entries;
  };

  static std::uint64_t length_bit(std::size_t size) {
    return 1ull << std::min<std::size_t>(size, 63);
  }

  std::vector<std::pair<std::string, Entry>> pending_;
  std::vector<Slot> slots_;  // a power of two of them, at most half used
  std::uint64_t lengths_ = 0;
};

// The text after the last "." of `tail`, when no "/" follows that dot: a
// candidate ending in `tail` then has the same text after its own last dot.
std::optional<std::string_view> extension_key(std::string_view tail);

}  // namespace vorn_walk::glob
