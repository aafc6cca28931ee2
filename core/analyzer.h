// The interface of an analyzer, and the values a run hands to it.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/config.h"
#include "core/finding.h"
#include "core/parsed.h"

namespace vorn_core {

// The per-run value handed to every analyzer call. Read only; it lives until
// the run ends.
struct AnalysisContext {
  const Config& config;  // the Config the run was started with
};

// The project as a whole, handed to project-level analyzers.
struct Project {
  std::string root;                // the run's root, byte for byte as the caller wrote it
  std::vector<ParsedFile> files;   // every parsed file, in discovery order
};

// An analyzer: reports findings for one parsed file at a time (per-file) or
// for the whole project (project-level).
//
// The Engine owns its analyzers and calls them from several worker threads
// at once (for different files, or, in the project stage, next to other
// analyzers): every operation must be safe for concurrent use, and any state
// an analyzer changes is its own to protect. The engine keeps no answer:
// `is_project_level` is asked for every file and again in the project stage,
// `target_languages` for every file the analyzer is asked about.
class Analyzer {
 public:
  virtual ~Analyzer() = default;

  // The analyzer's name, the one its findings carry in `analyzer`. The
  // engine itself never asks for it.
  virtual std::string_view id() const = 0;

  // The language ids whose files a per-file analyzer accepts: nullopt for
  // every language, an empty list for none. Ids match byte for byte. The
  // list and its texts are borrowed: they must stay valid while the object
  // lives (a static array is the usual choice), so asking costs nothing.
  virtual std::optional<std::span<const std::string_view>> target_languages() const = 0;

  // True: the analyzer runs in the project stage only, through
  // `analyze_project`. False: in the per-file stage only, through
  // `analyze_file`.
  virtual bool is_project_level() const = 0;

  // The findings for one file, in the order they should be reported. The
  // engine takes them over unchanged: it fills in no field.
  virtual std::vector<Finding> analyze_file(const AnalysisContext& context,
                                            const ParsedFile& file) const = 0;

  // The findings for the whole project; called once per run, also when no
  // file was parsed.
  virtual std::vector<Finding> analyze_project(const AnalysisContext& context,
                                               const Project& project) const = 0;
};

}  // namespace vorn_core
