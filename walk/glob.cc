#include "walk/glob.h"

#include <algorithm>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include <re2/re2.h>
#include <re2/set.h>

#include "walk/glob_automaton.h"
#include "walk/glob_regex.h"
#include "walk/glob_shapes.h"
#include "walk/glob_syntax.h"

namespace vorn_walk {

using glob::Entry;
using glob::Item;
using glob::BitAutomaton;
using glob::Shape;
using glob::TextIndex;

// ---------------------------------------------------------------- Glob

struct Glob::Program {
  std::vector<Shape> shapes;  // when not empty, the pattern is their union
  // The rest only when `shapes` is empty: shapes answer without them.
  std::string regex;
  int required_pair = -1;  // see required_pair()
  std::optional<BitAutomaton> automaton;
};

std::string GlobError::text() const {
  return "error parsing glob '" + pattern + "': " + reason;
}

Glob::Glob(std::string pattern, std::shared_ptr<const Program> program)
    : pattern_(std::move(pattern)), program_(std::move(program)) {}

std::expected<Glob, GlobError> Glob::compile(std::string_view pattern, UnclosedClass unclosed) {
  auto lexed = glob::lex(pattern, unclosed);
  if (!lexed) return std::unexpected(GlobError{std::string(pattern), std::move(lexed.error())});
  const std::vector<Item> items = glob::lower(lexed->items);
  auto program = std::make_shared<Program>();
  program->shapes = glob::shapes_of(items, lexed->classes);
  if (program->shapes.empty()) {
    program->regex = glob::to_regex(items, lexed->classes);
    program->required_pair = glob::required_pair(items);
    program->automaton.emplace(items, lexed->classes);
  }
  return Glob(std::string(pattern), std::move(program));
}

bool Glob::is_match(std::string_view candidate) const {
  const Program& program = *program_;
  if (program.shapes.empty()) return program.automaton->matches(candidate);
  return std::ranges::any_of(program.shapes,
                             [&](const Shape& shape) { return shape.matches(candidate); });
}

// ---------------------------------------------------------------- GlobSet

namespace {

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
  std::vector<std::uint32_t> one_by_one;  // matched by their own automaton

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
  } else if (const auto key = glob::extension_key(shape.tail);
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
      if (programs[member]->automaton->matches(candidate)) out.push_back(member);
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
    if (e.programs[member]->automaton->matches(candidate)) out.push_back(member);
  }
  // Shapes of one member can overlap (`{a,a}`), and the sources report out
  // of order.
  std::sort(out.begin() + static_cast<std::ptrdiff_t>(first), out.end());
  out.erase(std::unique(out.begin() + static_cast<std::ptrdiff_t>(first), out.end()), out.end());
}

}  // namespace vorn_walk
