#include "walk/glob_shapes.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <optional>

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
  const auto head_size = static_cast<std::uint32_t>(head.size());
  if (i == seq.size()) return Shape{Shape::Form::exact, std::move(head), head_size};
  const Kind wildcard = seq[i++].kind;
  std::string tail = literals();
  if (i != seq.size()) return std::nullopt;
  if (wildcard == Kind::any_text) {
    return Shape{Shape::Form::within, std::move(head) + tail, head_size};
  }
  if (!head.empty()) return std::nullopt;
  if (wildcard == Kind::opt_dirs) return Shape{Shape::Form::below, std::move(tail), 0};
  if (wildcard == Kind::star && tail.find('/') == std::string::npos) {
    return Shape{Shape::Form::top, std::move(tail), 0};
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
  // Every sequence holds all that stands outside groups, and a shape has at
  // most one element that is not a literal: a long pattern ends here.
  std::size_t depth = 0, others = 0;
  for (const Item& item : items) {
    depth += item.kind == Kind::open;
    depth -= item.kind == Kind::close;
    const bool expanded = item.kind == Kind::cls && classes[item.cls].any() &&
                          classes[item.cls].count() <= kMaxExpandedClass;
    others += depth == 0 && item.kind != Kind::literal && item.kind != Kind::close && !expanded;
    if (others > 1) return {};
  }
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

namespace {

bool shape_matches(Shape::Form form, std::string_view head, std::string_view tail,
                   std::string_view c) {
  switch (form) {
    case Shape::Form::exact:
      return c == head;
    case Shape::Form::within:
      return c.size() >= head.size() + tail.size() && c.starts_with(head) && c.ends_with(tail);
    case Shape::Form::below:
      return c.ends_with(tail) && (c.size() == tail.size() || c[c.size() - tail.size() - 1] == '/');
    case Shape::Form::top:
      return c.ends_with(tail) && c.find('/') == std::string_view::npos;
  }
  return false;
}

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

// The text after the last "." of `tail`, when no "/" follows that dot: a
// candidate ending in `tail` then has the same text after its own last dot.
std::optional<std::string_view> extension_key(std::string_view tail) {
  const auto dot = tail.rfind('.');
  if (dot == std::string_view::npos) return std::nullopt;
  const std::string_view key = tail.substr(dot + 1);
  if (key.find('/') != std::string_view::npos) return std::nullopt;
  return key;
}

std::uint64_t length_bit(std::size_t size) { return 1ull << std::min<std::size_t>(size, 63); }

}  // namespace

bool Shape::matches(std::string_view candidate) const {
  return shape_matches(form, head(), tail(), candidate);
}

void ShapeIndex::add(std::uint32_t member, const Shape& shape) {
  const std::string_view head = shape.head(), tail = shape.tail();
  Stored stored{member,
                0,
                static_cast<std::uint32_t>(texts_.size()),
                static_cast<std::uint32_t>(head.size()),
                static_cast<std::uint32_t>(tail.size()),
                0,
                shape.form};
  texts_ += shape.text;
  const auto keyed = [&stored](Table& table, std::string_view key) {
    stored.key_size = static_cast<std::uint32_t>(key.size());
    table.add(stored);
  };
  using Form = Shape::Form;
  const std::optional<std::string_view> extension = extension_key(tail);
  if (shape.form == Form::exact) {
    keyed(whole_, head);
  } else if (shape.form == Form::below && !tail.empty() && tail.find('/') == std::string::npos) {
    keyed(names_, tail);
  } else if (extension && shape.form == Form::top) {
    keyed(top_extensions_, *extension);
  } else if (extension && shape.form == Form::within && head.empty()) {
    keyed(extensions_, *extension);
  } else {
    others_.push_back(stored);
  }
}

void ShapeIndex::freeze() {
  for (Table* table : {&whole_, &names_, &top_extensions_, &extensions_}) {
    table->freeze(texts_);
  }
  texts_.shrink_to_fit();
  others_.shrink_to_fit();
}

std::string_view ShapeIndex::key_of(const Stored& stored, std::string_view texts) {
  return texts.substr(stored.text + stored.head_size + stored.tail_size - stored.key_size,
                      stored.key_size);
}

bool ShapeIndex::matches(const Stored& stored, std::string_view texts, std::string_view c) {
  return shape_matches(stored.form, texts.substr(stored.text, stored.head_size),
                       texts.substr(stored.text + stored.head_size, stored.tail_size), c);
}

void ShapeIndex::Table::freeze(std::string_view texts) {
  if (stored_.empty()) return;
  std::size_t buckets = 8;
  while (buckets < 2 * stored_.size()) buckets *= 2;
  for (Stored& stored : stored_) {
    const std::string_view key = key_of(stored, texts);
    stored.hash = static_cast<std::uint32_t>(hash_text(key));
    lengths_ |= length_bit(key.size());
  }
  const std::size_t mask = buckets - 1;
  std::ranges::stable_sort(stored_, {}, [mask](const Stored& s) { return s.hash & mask; });
  stored_.shrink_to_fit();
  first_.assign(buckets + 1, 0);
  for (const Stored& stored : stored_) ++first_[(stored.hash & mask) + 1];
  for (std::size_t b = 0; b < buckets; ++b) first_[b + 1] += first_[b];
}

void ShapeIndex::Table::probe(std::string_view key, std::string_view candidate,
                              std::string_view texts, std::vector<std::uint32_t>& out) const {
  if (!(lengths_ & length_bit(key.size()))) return;  // also when the table is empty
  const auto hash = static_cast<std::uint32_t>(hash_text(key));
  const std::size_t bucket = hash & (first_.size() - 2);
  for (std::uint32_t i = first_[bucket]; i < first_[bucket + 1]; ++i) {
    const Stored& stored = stored_[i];
    if (stored.hash == hash && key_of(stored, texts) == key &&
        ShapeIndex::matches(stored, texts, candidate)) {
      out.push_back(stored.member);
    }
  }
}

void ShapeIndex::matches(std::string_view candidate, std::vector<std::uint32_t>& out) const {
  whole_.probe(candidate, candidate, texts_, out);
  const std::size_t slash = candidate.rfind('/');
  const std::string_view name = candidate.substr(slash + 1);  // npos + 1 == 0
  names_.probe(name, candidate, texts_, out);
  const std::size_t dot = name.rfind('.');
  if (dot != std::string_view::npos) {
    const std::string_view extension = name.substr(dot + 1);
    if (slash == std::string_view::npos) top_extensions_.probe(extension, candidate, texts_, out);
    extensions_.probe(extension, candidate, texts_, out);
  }
  for (const Stored& stored : others_) {
    if (matches(stored, texts_, candidate)) out.push_back(stored.member);
  }
}

}  // namespace vorn_walk::glob
