#include "walk/glob.h"

#include <algorithm>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>
#include <span>
#include <utility>

#include <re2/re2.h>
#include <re2/set.h>

#include "base/text.h"

namespace vorn_walk {
namespace {

using ByteSet = std::bitset<256>;

constexpr std::string_view kUnclosedClass = "unclosed character class; missing ']'";
constexpr std::string_view kUnopenedGroup =
    "unopened alternate group; missing '{' (maybe escape '}' with '[}]'?)";
constexpr std::string_view kUnclosedGroup =
    "unclosed alternate group; missing '}' (maybe escape '{' with '[{]'?)";
constexpr std::string_view kDanglingEscape = "dangling '\\'";

// One element of a pattern. The lexer produces literal, any, star,
// double_star, cls, open, comma and close; lowering resolves every
// double_star into star, any_text or opt_dirs and turns comma into alt.
enum class Kind : std::uint8_t {
  literal,      // one byte
  any,          // one byte other than "/"
  star,         // bytes without "/"
  double_star,  // "**", not yet judged
  any_text,     // any bytes at all
  opt_dirs,     // nothing, or any bytes ending in "/"
  cls,          // one byte of a class
  open,
  comma,
  alt,
  close,
};

struct Item {
  Kind kind;
  std::uint8_t byte = 0;   // literal
  std::uint32_t cls = 0;   // cls: index into the pattern's classes
};

struct Lexed {
  std::vector<Item> items;
  std::vector<ByteSet> classes;
};

// ---------------------------------------------------------------- classes

// A character of a pattern: a well-formed UTF-8 sequence, or one byte that
// is not part of one (its code is then the byte's value).
struct Char {
  std::uint32_t code;
  std::size_t size;
};

Char char_at(std::string_view s, std::size_t i) {
  const auto lead = static_cast<unsigned char>(s[i]);
  const std::size_t size = lead < 0xC2 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  if (size == 1 || i + size > s.size() || !vorn_base::is_valid_utf8(s.substr(i, size))) {
    return {lead, 1};
  }
  std::uint32_t code = lead & (0x7Fu >> size);
  for (std::size_t k = 1; k < size; ++k) {
    code = code << 6 | (static_cast<unsigned char>(s[i + k]) & 0x3Fu);
  }
  return {code, size};
}

// Adds every byte that occurs in the UTF-8 encoding of a code point in
// [lo, hi]. Each byte position of an encoding carries a fixed group of the
// code point's bits, so the bytes at one position are those bits over the
// range, which wrap around completely once the range is long enough.
void add_encoded_range(ByteSet& set, std::uint32_t lo, std::uint32_t hi) {
  for (std::uint32_t b = lo; b <= std::min<std::uint32_t>(hi, 0x7F); ++b) set.set(b);
  struct Band {
    std::uint32_t first, last, lead_mark;
    int tail;  // continuation bytes
  };
  static constexpr Band kBands[] = {
      {0x80, 0x7FF, 0xC0, 1}, {0x800, 0xFFFF, 0xE0, 2}, {0x10000, 0x10FFFF, 0xF0, 3}};
  for (const Band& band : kBands) {
    const std::uint32_t a = std::max(lo, band.first), z = std::min(hi, band.last);
    if (a > z) continue;
    for (std::uint32_t bits = a >> (6 * band.tail); bits <= z >> (6 * band.tail); ++bits) {
      set.set(band.lead_mark | bits);
    }
    for (int k = 0; k < band.tail; ++k) {
      const std::uint32_t from = a >> (6 * k), to = z >> (6 * k);
      const std::uint32_t last = to - from >= 63 ? from + 63 : to;
      for (std::uint32_t bits = from; bits <= last; ++bits) set.set(0x80 | (bits & 0x3F));
    }
  }
}

// A range between two single bytes is a range of bytes; any other range is
// one of code points, whose encodings give the bytes (see glob.h).
void add_range(ByteSet& set, Char lo, Char hi) {
  if (lo.size == 1 && hi.size == 1) {
    for (std::uint32_t b = lo.code; b <= hi.code; ++b) set.set(b);
    return;
  }
  add_encoded_range(set, lo.code, hi.code);
  if (lo.size == 1) set.set(lo.code);
  if (hi.size == 1) set.set(hi.code);
}

// Lexes the class whose "[" stands at `open`. Returns the index after its
// "]", or npos when no "]" closes it.
std::expected<std::size_t, std::string> lex_class(std::string_view p, std::size_t open,
                                                  Lexed& out) {
  std::size_t first = open + 1;
  const bool negated = first < p.size() && (p[first] == '!' || p[first] == '^');
  if (negated) ++first;
  if (first >= p.size()) return std::string_view::npos;
  // A "]" right after the opening is a member, and no member is escaped, so
  // the class ends at the next "]" (which never occurs inside a multi-byte
  // character).
  const std::size_t close = p.find(']', first + 1);
  if (close == std::string_view::npos) return close;

  ByteSet set;
  for (std::size_t i = first; i < close;) {
    const Char lo = char_at(p, i);
    const std::size_t dash = i + lo.size;
    if (dash + 1 < close && p[dash] == '-') {
      const Char hi = char_at(p, dash + 1);
      if (lo.code > hi.code) {
        return std::unexpected(std::string("invalid range; '") + std::string(p.substr(i, lo.size)) +
                               "' > '" + std::string(p.substr(dash + 1, hi.size)) + "'");
      }
      add_range(set, lo, hi);
      i = dash + 1 + hi.size;
    } else {
      for (std::size_t k = i; k < dash; ++k) set.set(static_cast<unsigned char>(p[k]));
      i = dash;
    }
  }
  if (negated) set.flip();
  out.items.push_back({Kind::cls, 0, static_cast<std::uint32_t>(out.classes.size())});
  out.classes.push_back(set);
  return close + 1;
}

// ---------------------------------------------------------------- lexing

std::expected<Lexed, std::string> lex(std::string_view p, UnclosedClass unclosed) {
  Lexed out;
  std::size_t depth = 0;
  const auto literal = [&](char c) {
    out.items.push_back({Kind::literal, static_cast<std::uint8_t>(c)});
  };
  for (std::size_t i = 0; i < p.size();) {
    const char c = p[i];
    switch (c) {
      case '\\':
        if (i + 1 == p.size()) return std::unexpected(std::string(kDanglingEscape));
        literal(p[i + 1]);
        i += 2;
        continue;
      case '[': {
        const auto end = lex_class(p, i, out);
        if (!end) return std::unexpected(end.error());
        if (*end != std::string_view::npos) {
          i = *end;
          continue;
        }
        if (unclosed == UnclosedClass::error) {
          return std::unexpected(std::string(kUnclosedClass));
        }
        literal(c);
        break;
      }
      case '?':
        out.items.push_back({Kind::any});
        break;
      case '*':
        if (i + 1 < p.size() && p[i + 1] == '*') {
          out.items.push_back({Kind::double_star});
          ++i;
        } else {
          out.items.push_back({Kind::star});
        }
        break;
      case '{':
        ++depth;
        out.items.push_back({Kind::open});
        break;
      case '}':
        if (depth == 0) return std::unexpected(std::string(kUnopenedGroup));
        --depth;
        out.items.push_back({Kind::close});
        break;
      case ',':
        if (depth > 0) {
          out.items.push_back({Kind::comma});
        } else {
          literal(c);
        }
        break;
      default:
        literal(c);
    }
    ++i;
  }
  if (depth > 0) return std::unexpected(std::string(kUnclosedGroup));
  return out;
}

// ---------------------------------------------------------------- lowering

bool is_slash(const Item& item) { return item.kind == Kind::literal && item.byte == '/'; }

bool is_wildcard(Kind kind) {
  return kind == Kind::star || kind == Kind::any_text || kind == Kind::opt_dirs;
}

// Merges `next` into the wildcard `prev` when their sequence is one wildcard:
// `(.*/)?[^/]*`, `.*(.*/)?` and the like all match any text. Only
// "star, then opt_dirs" stays two.
bool absorb(Item& prev, Kind next) {
  if (!is_wildcard(prev.kind) || !is_wildcard(next)) return false;
  if (prev.kind == Kind::star && next == Kind::opt_dirs) return false;
  if (prev.kind != next) prev.kind = Kind::any_text;
  return true;
}

void append(std::vector<Item>& items, const Item& item) {
  if (!items.empty() && absorb(items.back(), item.kind)) return;
  items.push_back(item);
}

// Resolves each "**", drops empty alternatives and merges wildcard runs.
std::vector<Item> lower(const std::vector<Item>& in) {
  const std::size_t n = in.size();
  // For each comma and close the index of its open; for each open its close.
  std::vector<std::size_t> partner(n);
  std::vector<std::size_t> opens;
  for (std::size_t i = 0; i < n; ++i) {
    if (in[i].kind == Kind::open) opens.push_back(i);
    if (in[i].kind == Kind::comma) partner[i] = opens.back();
    if (in[i].kind == Kind::close) {
      partner[i] = opens.back();
      partner[opens.back()] = i;
      opens.pop_back();
    }
  }
  // starts[i]: the text before item i ends a component (the pattern's start
  // or a "/"), an alternative's start standing where its group stands.
  // ends[i]: nothing but group ends follow from item i on.
  std::vector<bool> starts(n + 1), ends(n + 1);
  starts[0] = true;
  for (std::size_t i = 1; i <= n; ++i) {
    const Item& prev = in[i - 1];
    starts[i] = is_slash(prev) || (prev.kind == Kind::open && starts[i - 1]) ||
                (prev.kind == Kind::comma && starts[partner[i - 1]]);
  }
  ends[n] = true;
  for (std::size_t i = n; i-- > 0;) {
    ends[i] = (in[i].kind == Kind::close && ends[i + 1]) ||
              (in[i].kind == Kind::comma && ends[partner[partner[i]] + 1]);
  }

  struct Group {
    std::size_t alternatives = 0;
    bool filled = false;  // the current alternative has an element
  };
  std::vector<Group> groups;
  std::vector<Item> out;
  const auto emit = [&](Item item) {
    if (!groups.empty() && !groups.back().filled) {
      if (groups.back().alternatives++ > 0) out.push_back({Kind::alt});
      groups.back().filled = true;
    }
    append(out, item);
  };
  for (std::size_t i = 0; i < n; ++i) {
    switch (in[i].kind) {
      case Kind::double_star:
        if (starts[i] && i + 1 < n && is_slash(in[i + 1])) {
          emit({Kind::opt_dirs});
          ++i;  // the "/" is part of it
        } else if (starts[i] && ends[i + 1]) {
          emit({Kind::any_text});
        } else {
          emit({Kind::star});
        }
        break;
      case Kind::open:
        emit(in[i]);
        groups.emplace_back();
        break;
      case Kind::comma:
        groups.back().filled = false;
        break;
      case Kind::close:
        out.push_back(in[i]);
        groups.pop_back();
        break;
      default:
        emit(in[i]);
    }
  }
  return out;
}

// ---------------------------------------------------------------- shapes

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

using Sequence = std::vector<Item>;

std::optional<Shape> shape_of(const Sequence& seq) {
  std::size_t i = 0;
  const auto literals = [&] {
    std::string text;
    for (; i < seq.size() && seq[i].kind == Kind::literal; ++i) {
      text += static_cast<char>(seq[i].byte);
    }
    return text;
  };
  std::string head = literals();
  if (i == seq.size()) return Shape{Shape::Form::exact, std::move(head), {}};
  const Kind wildcard = seq[i++].kind;
  std::string tail = literals();
  if (i != seq.size()) return std::nullopt;
  if (wildcard == Kind::any_text) {
    return Shape{Shape::Form::within, std::move(head), std::move(tail)};
  }
  if (!head.empty()) return std::nullopt;
  if (wildcard == Kind::opt_dirs) return Shape{Shape::Form::below, {}, std::move(tail)};
  if (wildcard == Kind::star && tail.find('/') == std::string::npos) {
    return Shape{Shape::Form::top, {}, std::move(tail)};
  }
  return std::nullopt;
}

constexpr std::size_t kMaxExpansions = 16;
constexpr int kMaxExpansionDepth = 4;
constexpr std::size_t kMaxExpandedClass = 4;

// The group-free sequences whose union the items from `pos` to the end of
// their alternative match, or nullopt when there would be too many. Small
// classes count as groups of single bytes, so `*.py[cod]` becomes three
// extension shapes.
std::optional<std::vector<Sequence>> expand(const std::vector<Item>& items,
                                            const std::vector<ByteSet>& classes,
                                            std::size_t& pos, int depth) {
  std::vector<Sequence> result(1);
  while (pos < items.size() && items[pos].kind != Kind::alt && items[pos].kind != Kind::close) {
    const Item& item = items[pos++];
    std::vector<Sequence> choices;
    if (item.kind == Kind::open) {
      if (depth == kMaxExpansionDepth) return std::nullopt;
      for (;;) {
        auto alternative = expand(items, classes, pos, depth + 1);
        if (!alternative) return std::nullopt;
        std::ranges::move(*alternative, std::back_inserter(choices));
        if (items[pos++].kind == Kind::close) break;
      }
    } else if (item.kind == Kind::cls && classes[item.cls].any() &&
               classes[item.cls].count() <= kMaxExpandedClass) {
      for (int b = 0; b < 256; ++b) {
        if (classes[item.cls][b]) {
          choices.push_back({{Kind::literal, static_cast<std::uint8_t>(b)}});
        }
      }
    } else {
      choices.push_back({item});
    }
    if (choices.size() == 1) {
      // Extend in place: copying would make long patterns quadratic.
      for (Sequence& seq : result) {
        for (const Item& x : choices.front()) append(seq, x);
      }
      continue;
    }
    if (result.size() * choices.size() > kMaxExpansions) return std::nullopt;
    std::vector<Sequence> next;
    for (const Sequence& start : result) {
      for (const Sequence& choice : choices) {
        Sequence seq = start;
        for (const Item& x : choice) append(seq, x);
        next.push_back(std::move(seq));
      }
    }
    result = std::move(next);
  }
  return result;
}

// The shapes whose union is the pattern, or nothing when some part of it
// has no shape.
std::vector<Shape> shapes_of(const std::vector<Item>& items, const std::vector<ByteSet>& classes) {
  std::size_t pos = 0;
  const auto sequences = expand(items, classes, pos, 0);
  if (!sequences) return {};
  std::vector<Shape> shapes;
  for (const Sequence& seq : *sequences) {
    auto shape = shape_of(seq);
    if (!shape) return {};
    shapes.push_back(std::move(*shape));
  }
  return shapes;
}

// ---------------------------------------------------------------- regex

constexpr std::string_view kNotSlash = "[\\x00-\\x2e\\x30-\\xff]";
constexpr std::string_view kAnyByte = "[\\x00-\\xff]";

void append_byte(std::string& re, unsigned b) {
  if ((b >= '0' && b <= '9') || (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z')) {
    re += static_cast<char>(b);
    return;
  }
  static constexpr char kHex[] = "0123456789abcdef";
  re += "\\x";
  re += kHex[b >> 4];
  re += kHex[b & 15];
}

void append_class(std::string& re, const ByteSet& set) {
  if (set.none()) {
    re += "[^\\x00-\\xff]";
    return;
  }
  re += '[';
  for (unsigned b = 0; b < 256;) {
    if (!set[b]) {
      ++b;
      continue;
    }
    unsigned last = b;
    while (last + 1 < 256 && set[last + 1]) ++last;
    append_byte(re, b);
    if (last > b) {
      re += '-';
      append_byte(re, last);
    }
    b = last + 1;
  }
  re += ']';
}

// The pattern as an RE2 expression over Latin-1, so that each byte of the
// candidate is one character; the caller anchors it at both ends.
std::string to_regex(const std::vector<Item>& items, const std::vector<ByteSet>& classes) {
  std::string re;
  for (const Item& item : items) {
    switch (item.kind) {
      case Kind::literal: append_byte(re, item.byte); break;
      case Kind::any: re += kNotSlash; break;
      case Kind::star: re += kNotSlash; re += '*'; break;
      case Kind::any_text: re += kAnyByte; re += '*'; break;
      case Kind::opt_dirs: re += "(?:"; re += kAnyByte; re += "*/)?"; break;
      case Kind::cls: append_class(re, classes[item.cls]); break;
      case Kind::open: re += "(?:"; break;
      case Kind::alt: re += '|'; break;
      case Kind::close: re += ')'; break;
      case Kind::double_star:
      case Kind::comma: break;  // gone after lowering
    }
  }
  return re;
}

// ---------------------------------------------------------------- automaton

// A Thompson automaton over bytes, simulated state set by state set: time
// O(candidate length x pattern size), no backtracking. It serves single
// globs and the members that RE2 cannot hold.
class Nfa {
 public:
  Nfa() = default;
  Nfa(const std::vector<Item>& items, std::vector<ByteSet> classes);

  bool matches(std::string_view candidate) const;

 private:
  enum class Op : std::uint8_t { byte, set, split, jump, match };
  struct Inst {
    Op op;
    std::uint8_t byte = 0;
    std::uint32_t x = 0, y = 0;  // set: class; split: both targets; jump: target
  };

  std::uint32_t next() const { return static_cast<std::uint32_t>(insts_.size()); }
  void loop(std::uint32_t set);

  std::vector<Inst> insts_;
  std::vector<ByteSet> sets_;  // the pattern's classes, then "not /", then "any"
};

void Nfa::loop(std::uint32_t set) {
  const std::uint32_t at = next();
  insts_.push_back({Op::split, 0, at + 1, at + 3});
  insts_.push_back({Op::set, 0, set});
  insts_.push_back({Op::jump, 0, at});
}

Nfa::Nfa(const std::vector<Item>& items, std::vector<ByteSet> classes) : sets_(std::move(classes)) {
  const auto not_slash = static_cast<std::uint32_t>(sets_.size());
  sets_.push_back(ByteSet().set().reset('/'));
  const std::uint32_t any = not_slash + 1;
  sets_.push_back(ByteSet().set());

  struct Group {
    std::uint32_t split;  // the split that enters the current alternative
    std::vector<std::uint32_t> exits;
  };
  std::vector<Group> groups;
  for (const Item& item : items) {
    switch (item.kind) {
      case Kind::literal: insts_.push_back({Op::byte, item.byte}); break;
      case Kind::any: insts_.push_back({Op::set, 0, not_slash}); break;
      case Kind::cls: insts_.push_back({Op::set, 0, item.cls}); break;
      case Kind::star: loop(not_slash); break;
      case Kind::any_text: loop(any); break;
      case Kind::opt_dirs: {
        const std::uint32_t at = next();
        insts_.push_back({Op::split, 0, at + 1, at + 5});
        loop(any);
        insts_.push_back({Op::byte, '/'});
        break;
      }
      case Kind::open:
        groups.push_back({next(), {}});
        insts_.push_back({Op::split, 0, next() + 1});
        break;
      case Kind::alt:
        groups.back().exits.push_back(next());
        insts_.push_back({Op::jump});
        insts_[groups.back().split].y = next();
        groups.back().split = next();
        insts_.push_back({Op::split, 0, next() + 1});
        break;
      case Kind::close: {
        // The last alternative is entered unconditionally.
        const std::uint32_t split = groups.back().split;
        insts_[split] = {Op::jump, 0, split + 1};
        for (std::uint32_t exit : groups.back().exits) insts_[exit].x = next();
        groups.pop_back();
        break;
      }
      case Kind::double_star:
      case Kind::comma: break;  // gone after lowering
    }
  }
  insts_.push_back({Op::match});
}

bool Nfa::matches(std::string_view candidate) const {
  std::vector<std::uint32_t> current, following, stack;
  // mark[pc] is the step at which pc last joined a state set.
  std::vector<std::size_t> mark(insts_.size(), SIZE_MAX);
  const auto add = [&](std::vector<std::uint32_t>& states, std::uint32_t pc, std::size_t step) {
    stack.push_back(pc);
    while (!stack.empty()) {
      pc = stack.back();
      stack.pop_back();
      if (mark[pc] == step) continue;
      mark[pc] = step;
      const Inst& inst = insts_[pc];
      if (inst.op == Op::split) {
        stack.push_back(inst.y);
        stack.push_back(inst.x);
      } else if (inst.op == Op::jump) {
        stack.push_back(inst.x);
      } else {
        states.push_back(pc);
      }
    }
  };
  add(current, 0, 0);
  for (std::size_t i = 0; i < candidate.size() && !current.empty(); ++i) {
    const auto b = static_cast<unsigned char>(candidate[i]);
    following.clear();
    for (std::uint32_t pc : current) {
      const Inst& inst = insts_[pc];
      if ((inst.op == Op::byte && inst.byte == b) || (inst.op == Op::set && sets_[inst.x][b])) {
        add(following, pc + 1, i + 1);
      }
    }
    std::swap(current, following);
  }
  return std::ranges::any_of(current, [&](std::uint32_t pc) { return insts_[pc].op == Op::match; });
}

// ---------------------------------------------------------------- prefilter

// Two adjacent bytes that every text the pattern matches contains, as
// (first << 8 | second), or -1 when there are none to be had. They come from
// the longest run of literals outside groups; of its pairs, the one least
// likely to occur in paths by a rough guess (separators and dots are common,
// lower-case letters fairly so).
int required_pair(const std::vector<Item>& items) {
  std::size_t depth = 0, run = 0, best_run = 0, best_end = 0;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (items[i].kind == Kind::open) ++depth;
    if (items[i].kind == Kind::close) --depth;
    run = items[i].kind == Kind::literal && depth == 0 ? run + 1 : 0;
    if (run > best_run) {
      best_run = run;
      best_end = i + 1;
    }
  }
  if (best_run < 2) return -1;
  const auto commonness = [](unsigned b) {
    return b == '/' ? 3 : b == '.' ? 2 : (b >= 'a' && b <= 'z') ? 1 : 0;
  };
  int best = -1, best_score = 99;
  for (std::size_t i = best_end - best_run; i + 1 < best_end; ++i) {
    const unsigned first = items[i].byte, second = items[i + 1].byte;
    const int score = commonness(first) + commonness(second);
    if (score < best_score) {
      best_score = score;
      best = static_cast<int>(first << 8 | second);
    }
  }
  return best;
}

}  // namespace

// ---------------------------------------------------------------- Glob

struct Glob::Program {
  std::vector<Shape> shapes;  // when not empty, the pattern is their union
  // The rest only when `shapes` is empty: shapes answer without them.
  std::string regex;
  int required_pair = -1;  // see required_pair()
  Nfa nfa;
};

std::string GlobError::text() const {
  return "error parsing glob '" + pattern + "': " + reason;
}

Glob::Glob(std::string pattern, std::shared_ptr<const Program> program)
    : pattern_(std::move(pattern)), program_(std::move(program)) {}

std::expected<Glob, GlobError> Glob::compile(std::string_view pattern, UnclosedClass unclosed) {
  auto lexed = lex(pattern, unclosed);
  if (!lexed) return std::unexpected(GlobError{std::string(pattern), std::move(lexed.error())});
  const std::vector<Item> items = lower(lexed->items);
  auto program = std::make_shared<Program>();
  program->shapes = shapes_of(items, lexed->classes);
  if (program->shapes.empty()) {
    program->regex = to_regex(items, lexed->classes);
    program->required_pair = required_pair(items);
    program->nfa = Nfa(items, std::move(lexed->classes));
  }
  return Glob(std::string(pattern), std::move(program));
}

bool Glob::is_match(std::string_view candidate) const {
  const Program& program = *program_;
  if (program.shapes.empty()) return program.nfa.matches(candidate);
  return std::ranges::any_of(program.shapes,
                             [&](const Shape& shape) { return shape.matches(candidate); });
}

// ---------------------------------------------------------------- GlobSet

namespace {

struct Entry {
  std::uint32_t member;
  const Shape* shape;
};

// Word-at-a-time hash for the short texts that shapes are keyed by.
std::uint64_t hash_text(std::string_view s) {
  std::uint64_t h = 0x9E3779B97F4A7C15ull ^ s.size();
  const auto mix = [&h](std::uint64_t word) {
    h = (h ^ word) * 0xFF51AFD7ED558CCDull;
    h ^= h >> 32;
  };
  std::size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, s.data() + i, 8);
    mix(word);
  }
  if (i < s.size()) {
    std::uint64_t word = 0;
    std::memcpy(&word, s.data() + i, s.size() - i);
    mix(word);
  }
  return h ^ (h >> 29);
}

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
std::optional<std::string_view> extension_key(std::string_view tail) {
  const auto dot = tail.rfind('.');
  if (dot == std::string_view::npos) return std::nullopt;
  const std::string_view key = tail.substr(dot + 1);
  if (key.find('/') != std::string_view::npos) return std::nullopt;
  return key;
}

