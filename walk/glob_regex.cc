#include "walk/glob_regex.h"

#include <algorithm>
#include <atomic>
#include <bitset>
#include <chrono>
#include <cstddef>
#include <optional>
#include <utility>

#include <re2/re2.h>
#include <re2/set.h>

namespace vorn_walk::glob {
namespace {

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

}  // namespace

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

// ---------------------------------------------------------------- prefilter

// Two adjacent bytes that every text the pattern matches contains, as
// (first << 8 | second), or -1 when there are none to be had. They come from
// the longest run of literals outside groups; of its pairs, the one least
// likely to occur in paths.
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
  int best = -1, best_score = 99;
  for (std::size_t i = best_end - best_run; i + 1 < best_end; ++i) {
    const unsigned first = items[i].byte, second = items[i + 1].byte;
    const int score = commonness_in_paths(first) + commonness_in_paths(second);
    if (score < best_score) {
      best_score = score;
      best = static_cast<int>(first << 8 | second);
    }
  }
  return best;
}

// ---------------------------------------------------------------- sets

namespace {

// RE2 is handed an expression of at most this many bytes (typical lines
// take a few dozen), from a pattern of at most kLongestPattern bytes.
constexpr std::size_t kLargestRegex = 64 << 10;

// Whether a run of single bytes that follows a wildcard, with a `?` or a
// class in it, is long enough that RE2's deterministic automaton may need a
// state for each combination of the run's positions where a match could
// have begun (`*a????????????????????b` remembers where each of the last
// twenty "a"s stood): a million states and more, where shorter runs stay
// within what the timing of each set catches. Any group ends a run.
bool blows_up(const std::vector<Item>& items, const std::vector<ByteSet>& classes) {
  constexpr std::size_t kLongestRun = 20;
  bool after_wildcard = false, vague = false;
  std::size_t run = 0;
  for (const Item& item : items) {
    const bool single =
        item.kind == Kind::literal || item.kind == Kind::any || item.kind == Kind::cls;
    if (!single) {
      after_wildcard = after_wildcard || item.kind == Kind::star || item.kind == Kind::any_text ||
                       item.kind == Kind::opt_dirs;
      run = 0;
      vague = false;
      continue;
    }
    ++run;
    vague = vague || item.kind == Kind::any ||
            (item.kind == Kind::cls && classes[item.cls].count() > 1);
    if (after_wildcard && vague && run > kLongestRun) return true;
  }
  return false;
}

// A call costs about as much as this many bytes, whatever the candidate.
constexpr std::uint64_t kBytesPerCall = 16;
// The first calls of each set are timed, then one in so many of each thread.
constexpr std::uint32_t kTimedFirst = 64;
constexpr std::uint32_t kTimedEvery = 16;

RE2::Options set_options(std::int64_t memory) {
  RE2::Options options;
  options.set_encoding(RE2::Options::EncodingLatin1);
  options.set_log_errors(false);
  options.set_max_mem(memory);
  return options;
}

}  // namespace

struct RegexSets::Chunk {
  using Pairs = std::bitset<1 << 16>;

  explicit Chunk(std::int64_t memory) : set(set_options(memory), RE2::ANCHOR_BOTH) {}

  RE2::Set set;
  std::vector<Alone> members;  // by the set's own numbering
  // When every member requires a pair of bytes, those pairs: a candidate
  // that holds none of them cannot match, and the set is skipped.
  std::unique_ptr<Pairs> pairs;

  // What answering a byte by the members' automata would cost, times a
  // margin: the set gives up once its sampled calls took longer than that.
  std::uint64_t nanos_per_byte = 0;
  mutable std::atomic<std::uint64_t> timed_nanos{0}, timed_bytes{0};
  mutable std::atomic<std::uint32_t> timed_calls{0};
  mutable std::atomic<bool> gave_up{false};
};

RegexSets::RegexSets(RegexLimits limits) : limits_(limits) {}
RegexSets::RegexSets(RegexSets&&) noexcept = default;
RegexSets& RegexSets::operator=(RegexSets&&) noexcept = default;
RegexSets::~RegexSets() = default;

void RegexSets::add(std::uint32_t member, std::string_view pattern, UnclosedClass unclosed,
                    const BitAutomaton& automaton) {
  const Alone alone{member, automaton.required(), &automaton};
  if (!pattern.empty() && pattern.size() <= kLongestPattern && regex_bytes_ < limits_.regex_bytes) {
    // The pattern compiled once already, so it lexes.
    Lexed lexed = *lex(pattern, unclosed);
    const std::vector<Item> items = lower(std::move(lexed.items));
    if (!blows_up(items, lexed.classes)) {
      std::string regex = to_regex(items, lexed.classes);
      if (regex.size() <= kLargestRegex && regex_bytes_ + regex.size() <= limits_.regex_bytes) {
        regex_bytes_ += regex.size();
        pending_.push_back({alone, std::move(regex), required_pair(items)});
        return;
      }
    }
  }
  alone_.push_back(alone);
}

