#include "walk/glob_syntax.h"

#include <algorithm>
#include <cstddef>
#include <utility>

#include "base/text.h"

namespace vorn_walk::glob {
namespace {

constexpr std::string_view kUnclosedClass = "unclosed character class; missing ']'";
constexpr std::string_view kUnopenedGroup =
    "unopened alternate group; missing '{' (maybe escape '}' with '[}]'?)";
constexpr std::string_view kUnclosedGroup =
    "unclosed alternate group; missing '}' (maybe escape '{' with '[{]'?)";
constexpr std::string_view kDanglingEscape = "dangling '\\'";

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

}  // namespace

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

namespace {

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

}  // namespace

void append(std::vector<Item>& items, const Item& item) {
  if (!items.empty() && absorb(items.back(), item.kind)) return;
  items.push_back(item);
}

std::vector<Item> lower(std::vector<Item> items) {
  const std::size_t n = items.size();
  // starts[i]: the text before item i ends a component (the pattern's start
  // or a "/"), an alternative's start standing where its group stands.
  // ends[i]: nothing but group ends follow from item i on. The stacks hold
  // those of the groups open around the item at hand.
  std::vector<bool> starts(n + 1), ends(n + 1), group_starts, group_ends;
  starts[0] = true;
  for (std::size_t i = 1; i <= n; ++i) {
    const Item& prev = items[i - 1];
    if (prev.kind == Kind::open) group_starts.push_back(starts[i - 1]);
    starts[i] = is_slash(prev) || (prev.kind == Kind::open && starts[i - 1]) ||
                (prev.kind == Kind::comma && group_starts.back());
    if (prev.kind == Kind::close) group_starts.pop_back();
  }
  ends[n] = true;
  for (std::size_t i = n; i-- > 0;) {
    const Kind kind = items[i].kind;
    if (kind == Kind::close) group_ends.push_back(ends[i + 1]);
    ends[i] = (kind == Kind::close && ends[i + 1]) || (kind == Kind::comma && group_ends.back());
    if (kind == Kind::open) group_ends.pop_back();
  }

  // The lowered items are written over the items read: no item becomes more
  // than one, but for an element that begins an alternative after a comma,
  // which becomes two where the comma became none.
  std::size_t written = 0;
  const auto put = [&](const Item& item) {
    if (written > 0 && absorb(items[written - 1], item.kind)) return;
    items[written++] = item;
  };
  struct Group {
    std::size_t alternatives = 0;
    bool filled = false;  // the current alternative has an element
  };
  std::vector<Group> groups;
  const auto emit = [&](const Item item) {
    if (!groups.empty() && !groups.back().filled) {
      if (groups.back().alternatives++ > 0) put({Kind::alt});
      groups.back().filled = true;
    }
    put(item);
  };
  for (std::size_t i = 0; i < n; ++i) {
    const Item item = items[i];
    switch (item.kind) {
      case Kind::double_star:
        if (starts[i] && i + 1 < n && is_slash(items[i + 1])) {
          emit({Kind::opt_dirs});
          ++i;  // the "/" is part of it
        } else if (starts[i] && ends[i + 1]) {
          emit({Kind::any_text});
        } else {
          emit({Kind::star});
        }
        break;
      case Kind::open:
        emit(item);
        groups.emplace_back();
        break;
      case Kind::comma:
        groups.back().filled = false;
        break;
      case Kind::close:
        items[written++] = item;
        groups.pop_back();
        break;
      default:
        emit(item);
    }
  }
  items.resize(written);
  return items;
}

}  // namespace vorn_walk::glob