// Enough for the automaton of a few thousand typical patterns with room for
// its state cache; a set that needs more is split.
constexpr std::int64_t kSetMemory = 32 << 20;

RE2::Options set_options() {
  RE2::Options options;
  options.set_encoding(RE2::Options::EncodingLatin1);
  options.set_log_errors(false);
  options.set_max_mem(kSetMemory);
  return options;
}

}  // namespace

struct GlobSet::Engine {
  using Pairs = std::bitset<1 << 16>;
  struct Chunk {
    std::unique_ptr<RE2::Set> automaton;
    std::vector<std::uint32_t> members;  // by the automaton's own numbering
    // When every member requires a pair of bytes, those pairs: a candidate
    // that holds none of them cannot match, and the automaton is skipped.
    std::unique_ptr<Pairs> pairs;
  };

  std::vector<std::shared_ptr<const Glob::Program>> programs;
  TextIndex exact;     // `Form::exact`, by the whole text
  TextIndex basename;  // `Form::below` of a name without "/", by the name
  TextIndex top_ext;   // `Form::top`, by the extension
  TextIndex any_ext;   // `Form::within` without head, by the extension
  std::vector<Entry> scan;  // the other shapes, tried one by one
  std::vector<Chunk> chunks;
  std::vector<std::uint32_t> one_by_one;  // matched by their own Nfa

