// The errors of the analysis core. Each is a plain value returned in place of
// a result, never thrown; each owns its fields and writes its own text.
//
//   return std::unexpected(EngineError::io(IoError::message(walk_error)));
//   return std::unexpected(ParseError::syntax(path, "unexpected token"));
//
// Texts are always valid UTF-8: a path is shown as lossy UTF-8 (each ill-formed
// subpart becomes U+FFFD), without quotes or escaping, and nothing adds a line
// break or a full stop. Values hold no shared state; any thread may create,
// move or destroy them.
#pragma once

#include <ostream>
#include <string>
#include <utility>
#include <variant>

namespace vorn_core {

// An I/O failure: an operating-system error code, or a message of its own.
class IoError {
 public:
  // Text: the system's description and the code, "{description} (os error {code})".
  static IoError os(int code) { return IoError(code); }
  // Text: `text` exactly, nothing added. File discovery reports this way.
  static IoError message(std::string text) { return IoError(std::move(text)); }

  std::string text() const;

 private:
  explicit IoError(std::variant<int, std::string> cause) : cause_(std::move(cause)) {}

  std::variant<int, std::string> cause_;
};

// A language front end's failure to turn a file into a parsed file.
struct ParseError {
  // "syntax error in {path}: {message}"
  struct Syntax {
    std::string path;  // raw bytes
    std::string message;
  };
  // "file not utf-8: {path}"
  struct NotUtf8 {
    std::string path;  // raw bytes
  };
  // "internal frontend error: {message}"
  struct Internal {
    std::string message;
  };

  static ParseError syntax(std::string path, std::string message) {
    return {Syntax{std::move(path), std::move(message)}};
  }
  static ParseError not_utf8(std::string path) { return {NotUtf8{std::move(path)}}; }
  static ParseError internal(std::string message) { return {Internal{std::move(message)}}; }

  std::string text() const;

  std::variant<Syntax, NotUtf8, Internal> value;
};

// A failure to read or accept a configuration. The engine builds its
// configuration in memory, so nothing produces one today; the texts are fixed
// all the same.
struct ConfigError {
  // "io error reading config: {io error's text}"
  struct Io {
    IoError error;
  };
  // "config parse error: {message}"
  struct Parse {
    std::string message;
  };
  // "config validation error: {message}"
  struct Validation {
    std::string message;
  };

  static ConfigError io(IoError error) { return {Io{std::move(error)}}; }
  static ConfigError parse(std::string message) { return {Parse{std::move(message)}}; }
  static ConfigError validation(std::string message) { return {Validation{std::move(message)}}; }

  std::string text() const;

  std::variant<Io, Parse, Validation> value;
};

// The error that ends a run. Only `Io` is produced (by file discovery), so a
// run's error text always begins with "io: ".
struct EngineError {
  // The ParseError's text, unchanged.
  struct Parse {
    ParseError error;
  };
  // The ConfigError's text, unchanged.
  struct Config {
    ConfigError error;
  };
  // "io: {io error's text}"
  struct Io {
    IoError error;
  };

  static EngineError parse(ParseError error) { return {Parse{std::move(error)}}; }
  static EngineError config(ConfigError error) { return {Config{std::move(error)}}; }
  static EngineError io(IoError error) { return {Io{std::move(error)}}; }

  std::string text() const;

  std::variant<Parse, Config, Io> value;
};

// Each writes the error's text; the stream's own state reports a failure.
std::ostream& operator<<(std::ostream& out, const IoError& error);
std::ostream& operator<<(std::ostream& out, const ParseError& error);
std::ostream& operator<<(std::ostream& out, const ConfigError& error);
std::ostream& operator<<(std::ostream& out, const EngineError& error);

}  // namespace vorn_core
