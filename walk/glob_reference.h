// For the tests that check the glob engine against a plain reading of the
// dialect: that reading, and random patterns and candidates to check with.
#pragma once

#include <bitset>
#include <cstddef>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "walk/glob.h"

namespace vorn_walk::testing {

// A second, deliberately plain reading of the dialect for ASCII patterns: a
// tree parsed by recursive descent, matched by carrying the set of candidate
// positions reached so far.
class Reference {
 public:
  static std::optional<Reference> parse(std::string_view p, UnclosedClass unclosed) {
    Reference r;
    r.p_ = p;
    r.unclosed_ = unclosed;
    std::size_t i = 0;
    if (!r.parse_sequence(i, 0, r.root_) || i != p.size()) return std::nullopt;
    return r;
  }

  bool matches(std::string_view c) const {
    std::vector<bool> at(c.size() + 1);
    at[0] = true;
    return run(root_, c, at, true, true)[c.size()];
  }

 private:
  struct Node {
    enum Kind { literal, any, star, double_star, cls, group } kind;
    char byte = 0;
    std::bitset<256> set{};
    std::vector<std::vector<Node>> alternatives{};
  };
  using Positions = std::vector<bool>;

  bool parse_sequence(std::size_t& i, int depth, std::vector<Node>& out) {
    while (i < p_.size()) {
      const char c = p_[i];
      if (c == '}' || (c == ',' && depth > 0)) return depth > 0;
      if (c == '{') {
        Node group{Node::group};
        for (++i;;) {
          std::vector<Node> alternative;
          if (!parse_sequence(i, depth + 1, alternative) || i == p_.size()) return false;
          if (!alternative.empty()) group.alternatives.push_back(std::move(alternative));
          if (p_[i++] == '}') break;
        }
        out.push_back(std::move(group));
      } else if (c == '\\') {
        if (i + 1 == p_.size()) return false;
        out.push_back({Node::literal, p_[i + 1]});
        i += 2;
      } else if (c == '[') {
        if (!parse_class(i, out)) return false;
      } else if (c == '*' && i + 1 < p_.size() && p_[i + 1] == '*') {
        out.push_back({Node::double_star});
        i += 2;
      } else {
        out.push_back(c == '*'   ? Node{Node::star}
                      : c == '?' ? Node{Node::any}
                                 : Node{Node::literal, c});
        ++i;
      }
    }
    return depth == 0;
  }

  bool parse_class(std::size_t& i, std::vector<Node>& out) {
    std::size_t j = i + 1;
    const bool negated = j < p_.size() && (p_[j] == '!' || p_[j] == '^');
    if (negated) ++j;
    std::size_t end = j + 1;
    while (end < p_.size() && p_[end] != ']') ++end;
    if (j >= p_.size() || end >= p_.size()) {
      if (unclosed_ == UnclosedClass::error) return false;
      out.push_back({Node::literal, '['});
      ++i;
      return true;
    }
    Node node{Node::cls};
    for (std::size_t k = j; k < end; ++k) {
      if (k + 2 < end && p_[k + 1] == '-') {
        if (p_[k] > p_[k + 2]) return false;
        for (int b = p_[k]; b <= p_[k + 2]; ++b) node.set.set(b);
        k += 2;
      } else {
        node.set.set(static_cast<unsigned char>(p_[k]));
      }
    }
    if (negated) node.set.flip();
    out.push_back(std::move(node));
    i = end + 1;
    return true;
  }

  static bool is_slash(const Node& n) { return n.kind == Node::literal && n.byte == '/'; }

  // Positions reached after `seq` from the positions `at`. `left` says whether
  // the sequence starts a component, `right` whether it ends the pattern.
  static Positions run(const std::vector<Node>& seq, std::string_view c, Positions at, bool left,
                       bool right) {
    const std::size_t n = c.size();
    for (std::size_t k = 0; k < seq.size(); ++k) {
      const Node& node = seq[k];
      const bool starts = k == 0 ? left : is_slash(seq[k - 1]);
      const bool last = k + 1 == seq.size();
      Positions next(n + 1);
      if (node.kind == Node::group) {
        if (node.alternatives.empty()) continue;
        for (const auto& alternative : node.alternatives) {
          const Positions reached = run(alternative, c, at, starts, last && right);
          for (std::size_t q = 0; q <= n; ++q) next[q] = next[q] || reached[q];
        }
      } else if (node.kind == Node::double_star && starts && !last && is_slash(seq[k + 1])) {
        // Nothing, or any text ending in "/"; the "/" after it is its own.
        bool seen = false;
        for (std::size_t q = 0; q <= n; ++q) {
          next[q] = at[q] || (seen && c[q - 1] == '/');
          seen = seen || at[q];
        }
        ++k;
      } else if (node.kind == Node::double_star && starts && last && right) {
        bool open = false;
        for (std::size_t q = 0; q <= n; ++q) next[q] = open = open || at[q];
      } else if (node.kind == Node::star || node.kind == Node::double_star) {
        bool open = false;
        for (std::size_t q = 0; q <= n; ++q) {
          open = at[q] || (open && c[q - 1] != '/');
          next[q] = open;
        }
      } else {
        for (std::size_t q = 0; q < n; ++q) {
          if (!at[q]) continue;
          const auto b = static_cast<unsigned char>(c[q]);
          const bool ok = node.kind == Node::literal ? c[q] == node.byte
                          : node.kind == Node::any   ? b != '/'
                                                     : node.set[b];
          if (ok) next[q + 1] = true;
        }
      }
      at = std::move(next);
    }
    return at;
  }

  std::string_view p_;
  UnclosedClass unclosed_ = UnclosedClass::error;
  std::vector<Node> root_;
};

inline std::string random_text(std::mt19937& rng, std::string_view alphabet,
                               std::size_t max_length) {
  std::string s(std::uniform_int_distribution<std::size_t>(0, max_length)(rng), ' ');
  for (char& c : s) {
    c = alphabet[std::uniform_int_distribution<std::size_t>(0, alphabet.size() - 1)(rng)];
  }
  return s;
}

// Patterns pieced together from common fragments and random characters, so
// that the shapes with their own fast paths occur often.
inline std::string random_pattern(std::mt19937& rng) {
  static const std::vector<std::string> kPieces = {
      "**/", "/**", "**", "*", "?", ".a", "a", "b/", "/", "{a,b}", "{,a/}", "{**/a,*}",
      "{a,**/b}", "[ab]", "[!a]", "[/-0]", "\\*", "[a", "{", "}", ",", "\\", ".", "a.b", "[]a]"};
  std::string p;
  const int pieces = std::uniform_int_distribution<int>(1, 4)(rng);
  for (int k = 0; k < pieces; ++k) {
    if (std::uniform_int_distribution<int>(0, 3)(rng) == 0) {
      p += random_text(rng, "ab/.*?[]!-{},\\", 2);
    } else {
      p += kPieces[std::uniform_int_distribution<std::size_t>(0, kPieces.size() - 1)(rng)];
    }
  }
  return p;
}

}  // namespace vorn_walk::testing