  void add_shape(std::uint32_t member, const Shape& shape);
  void compile_chunks(std::span<const std::uint32_t> members);
  void match_chunk(const Chunk& chunk, std::string_view candidate,
                   std::vector<std::uint32_t>& out) const;
};

void GlobSet::Engine::add_shape(std::uint32_t member, const Shape& shape) {
  const Entry entry{member, &shape};
  using Form = Shape::Form;
  if (shape.form == Form::exact) {
    exact.add(shape.head, entry);
  } else if (shape.form == Form::below && !shape.tail.empty() &&
             shape.tail.find('/') == std::string::npos) {
    basename.add(shape.tail, entry);
  } else if (const auto key = extension_key(shape.tail);
             key &&
             (shape.form == Form::top || (shape.form == Form::within && shape.head.empty()))) {
    (shape.form == Form::top ? top_ext : any_ext).add(*key, entry);
  } else {
    scan.push_back(entry);
  }
}

// Puts `members` into one RE2 set, or, when it will not compile (its program
// or state cache would exceed the memory budget), into two halves, down to
// single members, which failing that are matched one by one.
void GlobSet::Engine::compile_chunks(std::span<const std::uint32_t> members) {
  auto automaton = std::make_unique<RE2::Set>(set_options(), RE2::ANCHOR_BOTH);
  std::vector<std::uint32_t> held;
  for (std::uint32_t member : members) {
    if (automaton->Add(programs[member]->regex, nullptr) >= 0) {
      held.push_back(member);
    } else {
      one_by_one.push_back(member);
    }
  }
  if (held.empty()) return;
  if (automaton->Compile()) {
    auto pairs = std::make_unique<Pairs>();
    for (std::uint32_t member : held) {
      const int pair = programs[member]->required_pair;
      if (pair < 0) {
        pairs.reset();
        break;
      }
      pairs->set(static_cast<std::size_t>(pair));
    }
    chunks.push_back({std::move(automaton), std::move(held), std::move(pairs)});
  } else if (held.size() == 1) {
    one_by_one.push_back(held.front());
  } else {
    const std::span<const std::uint32_t> all(held);
    compile_chunks(all.first(held.size() / 2));
    compile_chunks(all.subspan(held.size() / 2));
  }
}

