// The interface of a language front end.
#pragma once

#include <expected>
#include <memory>
#include <span>
#include <string_view>

#include "core/error.h"
#include "core/parsed.h"
#include "core/source.h"

namespace vorn_core {

// A language front end: it names the file extensions it handles and turns
// one file into a ParsedFile.
//
// The Engine owns its languages and calls them from several worker threads
// at once, the same object possibly for several files at a time: every
// operation must be safe for concurrent use.
class Language {
 public:
  virtual ~Language() = default;

  // The language's id, the one `parse` puts into ParsedFile::language. The
  // engine itself never asks for it.
  virtual std::string_view id() const = 0;

  // The extensions this language handles, each without its dot, compared
  // with a file's extension byte for byte (case-sensitive). The list and its
  // texts are borrowed: they must stay valid, and unchanged, as long as the
  // object lives. The engine asks once per run to select files and again for
  // every file it hands out, so the answer must not vary.
  virtual std::span<const std::string_view> extensions() const = 0;

  // Parses one file. `source` is the engine's second reference to the file,
  // handed over: a ParsedFile must keep it in its `source`, which the engine
  // reads (for the file's suppressions and the run's size); on failure, drop
  // it. A ParseError, or a ParsedFile whose `source` is null, makes the file
  // count as a parse failure; the error's text is not kept.
  virtual std::expected<ParsedFile, ParseError> parse(
      std::shared_ptr<const SourceFile> source) const = 0;
};

}  // namespace vorn_core
