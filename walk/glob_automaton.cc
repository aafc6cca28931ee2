#include "walk/glob_automaton.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <limits>
#include <new>
#include <span>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorn_walk::glob {

struct BitAutomaton::Word {
  std::uint64_t advance_literal = 0;    // to the next position on its literal byte
  std::uint64_t advance_not_slash = 0;  // to the next position on any byte but "/"
  std::uint64_t advance_class = 0;      // to the next position on a byte of its class
  std::uint64_t loop_not_slash = 0;     // stays on any byte but "/"
  std::uint64_t loop_any = 0;           // stays on any byte
  std::uint64_t pass = 0;               // reaches the next position without a byte
  std::uint64_t jump = 0;               // reaches the positions of its jumps without a byte
  std::uint32_t classes_before = 0;     // class positions in the words before this one
  std::uint32_t jumps_before = 0;       // jump positions in the words before this one
};

namespace {

using ClassBits = std::array<std::uint64_t, 4>;

constexpr std::uint32_t kLiteralBlock = 16;  // the literals are compared 16 at a time

std::uint64_t bit(std::uint32_t position) { return std::uint64_t{1} << (position & 63); }

ClassBits class_bits(const ByteSet& set) {
  ClassBits bits{};
  for (unsigned b = 0; b < 256; ++b) {
    if (set[b]) bits[b >> 6] |= std::uint64_t{1} << (b & 63);
  }
  return bits;
}

bool has(const ClassBits& bits, unsigned char c) {
  return (bits[c >> 6] >> (c & 63)) & 1;
}

// The bits of `wanted` whose literals, of the 64 at `literals`, equal `c`.
// Only the blocks of 16 that hold a wanted bit are compared (and read).
std::uint64_t equal_literals(const std::uint8_t* literals, std::uint64_t wanted, unsigned char c) {
  std::uint64_t mask = 0;
#if defined(__SSE2__)
  const __m128i needle = _mm_set1_epi8(static_cast<char>(c));
  for (std::uint32_t k = 0; k < 64; k += kLiteralBlock) {
    if (((wanted >> k) & 0xFFFF) == 0) continue;
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(literals + k));
    const auto equal = static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, needle)));
    mask |= std::uint64_t{equal} << k;
  }
#else
  for (std::uint64_t todo = wanted; todo != 0; todo &= todo - 1) {
    const int k = std::countr_zero(todo);
    mask |= std::uint64_t{literals[k] == c} << k;
  }
#endif
  return mask & wanted;
}

// The positions that a run of pass positions leads to from `from`: every
// pass position after a reached one in the same run, and the position after
// the run. Adding a bit inside a run of ones carries to the run's end; the
// bits that the carry flips are those reached. A carry out of the word sets
// `carry`: the run ends at the first position of the next word.
std::uint64_t spread(std::uint64_t pass, std::uint64_t from, std::uint64_t& carry) {
  std::uint64_t sum;
  if (__builtin_add_overflow(pass, pass & from, &sum)) carry = 1;
  return sum ^ pass;
}

}  // namespace

// Lays out the positions of a lowered pattern:
//   literal, `?`, class   one position that advances on its byte; a `*` or
//                         `**` just before it becomes that position's loop
//   `*`, `**` elsewhere   one position that loops and passes
//   `**/`                 an entry that passes to a position looping on any
//                         byte and advancing on "/", and jumps past it
//   a group of K >= 2     an entry that passes to the first alternative and
//   alternatives          jumps to the others; each alternative but the last
//                         ends at a position that jumps past the group
//   the end               the final position
// A group of one alternative is its alternative; an empty group is nothing.
class BitAutomaton::Builder {
 public:
  // With `star_first`, the first item (a `**`) is laid out as a `*`.
  Builder(std::span<const Item> items, const std::vector<ByteSet>& classes, bool star_first)
      : items_(items), classes_(classes), star_first_(star_first) {}

  BitAutomaton build() &&;

 private:
  struct Group {
    std::uint32_t entry;  // none for a group of one alternative
    std::vector<std::uint32_t> ends, starts;
  };
  static constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

  std::uint32_t add_position();
  Word& word_of(std::uint32_t position) { return words_[position / 64]; }
  void add_advance(const Item& item);
  void add_literal(std::uint8_t byte);
  void require(std::uint8_t byte);
  std::vector<std::size_t> alternative_counts() const;
  BitAutomaton pack();