void GlobSet::Engine::match_chunk(const Chunk& chunk, std::string_view candidate,
                                  std::vector<std::uint32_t>& out) const {
  if (chunk.pairs) {
    bool possible = false;
    for (std::size_t i = 1; i < candidate.size() && !possible; ++i) {
      possible = (*chunk.pairs)[static_cast<unsigned char>(candidate[i - 1]) << 8 |
                                static_cast<unsigned char>(candidate[i])];
    }
    if (!possible) return;
  }
  thread_local std::vector<int> hits;
  RE2::Set::ErrorInfo error{};
  // Most candidates match nothing: asking first whether anything matches
  // spares the hit list that a full answer allocates.
  bool matched = chunk.automaton->Match(candidate, nullptr, &error);
  if (matched) matched = chunk.automaton->Match(candidate, &hits, &error);
  if (matched) {
    for (int hit : hits) out.push_back(chunk.members[static_cast<std::size_t>(hit)]);
  } else if (error.kind != RE2::Set::kNoError) {
    // The automaton gave up (its state cache ran out): answer member by member.
    for (std::uint32_t member : chunk.members) {
      if (programs[member]->nfa.matches(candidate)) out.push_back(member);
    }
  }
}

GlobSet::GlobSet(std::unique_ptr<const Engine> engine) : engine_(std::move(engine)) {}
GlobSet::GlobSet(GlobSet&&) noexcept = default;
GlobSet& GlobSet::operator=(GlobSet&&) noexcept = default;
GlobSet::~GlobSet() = default;

