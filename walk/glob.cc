#include "walk/glob.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "walk/glob_automaton.h"
#include "walk/glob_regex.h"
#include "walk/glob_shapes.h"
#include "walk/glob_syntax.h"

namespace vorn_walk {
namespace {

// A pattern that no shape answers.
struct General {
  // Shared with the sets that hold the glob, which keep nothing else of it.
  std::shared_ptr<const glob::BitAutomaton> automaton;
  // The pattern when it is short enough for RE2, which lexes it again;
  // otherwise empty.
  std::string pattern;
  UnclosedClass unclosed;
};

}  // namespace

// Kept small: ignore files can hold millions of lines.
struct Glob::Program {
  std::vector<glob::Shape> shapes;         // when not empty, the pattern is their union
  std::unique_ptr<const General> general;  // exactly when `shapes` is empty
};

std::string GlobError::text() const {
  return "error parsing glob '" + pattern + "': " + reason;
}

Glob::Glob(std::shared_ptr<const Program> program) : program_(std::move(program)) {}

std::expected<Glob, GlobError> Glob::compile(std::string_view pattern, UnclosedClass unclosed) {
  auto lexed = glob::lex(pattern, unclosed);
  if (!lexed) return std::unexpected(GlobError{std::string(pattern), std::move(lexed.error())});
  const std::vector<glob::Item> items = glob::lower(std::move(lexed->items));
  auto program = std::make_shared<Program>();
  program->shapes = glob::shapes_of(items, lexed->classes);
  if (program->shapes.empty()) {
    const bool for_re2 = pattern.size() <= glob::RegexSets::kLongestPattern;
    program->general = std::make_unique<const General>(
        General{std::make_shared<const glob::BitAutomaton>(items, lexed->classes),
                for_re2 ? std::string(pattern) : std::string(), unclosed});
  }
  return Glob(std::move(program));
}

bool Glob::is_match(std::string_view candidate) const {
  const Program& program = *program_;
  if (program.general) return program.general->automaton->matches(candidate);
  return std::ranges::any_of(program.shapes,
                             [&](const glob::Shape& shape) { return shape.matches(candidate); });
}

struct GlobSet::Engine {
  std::size_t size = 0;
  glob::ShapeIndex shapes;
  glob::RegexSets others;
  // The automata that `others` uses.
  std::vector<std::shared_ptr<const glob::BitAutomaton>> automata;
};

GlobSet::GlobSet(std::unique_ptr<const Engine> engine) : engine_(std::move(engine)) {}
GlobSet::GlobSet(GlobSet&&) noexcept = default;
GlobSet& GlobSet::operator=(GlobSet&&) noexcept = default;
GlobSet::~GlobSet() = default;

std::expected<GlobSet, std::string> GlobSet::build(std::vector<Glob> globs) {
  auto engine = std::make_unique<Engine>();
  engine->size = globs.size();
  for (std::uint32_t member = 0; member < globs.size(); ++member) {
    Glob& glob = globs[member];
    const Glob::Program& program = *glob.program_;
    for (const glob::Shape& shape : program.shapes) engine->shapes.add(member, shape);
    if (program.general) {
      const General& general = *program.general;
      engine->others.add(member, general.pattern, general.unclosed, *general.automaton);
      engine->automata.push_back(general.automaton);
    }
    glob.program_.reset();  // what the set does not keep goes now
  }
  engine->shapes.freeze();
  engine->others.compile();
  return GlobSet(std::move(engine));
}

std::size_t GlobSet::size() const { return engine_->size; }

void GlobSet::matches(std::string_view candidate, std::vector<std::uint32_t>& out) const {
  const std::size_t first = out.size();
  engine_->shapes.matches(candidate, out);
  engine_->others.matches(candidate, out);
  // Shapes of one member can overlap (`{a,a}`), and the sources report out
  // of order.
  std::sort(out.begin() + static_cast<std::ptrdiff_t>(first), out.end());
  out.erase(std::unique(out.begin() + static_cast<std::ptrdiff_t>(first), out.end()), out.end());
}

}  // namespace vorn_walk
