#include "core/error.h"

#include "base/text.h"

namespace vorn_core {
namespace {

// Lets std::visit take one lambda per alternative.
template <typename... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};

}  // namespace

std::string IoError::text() const {
  return std::visit(Overloaded{[](int code) { return vorn_base::os_error_text(code); },
                               [](const std::string& message) { return message; }},
                    cause_);
}

std::string ParseError::text() const {
  using vorn_base::lossy_utf8;
  return std::visit(
      Overloaded{[](const Syntax& e) {
                   return "syntax error in " + lossy_utf8(e.path) + ": " + e.message;
                 },
                 [](const NotUtf8& e) { return "file not utf-8: " + lossy_utf8(e.path); },
                 [](const Internal& e) { return "internal frontend error: " + e.message; }},
      value);
}

std::string ConfigError::text() const {
  return std::visit(
      Overloaded{[](const Io& e) { return "io error reading config: " + e.error.text(); },
                 [](const Parse& e) { return "config parse error: " + e.message; },
                 [](const Validation& e) { return "config validation error: " + e.message; }},
      value);
}

std::string EngineError::text() const {
  return std::visit(Overloaded{[](const Parse& e) { return e.error.text(); },
                               [](const Config& e) { return e.error.text(); },
                               [](const Io& e) { return "io: " + e.error.text(); }},
                    value);
}

std::ostream& operator<<(std::ostream& out, const IoError& error) { return out << error.text(); }
std::ostream& operator<<(std::ostream& out, const ParseError& error) { return out << error.text(); }
std::ostream& operator<<(std::ostream& out, const ConfigError& error) {
  return out << error.text();
}
std::ostream& operator<<(std::ostream& out, const EngineError& error) {
  return out << error.text();
}

}  // namespace vorn_core