std::expected<GlobSet, std::string> GlobSet::build(std::vector<Glob> globs) {
  auto engine = std::make_unique<Engine>();
  std::vector<std::uint32_t> general;
  for (Glob& glob : globs) {
    const auto member = static_cast<std::uint32_t>(engine->programs.size());
    engine->programs.push_back(std::move(glob.program_));
    const Glob::Program& program = *engine->programs.back();
    if (program.shapes.empty()) general.push_back(member);
    for (const Shape& shape : program.shapes) engine->add_shape(member, shape);
  }
  for (TextIndex* index : {&engine->exact, &engine->basename, &engine->top_ext, &engine->any_ext}) {
    index->freeze();
  }
  if (!general.empty()) engine->compile_chunks(general);
  return GlobSet(std::move(engine));
}

std::size_t GlobSet::size() const { return engine_->programs.size(); }

void GlobSet::matches(std::string_view candidate, std::vector<std::uint32_t>& out) const {
  const Engine& e = *engine_;
  const std::size_t first = out.size();
  if (!e.exact.empty()) e.exact.probe(candidate, candidate, out);
  const std::size_t slash = candidate.rfind('/');
  if (!e.basename.empty()) {
    const std::string_view name =
        slash == std::string_view::npos ? candidate : candidate.substr(slash + 1);
    e.basename.probe(name, candidate, out);
  }
  const std::size_t dot = candidate.rfind('.');
  if (dot != std::string_view::npos && (slash == std::string_view::npos || dot > slash)) {
    const std::string_view ext = candidate.substr(dot + 1);
    if (slash == std::string_view::npos && !e.top_ext.empty()) e.top_ext.probe(ext, candidate, out);
    if (!e.any_ext.empty()) e.any_ext.probe(ext, candidate, out);
  }
  for (const Entry& entry : e.scan) {
    if (entry.shape->matches(candidate)) out.push_back(entry.member);
  }
  for (const Engine::Chunk& chunk : e.chunks) e.match_chunk(chunk, candidate, out);
  for (std::uint32_t member : e.one_by_one) {
    if (e.programs[member]->nfa.matches(candidate)) out.push_back(member);
  }
  // Shapes of one member can overlap (`{a,a}`), and the sources report out
  // of order.
  std::sort(out.begin() + static_cast<std::ptrdiff_t>(first), out.end());
  out.erase(std::unique(out.begin() + static_cast<std::ptrdiff_t>(first), out.end()), out.end());
}

}  // namespace vorn_walk
