#include "walk/glob_shapes.h"

#include <cstddef>
#include <cstring>
#include <iterator>

namespace vorn_walk::glob {
namespace {

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


}  // namespace

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

std::optional<std::string_view> extension_key(std::string_view tail) {
  const auto dot = tail.rfind('.');
  if (dot == std::string_view::npos) return std::nullopt;
  const std::string_view key = tail.substr(dot + 1);
  if (key.find('/') != std::string_view::npos) return std::nullopt;
  return key;
}

// Enough for the automaton of a few thousand typical patterns with room for

}  // namespace vorn_walk::glob
