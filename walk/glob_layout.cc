#include "walk/glob_layout.h"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <memory>
#include <utility>

namespace vorn_walk::glob {
namespace {

ClassBits class_bits(const ByteSet& set) {
  ClassBits bits{};
  for (unsigned b = 0; b < 256; ++b) {
    if (set[b]) bits[b >> 6] |= std::uint64_t{1} << (b & 63);
  }
  return bits;
}

}  // namespace

class Layout::Builder {
 public:
  // With `star_first`, the first item (a `**`) is laid out as a `*`.
  Builder(std::span<const Item> items, const std::vector<ByteSet>& classes, bool star_first)
      : items_(items), classes_(classes), star_first_(star_first) {}

  Layout build() &&;

 private:
  struct Group {
    std::uint32_t entry;  // none for a group of one alternative
    std::vector<std::uint32_t> ends, starts;
  };
  static constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

  std::uint32_t add_position();
  PositionWord& word_of(std::uint32_t position) { return words_[position / 64]; }
  void add_advance(const Item& item);
  void add_literal(std::uint8_t byte);
  void require(std::uint8_t byte);
  std::vector<std::size_t> alternative_counts() const;
  std::uint32_t fixed_tail(std::uint32_t final) const;
  Layout pack();

  std::span<const Item> items_;
  const std::vector<ByteSet>& classes_;
  bool star_first_;
  std::vector<PositionWord> words_;
  std::vector<std::uint8_t> literals_;
  std::vector<std::uint32_t> class_of_;  // the pattern's class of each class position
  std::vector<std::pair<std::uint32_t, std::uint32_t>> jumps_;  // from, to
  Kind loop_ = Kind::literal;  // a wildcard waiting for the next position, or literal
  // For the pattern and each group open around the current item: the
  // fewest bytes that its finished alternatives match, and that the
  // current one has matched so far.
  struct Shortest {
    std::uint32_t finished = std::numeric_limits<std::uint32_t>::max();
    std::uint32_t current = 0;
  };
  std::vector<Shortest> shortest_{Shortest{}};
  Required required_;
};

std::uint32_t Layout::Builder::add_position() {
  const auto position = static_cast<std::uint32_t>(literals_.size());
  literals_.push_back(0);
  if (position / 64 == words_.size()) words_.emplace_back();
  const std::uint64_t b = position_bit(position);
  if (loop_ == Kind::star) word_of(position).loop_not_slash |= b;
  if (loop_ == Kind::any_text) word_of(position).loop_any |= b;
  loop_ = Kind::literal;
  return position;
}

void Layout::Builder::add_literal(std::uint8_t byte) {
  ++shortest_.back().current;
  const std::uint32_t position = add_position();
  word_of(position).advance_literal |= position_bit(position);
  literals_[position] = byte;
  if (shortest_.size() == 1) require(byte);
}

// Keeps up to four bytes that every match holds, the less common in paths
// first.
void Layout::Builder::require(std::uint8_t byte) {
  auto& bytes = required_.bytes;
  const auto known = bytes.begin() + required_.count;
  if (std::find(bytes.begin(), known, byte) != known) return;
  if (required_.count < bytes.size()) {
    bytes[required_.count++] = byte;
    return;
  }
  auto* worst = std::ranges::max_element(
      bytes, {}, [](std::uint8_t b) { return commonness_in_paths(b); });
  if (commonness_in_paths(byte) < commonness_in_paths(*worst)) *worst = byte;
}

void Layout::Builder::add_advance(const Item& item) {
  if (item.kind == Kind::literal) return add_literal(item.byte);
  static const ByteSet kNotSlash = ByteSet().set().reset('/');
  const bool not_slash = item.kind == Kind::any || classes_[item.cls] == kNotSlash;
  if (!not_slash && classes_[item.cls].count() == 1) {
    for (unsigned b = 0; b < 256; ++b) {
      if (classes_[item.cls][b]) return add_literal(static_cast<std::uint8_t>(b));
    }
  }
  ++shortest_.back().current;
  const std::uint32_t position = add_position();
  if (not_slash) {
    word_of(position).advance_not_slash |= position_bit(position);
  } else {
    word_of(position).advance_class |= position_bit(position);
    class_of_.push_back(item.cls);
  }
}

// For each group in order of its opening, its number of alternatives.
std::vector<std::size_t> Layout::Builder::alternative_counts() const {
  std::vector<std::size_t> counts, open;
  for (std::size_t i = 0; i < items_.size(); ++i) {
    const Kind kind = items_[i].kind;
    if (kind == Kind::open) {
      open.push_back(counts.size());
      // Lowering drops empty alternatives: a group is empty or has a first one.
      counts.push_back(items_[i + 1].kind == Kind::close ? 0 : 1);
    } else if (kind == Kind::alt) {
      ++counts[open.back()];
    } else if (kind == Kind::close) {
      open.pop_back();
    }
  }
  return counts;
}

Layout Layout::Builder::build() && {
  const std::vector<std::size_t> counts = alternative_counts();
  std::size_t group_number = 0;
  std::vector<Group> groups;
  for (std::size_t i = 0; i < items_.size(); ++i) {
    const Item& item = items_[i];
    const Kind kind = i == 0 && star_first_ ? Kind::star : item.kind;
    switch (kind) {
      case Kind::literal:
      case Kind::any:
      case Kind::cls:
        add_advance(item);
        break;
      case Kind::star:
      case Kind::any_text: {
        loop_ = kind;
        const Kind next = i + 1 < items_.size() ? items_[i + 1].kind : Kind::close;
        if (next != Kind::literal && next != Kind::any && next != Kind::cls) {
          const std::uint32_t position = add_position();
          word_of(position).pass |= position_bit(position);
        }
        break;
      }
      case Kind::opt_dirs: {
        const std::uint32_t entry = add_position();
        word_of(entry).pass |= position_bit(entry);
        jumps_.emplace_back(entry, entry + 2);
        loop_ = Kind::any_text;
        const std::uint32_t dirs = add_position();
        word_of(dirs).advance_literal |= position_bit(dirs);
        literals_[dirs] = '/';
        break;
      }
      case Kind::open: {
        const std::size_t alternatives = counts[group_number++];
        if (alternatives == 0) {
          ++i;  // its close
          break;
        }
        shortest_.emplace_back();
        std::uint32_t entry = kNone;
        if (alternatives > 1) {
          entry = add_position();
          word_of(entry).pass |= position_bit(entry);
        }
        groups.push_back({entry, {}, {}});
        break;
      }
      case Kind::alt: {
        Shortest& inner = shortest_.back();
        inner.finished = std::min(inner.finished, inner.current);
        inner.current = 0;
        const std::uint32_t end = add_position();
        groups.back().ends.push_back(end);
        groups.back().starts.push_back(end + 1);
        break;
      }
      case Kind::close: {
        const Shortest inner = shortest_.back();
        shortest_.pop_back();
        shortest_.back().current += std::min(inner.finished, inner.current);
        const Group& group = groups.back();
        const auto after = static_cast<std::uint32_t>(literals_.size());
        for (std::uint32_t start : group.starts) jumps_.emplace_back(group.entry, start);
        for (std::uint32_t end : group.ends) jumps_.emplace_back(end, after);
        groups.pop_back();
        break;
      }
      case Kind::double_star:
      case Kind::comma:
        break;  // gone after lowering
    }
  }
  add_position();  // the final one
  return pack();
}

// The positions before `final` that advance one byte each, that pass and
// jump nowhere, that loop only at the first of them, and that no jump leads
// into past the first: every match ends with a byte for each.
std::uint32_t Layout::Builder::fixed_tail(std::uint32_t final) const {
  std::uint32_t first = final;
  while (first > 0) {
    const std::uint32_t p = first - 1;
    const PositionWord& word = words_[p / 64];
    const std::uint64_t b = position_bit(p);
    const bool advances = (word.advance_literal | word.advance_not_slash | word.advance_class) & b;
    if (!advances || ((word.pass | word.jump) & b) != 0) break;
    first = p;
    if (((word.loop_not_slash | word.loop_any) & b) != 0) break;
  }
  for (auto [from, to] : jumps_) {
    if (to > first) first = to;
  }
  return final - first;
}

Layout Layout::Builder::pack() {
  Layout layout;
  layout.final_ = static_cast<std::uint32_t>(literals_.size() - 1);
  layout.required_ = required_;
  layout.shortest_ = shortest_.front().current;
  std::ranges::sort(jumps_);
  for (auto [from, to] : jumps_) word_of(from).jump |= position_bit(from);
  layout.tail_ = fixed_tail(layout.final_);

  // Classes that occur more than once are kept once.
  std::vector<ClassBits> distinct;
  for (std::uint32_t& cls : class_of_) {
    const ClassBits bits = class_bits(classes_[cls]);
    auto found = std::ranges::find(distinct, bits);
    if (found == distinct.end()) found = distinct.insert(distinct.end(), bits);
    cls = static_cast<std::uint32_t>(found - distinct.begin());
  }

  Sizes& sizes = layout.sizes_;
  sizes.positions = static_cast<std::uint32_t>(literals_.size());
  sizes.words = static_cast<std::uint32_t>(words_.size());
  sizes.class_positions = static_cast<std::uint32_t>(class_of_.size());
  sizes.classes = static_cast<std::uint32_t>(distinct.size());
  sizes.jumps = static_cast<std::uint32_t>(jumps_.size());
  std::vector<std::uint32_t> jump_first;
  for (std::size_t k = 0; k < jumps_.size(); ++k) {
    if (k == 0 || jumps_[k].first != jumps_[k - 1].first) {
      jump_first.push_back(static_cast<std::uint32_t>(k));
    }
  }
  sizes.jump_positions = static_cast<std::uint32_t>(jump_first.size());
  jump_first.push_back(sizes.jumps);

  std::uint32_t classes_before = 0, jumps_before = 0;
  for (PositionWord& word : words_) {
    word.classes_before = classes_before;
    word.jumps_before = jumps_before;
    classes_before += count_bits(word.advance_class);
    jumps_before += count_bits(word.jump);
  }
  literals_.resize((literals_.size() + kLiteralBlock - 1) / kLiteralBlock * kLiteralBlock);

  const std::size_t bytes =
      sizeof(PositionWord) * words_.size() + sizeof(ClassBits) * distinct.size() +
      sizeof(std::uint32_t) * (class_of_.size() + jump_first.size() + jumps_.size()) +
      literals_.size();
  layout.data_ = std::make_unique_for_overwrite<std::byte[]>(bytes);
  std::byte* at = layout.data_.get();
  const auto place = [&at](const auto& from) {
    using T = typename std::remove_cvref_t<decltype(from)>::value_type;
    at = reinterpret_cast<std::byte*>(std::uninitialized_copy(
        from.begin(), from.end(), reinterpret_cast<T*>(at)));
  };
  place(words_);
  place(distinct);
  place(class_of_);
  place(jump_first);
  std::vector<std::uint32_t> targets;
  for (auto [from, to] : jumps_) targets.push_back(to);
  place(targets);
  place(literals_);
  return layout;
}

Layout::Layout(std::span<const Item> items, const std::vector<ByteSet>& classes, bool star_first)
    : Layout(Builder(items, classes, star_first).build()) {}

Layout::Layout(Layout&&) noexcept = default;
Layout& Layout::operator=(Layout&&) noexcept = default;
Layout::~Layout() = default;

const PositionWord* Layout::words() const {
  return reinterpret_cast<const PositionWord*>(data_.get());
}

const ClassBits* Layout::classes() const {
  return reinterpret_cast<const ClassBits*>(words() + sizes_.words);
}

const std::uint32_t* Layout::class_of() const {
  return reinterpret_cast<const std::uint32_t*>(classes() + sizes_.classes);
}

const std::uint32_t* Layout::jump_first() const { return class_of() + sizes_.class_positions; }

const std::uint32_t* Layout::jump_targets() const {
  return jump_first() + sizes_.jump_positions + 1;
}

const std::uint8_t* Layout::literals() const {
  return reinterpret_cast<const std::uint8_t*>(jump_targets() + sizes_.jumps);
}

ByteSet bytes_of(std::string_view text) {
  ByteSet present;
  for (char c : text) present.set(static_cast<unsigned char>(c));
  return present;
}

bool Required::met_by(const ByteSet& present) const {
  for (std::uint8_t k = 0; k < count; ++k) {
    if (!present[bytes[k]]) return false;
  }
  return true;
}

}  // namespace vorn_walk::glob