  std::span<const Item> items_;
  const std::vector<ByteSet>& classes_;
  bool star_first_;
  std::vector<Word> words_;
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

std::uint32_t BitAutomaton::Builder::add_position() {
  const auto position = static_cast<std::uint32_t>(literals_.size());
  literals_.push_back(0);
  if (position / 64 == words_.size()) words_.emplace_back();
  const std::uint64_t b = bit(position);
  if (loop_ == Kind::star) word_of(position).loop_not_slash |= b;
  if (loop_ == Kind::any_text) word_of(position).loop_any |= b;
  loop_ = Kind::literal;
  return position;
}

void BitAutomaton::Builder::add_literal(std::uint8_t byte) {
  ++shortest_.back().current;
  const std::uint32_t position = add_position();
  word_of(position).advance_literal |= bit(position);
  literals_[position] = byte;
  if (shortest_.size() == 1) require(byte);
}

// Keeps up to four bytes that every match holds, the less common in paths
// first ("/" and "." are everywhere, lower-case letters nearly so).
void BitAutomaton::Builder::require(std::uint8_t byte) {
  const auto commonness = [](std::uint8_t b) {
    return b == '/' ? 3 : b == '.' ? 2 : (b >= 'a' && b <= 'z') ? 1 : 0;
  };
  auto& bytes = required_.bytes;
  const auto known = bytes.begin() + required_.count;
  if (std::find(bytes.begin(), known, byte) != known) return;
  if (required_.count < bytes.size()) {
    bytes[required_.count++] = byte;
    return;
  }
  auto* worst = std::ranges::max_element(
      bytes, [&](std::uint8_t a, std::uint8_t b) { return commonness(a) < commonness(b); });
  if (commonness(byte) < commonness(*worst)) *worst = byte;
}

void BitAutomaton::Builder::add_advance(const Item& item) {
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
    word_of(position).advance_not_slash |= bit(position);
  } else {
    word_of(position).advance_class |= bit(position);
    class_of_.push_back(item.cls);
  }
}

