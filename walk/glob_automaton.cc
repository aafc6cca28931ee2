#include "walk/glob_automaton.h"

#include <algorithm>
#include <cstddef>
#include <span>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorn_walk::glob {
namespace {

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

BitAutomaton::BitAutomaton(const std::vector<Item>& items, const std::vector<ByteSet>& classes)
    : last_component_(in_last_component(items, classes)),
      layout_(last_component_ && items[0].kind == Kind::opt_dirs ? std::span(items).subspan(1)
                                                                  : std::span(items),
              classes, last_component_ && items[0].kind == Kind::any_text) {}

BitAutomaton::BitAutomaton(BitAutomaton&&) noexcept = default;
BitAutomaton& BitAutomaton::operator=(BitAutomaton&&) noexcept = default;
BitAutomaton::~BitAutomaton() = default;

// One match: the automaton's parts, located once, and the moves over them.
class BitAutomaton::Run {
 public:
  explicit Run(const Layout& layout)
      : words_(layout.words()),
        classes_(layout.classes()),
        class_of_(layout.class_of()),
        jump_first_(layout.jump_first()),
        jump_targets_(layout.jump_targets()),
        literals_(layout.literals()),
        words_count_(layout.word_count()) {}

  // Whether the last bytes of `candidate` take the last `tail` positions
  // before `final` (the candidate has at least `tail` bytes).
  bool ends_right(std::string_view candidate, std::uint32_t final, std::uint32_t tail) const;
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

  const PositionWord* words_;
  const ClassBits* classes_;
  const std::uint32_t* class_of_;
  const std::uint32_t* jump_first_;
  const std::uint32_t* jump_targets_;
  const std::uint8_t* literals_;
  std::uint32_t words_count_;
};

// The positions of word `w` among `reached` that advance on `c`.
[[gnu::always_inline]] inline std::uint64_t BitAutomaton::Run::advance(
    std::uint32_t w, std::uint64_t reached, unsigned char c) const {
  const PositionWord& word = words_[w];
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
  const PositionWord& word = words_[w];
  std::uint64_t moves = 0;
  for (std::uint64_t todo = reached & word.advance_class; todo != 0; todo &= todo - 1) {
    const std::uint64_t b = todo & -todo;
    const std::uint32_t rank = word.classes_before + count_bits(word.advance_class & (b - 1));
    if (has(classes_[class_of_[rank]], c)) moves |= b;
  }
  return moves;
}

// The positions that the reached positions `bits` of word `w` lead to over
// the byte `c`, before those reached without a byte are added. The bit that
// leaves the top of the word leaves in `carry`, and the `carry` of the word
// below comes in.
[[gnu::always_inline]] inline std::uint64_t BitAutomaton::Run::move(
    std::uint32_t w, std::uint64_t bits, unsigned char c, std::uint64_t& carry) const {
  const PositionWord& word = words_[w];
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
[[gnu::always_inline]] inline std::uint64_t BitAutomaton::Run::close(
    std::uint32_t w, std::uint64_t reached, std::uint64_t& carry, std::uint64_t* ahead,
    std::uint32_t& last) const {
  const PositionWord& word = words_[w];
  reached |= spread(word.pass, reached, carry);
  if ((reached & word.jump) != 0) reached = jump(w, reached, carry, ahead, last);
  return reached;
}

// Takes the jumps of the reached positions of word `w`, from its lowest
// jump position up: jumps lead only to higher positions, and each position
// that a jump sets is spread over the passes at once.
std::uint64_t BitAutomaton::Run::jump(std::uint32_t w, std::uint64_t reached, std::uint64_t& carry,
                                      std::uint64_t* ahead, std::uint32_t& last) const {
  const PositionWord& word = words_[w];
  for (std::uint64_t todo = reached & word.jump; todo != 0;) {
    const std::uint64_t b = todo & -todo;
    const std::uint32_t rank = word.jumps_before + count_bits(word.jump & (b - 1));
    for (std::uint32_t k = jump_first_[rank]; k < jump_first_[rank + 1]; ++k) {
      const std::uint32_t to = jump_targets_[k];
      if (to / 64 == w) {
        reached |= position_bit(to) | spread(word.pass, position_bit(to), carry);
      } else {
        ahead[to / 64] |= position_bit(to);
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

bool BitAutomaton::Run::ends_right(std::string_view candidate, std::uint32_t final,
                                   std::uint32_t tail) const {
  const std::size_t start = candidate.size() - tail;
  for (std::uint32_t k = 0; k < tail; ++k) {
    const std::uint32_t p = final - tail + k;
    const auto c = static_cast<unsigned char>(candidate[start + k]);
    if (advance(p / 64, position_bit(p), c) == 0) return false;
  }
  return true;
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
  if (candidate.size() < layout_.shortest()) return false;
  const Run run(layout_);
  // A mismatch at the fixed end turns most candidates away at once.
  if (!run.ends_right(candidate, layout_.final_position(), layout_.tail())) return false;
  return layout_.word_count() == 1 ? run.in_one_word(candidate, layout_.final_position())
                                   : run.in_many_words(candidate, layout_.final_position());
}

}  // namespace vorn_walk::glob