void RegexSets::compile() {
  compile_chunks(pending_);
  pending_.clear();
  pending_.shrink_to_fit();
  alone_.shrink_to_fit();
}

// Puts `members` into one RE2 set, or, when it will not compile (its program
// or state cache would exceed the memory budget), into two halves, down to
// single members, which failing that are matched alone.
void RegexSets::compile_chunks(std::span<Member> members) {
  auto chunk = std::make_unique<Chunk>(limits_.set_memory);
  std::vector<Member*> held;
  for (Member& member : members) {
    if (chunk->set.Add(member.regex, nullptr) >= 0) {
      held.push_back(&member);
    } else {
      alone_.push_back(member.alone);
    }
  }
  if (held.empty()) return;
  if (chunk->set.Compile()) {
    chunk->pairs = std::make_unique<Chunk::Pairs>();
    std::uint64_t words = 0;
    for (const Member* member : held) {
      chunk->members.push_back(member->alone);
      words += member->alone.automaton->size_in_words();
      if (member->pair < 0) chunk->pairs.reset();
      if (chunk->pairs) chunk->pairs->set(static_cast<std::size_t>(member->pair));
    }
    chunk->nanos_per_byte = limits_.nanos_per_word_byte * words;
    chunks_.push_back(std::move(chunk));
  } else if (held.size() == 1) {
    alone_.push_back(held.front()->alone);
  } else {
    std::vector<Member> all;
    for (Member* member : held) all.push_back(std::move(*member));
    compile_chunks(std::span(all).first(all.size() / 2));
    compile_chunks(std::span(all).subspan(all.size() / 2));
  }
}

// Whether the set answered: false once it has given up, now or before.
bool RegexSets::ask_set(const Chunk& chunk, std::string_view candidate,
                        std::vector<std::uint32_t>& out) const {
  if (chunk.gave_up.load(std::memory_order_relaxed)) return false;
  // Timing every call would cost as much as a typical call: the first calls
  // of each set are timed, then one call in so many of each thread.
  thread_local std::uint32_t calls = 0;
  const bool timed = ++calls % kTimedEvery == 0 ||
                     chunk.timed_calls.load(std::memory_order_relaxed) < kTimedFirst;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = timed ? Clock::now() : Clock::time_point();

  thread_local std::vector<int> hits;
  RE2::Set::ErrorInfo error{};
  // Most candidates match nothing: asking first whether anything matches
  // spares the hit list that a full answer allocates.
  bool matched = chunk.set.Match(candidate, nullptr, &error);
  if (matched) matched = chunk.set.Match(candidate, &hits, &error);
  if (matched) {
    for (int hit : hits) out.push_back(chunk.members[static_cast<std::size_t>(hit)].number);
  }
  if (error.kind != RE2::Set::kNoError) {
    chunk.gave_up.store(true, std::memory_order_relaxed);
    return false;
  }
  if (timed) {
    const auto nanos = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count());
    // A call costs as much as a few bytes, whatever the candidate's length.
    const std::uint64_t bytes = candidate.size() + kBytesPerCall;
    chunk.timed_calls.fetch_add(1, std::memory_order_relaxed);
    const std::uint64_t spent =
        chunk.timed_nanos.fetch_add(nanos, std::memory_order_relaxed) + nanos;
    const std::uint64_t asked =
        chunk.timed_bytes.fetch_add(bytes, std::memory_order_relaxed) + bytes;
    if (spent > limits_.slow_start_nanos + asked * chunk.nanos_per_byte) {
      chunk.gave_up.store(true, std::memory_order_relaxed);
    }
  }
  return true;
}

void RegexSets::match_chunk(const Chunk& chunk, std::string_view candidate,
                            std::vector<std::uint32_t>& out) const {
  if (chunk.pairs) {
    bool possible = false;
    for (std::size_t i = 1; i < candidate.size() && !possible; ++i) {
      possible = (*chunk.pairs)[static_cast<unsigned char>(candidate[i - 1]) << 8 |
                                static_cast<unsigned char>(candidate[i])];
    }
    if (!possible) return;
  }
  if (!ask_set(chunk, candidate, out)) match_alone(chunk.members, candidate, out);
}

void RegexSets::match_alone(std::span<const Alone> members, std::string_view candidate,
                            std::vector<std::uint32_t>& out) {
  if (members.empty()) return;
  const ByteSet present = bytes_of(candidate);
  for (const Alone& member : members) {
    if (member.required.met_by(present) && member.automaton->matches(candidate)) {
      out.push_back(member.number);
    }
  }
}

void RegexSets::matches(std::string_view candidate, std::vector<std::uint32_t>& out) const {
  for (const auto& chunk : chunks_) match_chunk(*chunk, candidate, out);
  match_alone(alone_, candidate, out);
}

}  // namespace vorn_walk::glob