// For each group in order of its opening, its number of alternatives.
std::vector<std::size_t> BitAutomaton::Builder::alternative_counts() const {
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

BitAutomaton BitAutomaton::Builder::build() && {
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
          word_of(position).pass |= bit(position);
        }
        break;
      }
      case Kind::opt_dirs: {
        const std::uint32_t entry = add_position();
        word_of(entry).pass |= bit(entry);
        jumps_.emplace_back(entry, entry + 2);
        loop_ = Kind::any_text;
        const std::uint32_t dirs = add_position();
        word_of(dirs).advance_literal |= bit(dirs);
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
          word_of(entry).pass |= bit(entry);
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

BitAutomaton BitAutomaton::Builder::pack() {
  BitAutomaton automaton;
  automaton.final_ = static_cast<std::uint32_t>(literals_.size() - 1);
  automaton.required_ = required_;
  automaton.shortest_ = shortest_.front().current;
  std::ranges::sort(jumps_);
  for (auto [from, to] : jumps_) word_of(from).jump |= bit(from);

  // Classes that occur more than once are kept once.
  std::vector<ClassBits> distinct;
  for (std::uint32_t& cls : class_of_) {
    const ClassBits bits = class_bits(classes_[cls]);
    auto found = std::ranges::find(distinct, bits);
    if (found == distinct.end()) found = distinct.insert(distinct.end(), bits);
    cls = static_cast<std::uint32_t>(found - distinct.begin());
  }

  Sizes& sizes = automaton.sizes_;
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
  for (Word& word : words_) {
    word.classes_before = classes_before;
    word.jumps_before = jumps_before;
    classes_before += static_cast<std::uint32_t>(std::popcount(word.advance_class));
    jumps_before += static_cast<std::uint32_t>(std::popcount(word.jump));
  }
  literals_.resize((literals_.size() + kLiteralBlock - 1) / kLiteralBlock * kLiteralBlock);

  const std::size_t bytes = sizeof(Word) * words_.size() + sizeof(ClassBits) * distinct.size() +
                            sizeof(std::uint32_t) * (class_of_.size() + jump_first.size() +
                                                     jumps_.size()) +
                            literals_.size();
  automaton.data_ = std::make_unique_for_overwrite<std::byte[]>(bytes);
  std::byte* at = automaton.data_.get();
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
  return automaton;
}

namespace {

// Whether the lowered `items` begin with `**/` or `**` and nothing after
// that matches a "/". Then what the rest matches lies in the candidate's
// last component: `**/` takes everything before it, and `**` as much as
// `*` at the start of the component would leave.
bool in_last_component(const std::vector<Item>& items, const std::vector<ByteSet>& classes) {
  if (items.empty() || (items[0].kind != Kind::opt_dirs && items[0].kind != Kind::any_text)) {
    return false;
  }
  return std::ranges::none_of(items.begin() + 1, items.end(), [&](const Item& item) {
    return (item.kind == Kind::literal && item.byte == '/') || item.kind == Kind::any_text ||
           item.kind == Kind::opt_dirs || (item.kind == Kind::cls && classes[item.cls]['/']);
  });
}

}  // namespace

BitAutomaton::BitAutomaton(const std::vector<Item>& items, const std::vector<ByteSet>& classes) {
  const bool last_component = in_last_component(items, classes);
  if (!last_component) {
    *this = Builder(items, classes, false).build();
  } else if (items[0].kind == Kind::opt_dirs) {
    *this = Builder(std::span(items).subspan(1), classes, false).build();
  } else {
    *this = Builder(items, classes, true).build();
  }
  last_component_ = last_component;
}

BitAutomaton::BitAutomaton(BitAutomaton&&) noexcept = default;
BitAutomaton& BitAutomaton::operator=(BitAutomaton&&) noexcept = default;
BitAutomaton::~BitAutomaton() = default;

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

// One match: the automaton's parts, located once, and the moves over them.
class BitAutomaton::Run {
 public:
  explicit Run(const BitAutomaton& automaton)
      : words_(reinterpret_cast<const Word*>(automaton.data_.get())),
        classes_(reinterpret_cast<const ClassBits*>(words_ + automaton.sizes_.words)),
        class_of_(reinterpret_cast<const std::uint32_t*>(classes_ + automaton.sizes_.classes)),
        jump_first_(class_of_ + automaton.sizes_.class_positions),
        jump_targets_(jump_first_ + automaton.sizes_.jump_positions + 1),
        literals_(reinterpret_cast<const std::uint8_t*>(jump_targets_ + automaton.sizes_.jumps)),
        words_count_(automaton.sizes_.words) {}

  bool in_one_word(std::string_view candidate, std::uint32_t final) const;
  bool in_many_words(std::string_view candidate, std::uint32_t final) const;

 private:
  // The words of positions that may be set: all others are clear.
  struct Range {
    std::uint32_t lo, hi;
  };

  std::uint64_t advance(std::uint32_t w, std::uint64_t reached, unsigned char c) const;
  std::uint64_t class_moves(std::uint32_t w, std::uint64_t reached, unsigned char c) const;
  std::uint64_t move(std::uint32_t w, std::uint64_t bits, unsigned char c,
                     std::uint64_t& carry) const;
  std::uint64_t close(std::uint32_t w, std::uint64_t reached, std::uint64_t& carry,
                      std::uint64_t* ahead, std::uint32_t& last) const;
  std::uint64_t jump(std::uint32_t w, std::uint64_t reached, std::uint64_t& carry,
                     std::uint64_t* ahead, std::uint32_t& last) const;
  void step(std::uint64_t* state, std::uint64_t* ahead, Range& range, int c) const;

  const Word* words_;
  const ClassBits* classes_;
  const std::uint32_t* class_of_;
  const std::uint32_t* jump_first_;
  const std::uint32_t* jump_targets_;
  const std::uint8_t* literals_;
  std::uint32_t words_count_;
};

// The positions of word `w` among `reached` that advance on `c`.
[[gnu::always_inline]] inline std::uint64_t BitAutomaton::Run::advance(std::uint32_t w, std::uint64_t reached,
                                         unsigned char c) const {
  const Word& word = words_[w];
  std::uint64_t moves = c == '/' ? 0 : word.advance_not_slash;
  if ((reached & word.advance_literal) != 0) {
    moves |= equal_literals(literals_ + w * 64, word.advance_literal, c);
  }
  if ((reached & word.advance_class) != 0) moves |= class_moves(w, reached, c);
  return reached & moves;
}

// The class positions of word `w` among `reached` whose class holds `c`.
std::uint64_t BitAutomaton::Run::class_moves(std::uint32_t w, std::uint64_t reached,
                                             unsigned char c) const {
  const Word& word = words_[w];
  std::uint64_t moves = 0;
  for (std::uint64_t todo = reached & word.advance_class; todo != 0; todo &= todo - 1) {
    const std::uint64_t b = todo & -todo;
    const std::uint32_t rank =
        word.classes_before + static_cast<std::uint32_t>(std::popcount(word.advance_class & (b - 1)));
    if (has(classes_[class_of_[rank]], c)) moves |= b;
  }
  return moves;
}

// The positions that the reached positions `bits` of word `w` lead to over
// the byte `c`, before those reached without a byte are added. The bit that
// leaves the top of the word leaves in `carry`, and the `carry` of the word
// below comes in.
[[gnu::always_inline]] inline std::uint64_t BitAutomaton::Run::move(std::uint32_t w, std::uint64_t bits, unsigned char c,
                                      std::uint64_t& carry) const {
  const Word& word = words_[w];
  const std::uint64_t moved = advance(w, bits, c);
  const std::uint64_t loops = word.loop_any | (c == '/' ? 0 : word.loop_not_slash);
  bits = (bits & loops) | moved << 1 | carry;
  carry = moved >> 63;
  return bits;
}

// Adds to `reached`, the positions of word `w`, those reached from them
// without a byte. Passes lead to the next position, jumps further up: a
// carry out of the word's passes leaves in `carry` for the next word; a
// jump to a later word leaves its bit in `ahead` and raises `last` to it.
[[gnu::always_inline]] inline std::uint64_t BitAutomaton::Run::close(std::uint32_t w, std::uint64_t reached,
                                       std::uint64_t& carry, std::uint64_t* ahead,
                                       std::uint32_t& last) const {
  const Word& word = words_[w];
  reached |= spread(word.pass, reached, carry);
  if ((reached & word.jump) != 0) reached = jump(w, reached, carry, ahead, last);
  return reached;
}

// Takes the jumps of the reached positions of word `w`, from its lowest
// jump position up: jumps lead only to higher positions, and each position
// that a jump sets is spread over the passes at once.
std::uint64_t BitAutomaton::Run::jump(std::uint32_t w, std::uint64_t reached, std::uint64_t& carry,
                                      std::uint64_t* ahead, std::uint32_t& last) const {
  const Word& word = words_[w];
  for (std::uint64_t todo = reached & word.jump; todo != 0;) {
    const std::uint64_t b = todo & -todo;
    const std::uint32_t rank =
        word.jumps_before + static_cast<std::uint32_t>(std::popcount(word.jump & (b - 1)));
    for (std::uint32_t k = jump_first_[rank]; k < jump_first_[rank + 1]; ++k) {
      const std::uint32_t to = jump_targets_[k];
      if (to / 64 == w) {
        reached |= bit(to) | spread(word.pass, bit(to), carry);
      } else {
        ahead[to / 64] |= bit(to);
        last = std::max(last, to / 64);
      }
    }
    todo = reached & word.jump & ~(b | (b - 1));
  }
  return reached;
}

// Moves the reached positions over the byte `c` (none when `c` < 0) and
// adds those reached from there without a byte, in one pass up the words.
// A word's new bits depend on its old ones and on the highest old one of
// the word below, which the pass carries up.
void BitAutomaton::Run::step(std::uint64_t* state, std::uint64_t* ahead, Range& range,
                             int c) const {
  std::uint64_t moved_carry = 0, pass_carry = 0;
  std::uint32_t last = c < 0 ? range.hi : std::min(range.hi + 1, words_count_ - 1);
  Range reached{words_count_, 0};
  for (std::uint32_t w = range.lo; w <= last || (moved_carry | pass_carry) != 0; ++w) {
    std::uint64_t bits = state[w];
    if (c >= 0) bits = move(w, bits, static_cast<unsigned char>(c), moved_carry);
    bits |= ahead[w] | pass_carry;
    ahead[w] = pass_carry = 0;
    bits = close(w, bits, pass_carry, ahead, last);
    state[w] = bits;
    if (bits != 0) {
      reached.lo = std::min(reached.lo, w);
      reached.hi = w;
    }
  }
  range = reached.lo <= reached.hi ? reached : Range{0, 0};
}

// Most patterns fit one word, which needs no scratch words: no bit leaves
// it and every jump stays in it.
bool BitAutomaton::Run::in_one_word(std::string_view candidate, std::uint32_t final) const {
  std::uint64_t carry = 0, ahead = 0;
  std::uint32_t last = 0;
  std::uint64_t bits = close(0, 1, carry, &ahead, last);
  for (std::size_t i = 0; i < candidate.size() && bits != 0; ++i) {
    bits = move(0, bits, static_cast<unsigned char>(candidate[i]), carry);
    bits = close(0, bits, carry, &ahead, last);
  }
  return (bits >> final) & 1;
}

bool BitAutomaton::Run::in_many_words(std::string_view candidate, std::uint32_t final) const {
  // The reached positions, then bits for later words that jumps set. Clear
  // between matches; grows to the largest automaton that the thread runs.
  thread_local std::vector<std::uint64_t> scratch;
  if (scratch.size() < 2 * std::size_t{words_count_}) scratch.resize(2 * std::size_t{words_count_});
  std::uint64_t* state = scratch.data();
  std::uint64_t* ahead = state + words_count_;
  Range range{0, 0};
  state[0] = 1;
  step(state, ahead, range, -1);
  for (std::size_t i = 0; i < candidate.size() && state[range.lo] != 0; ++i) {
    step(state, ahead, range, static_cast<unsigned char>(candidate[i]));
  }
  const bool matched = (state[final / 64] >> (final & 63)) & 1;
  std::fill(state + range.lo, state + range.hi + 1, 0);
  return matched;
}

bool BitAutomaton::matches(std::string_view candidate) const {
  if (last_component_) candidate.remove_prefix(candidate.rfind('/') + 1);  // npos + 1 == 0
  if (candidate.size() < shortest_) return false;
  const Run run(*this);
  return sizes_.words == 1 ? run.in_one_word(candidate, final_)
                           : run.in_many_words(candidate, final_);
}

}  // namespace vorn_walk::glob
