// What a language front end makes of one file.
#pragma once

#include <memory>
#include <string_view>
#include <utility>

#include "core/index.h"
#include "core/source.h"

namespace vorn_core {

// A front end's own syntax tree, opaque to the engine, which only destroys
// it. Parsed files are read by several workers at once and moved between
// threads, so an implementation must allow both.
class NativeAst {
 public:
  virtual ~NativeAst() = default;
};

// One parsed file. Moved from the language to the parse stage's result and
// on into the run's Project; read only (by any number of workers) in between.
class ParsedFile {
 public:
  // `language` is the id of the language that parsed the file; it must
  // refer to text that outlives the run (a string literal, or text the
  // language object owns). `ast` may be null for a front end without a tree.
  ParsedFile(std::shared_ptr<const SourceFile> source, SemanticIndex index,
             std::unique_ptr<NativeAst> ast, std::string_view language)
      : source(std::move(source)),
        index(std::move(index)),
        ast(std::move(ast)),
        language(language) {}

  ParsedFile(ParsedFile&&) noexcept = default;
  ParsedFile& operator=(ParsedFile&&) noexcept = default;

  // Releases `source` first, then `index`, then `ast`: the reverse of what
  // member order alone would do.
  ~ParsedFile() {
    source.reset();
    index = SemanticIndex();
    ast.reset();
  }

  // The SourceFile that `parse` was given; never null in a run's results
  // (the parse stage counts a result without it as a failure). Finalisation
  // finds the file's suppressions by its path; the run's size is the sum of
  // its texts.
  std::shared_ptr<const SourceFile> source;
  SemanticIndex index;
  std::unique_ptr<NativeAst> ast;
  // Compared byte for byte with the ids an analyzer targets.
  std::string_view language;
};

}  // namespace vorn_core
