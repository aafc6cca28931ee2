#include "core/report.h"

#include <sys/mman.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "base/text.h"

namespace vorn_core {
namespace {

// The failure of a text that is not valid UTF-8: written raw, it would make
// the report invalid JSON. `what` names the text ("path", "message", ...).
std::unexpected<std::string> invalid_utf8(std::string_view what) {
  return std::unexpected(std::string(what) + " contains invalid UTF-8 characters");
}

void append_uint(std::string& out, std::uint64_t value) {
  char buffer[20];
  const auto written = std::to_chars(std::begin(buffer), std::end(buffer), value);
  out.append(buffer, written.ptr);
}

constexpr std::array<bool, 256> kNeedsEscape = [] {
  std::array<bool, 256> table{};
  for (int byte = 0; byte < 0x20; ++byte) table[byte] = true;
  table['"'] = true;
  table['\\'] = true;
  return table;
}();

void append_escape(std::string& out, unsigned char byte) {
  switch (byte) {
    case '"': out.append("\\\""); return;
    case '\\': out.append("\\\\"); return;
    case '\b': out.append("\\b"); return;
    case '\t': out.append("\\t"); return;
    case '\n': out.append("\\n"); return;
    case '\f': out.append("\\f"); return;
    case '\r': out.append("\\r"); return;
    default: {
      constexpr std::string_view kHex = "0123456789abcdef";
      const char escape[] = {'\\', 'u', '0', '0', kHex[byte >> 4], kHex[byte & 0xF]};
      out.append(escape, sizeof escape);
    }
  }
}

// Whether any of the eight bytes of `word` is a control byte, a quote, a
// backslash or outside ASCII: a zero byte in x ^ c marks a byte equal to c,
// and subtracting 0x20 from each byte borrows out of a byte only where one is
// below 0x20.
bool word_needs_care(std::uint64_t word) {
  constexpr std::uint64_t kOnes = 0x0101010101010101, kHighs = 0x8080808080808080;
  const auto has_zero_byte = [](std::uint64_t x) { return (x - kOnes) & ~x & kHighs; };
  return (((word - 0x20 * kOnes) & ~word & kHighs) | has_zero_byte(word ^ ('"' * kOnes)) |
          has_zero_byte(word ^ ('\\' * kOnes)) | (word & kHighs)) != 0;
}

// Appends `text` as a JSON string and answers whether it is valid UTF-8 (when
// it is not, what was appended must not be used). Non-ASCII bytes pass
// through unchanged; only quotes, backslashes and control bytes are escaped,
// and the runs between them are copied whole. Bytes are passed over eight at
// a time while none needs escaping or lies outside ASCII; only a text that
// holds a non-ASCII byte is checked for UTF-8.
[[nodiscard]] bool append_string(std::string& out, std::string_view text) {
  out.push_back('"');
  bool ascii = true;
  std::size_t run = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    for (std::uint64_t word; i + sizeof word <= text.size(); i += sizeof word) {
      std::memcpy(&word, text.data() + i, sizeof word);
      if (word_needs_care(word)) break;
    }
    if (i == text.size()) break;
    const auto byte = static_cast<unsigned char>(text[i]);
    ascii = ascii && byte < 0x80;
    if (!kNeedsEscape[byte]) continue;
    out.append(text.substr(run, i - run));
    append_escape(out, byte);
    run = i + 1;
  }
  out.append(text.substr(run));
  out.push_back('"');
  return ascii || vorn_base::is_valid_utf8(text);
}

// A JSON array of `texts`; false as soon as one is not valid UTF-8.
[[nodiscard]] bool append_strings(std::string& out, const std::vector<std::string>& texts) {
  out.push_back('[');
  for (std::size_t i = 0; i < texts.size(); ++i) {
    if (i > 0) out.push_back(',');
    if (!append_string(out, texts[i])) return false;
  }
  out.push_back(']');
  return true;
}

// A finite, non-zero float as d1.d2...dn x 10^exponent with the fewest
// digits that read back as the same float.
struct Decimal {
  bool negative = false;
  char digits[9];  // no leading or trailing zeros; a float never needs more
  std::size_t size = 0;
  int exponent = 0;
};

Decimal shortest_decimal(float value) {
  // to_chars gives the shortest round-trip digits, the nearest of them to
  // the exact value, as "[-]d[.ddd]e(+|-)xx".
  char buffer[32];
  const char* const end =
      std::to_chars(std::begin(buffer), std::end(buffer), value, std::chars_format::scientific).ptr;
  std::string_view text(buffer, end);
  Decimal decimal;
  if (text.front() == '-') {
    decimal.negative = true;
    text.remove_prefix(1);
  }
  const std::size_t e_at = text.find('e');
  for (const char c : text.substr(0, e_at)) {
    if (c != '.') decimal.digits[decimal.size++] = c;
  }
  std::from_chars(text.data() + e_at + 2, text.data() + text.size(), decimal.exponent);
  if (text[e_at + 1] == '-') decimal.exponent = -decimal.exponent;
  return decimal;
}

// A number's text, built on the stack and appended to the output at once.
class LocalText {
 public:
  void put(std::string_view part) {
    part.copy(bytes_ + size_, part.size());
    size_ += part.size();
  }
  void put_zeros(int count) {
    for (int i = 0; i < count; ++i) bytes_[size_++] = '0';
  }
  void put_number(int number) {
    size_ = static_cast<std::size_t>(
        std::to_chars(bytes_ + size_, std::end(bytes_), number).ptr - bytes_);
  }
  std::string_view view() const { return {bytes_, size_}; }

 private:
  // The longest text is "-0.00000" and nine digits.
  char bytes_[24];
  std::size_t size_ = 0;
};

// About how long the text of `report` will be, so that the output grows once
// instead of doubling its way up and copying itself each time: the texts as
// they are (escapes are rare) and, for each part, the most that its keys,
// punctuation and numbers take.
std::size_t expected_size(const Report& report) {
  constexpr std::size_t kFrame = 256;       // the report's own keys and the statistics
  constexpr std::size_t kPerFinding = 320;  // a finding's keys, punctuation and numbers
  constexpr std::size_t kPerText = 3;       // a listed text's quotes and comma
  constexpr std::size_t kPerScore = 32;
  std::size_t size = kFrame;
  for (const Finding& finding : report.findings) {
    size += kPerFinding + finding.analyzer.size() + finding.dimension.word().size() +
            finding.rule_id.size() + finding.message.size() + finding.location.file.size() +
            (finding.suggestion ? finding.suggestion->size() : 0);
    for (const std::vector<std::string>* texts :
         {&finding.references, &finding.cwe, &finding.owasp}) {
      for (const std::string& text : *texts) size += kPerText + text.size();
    }
  }
  for (const auto& [dimension, score] : report.scores) {
    size += kPerScore + dimension.word().size();
  }
  return size;
}

// Appends the location's JSON text; false when its file is not valid UTF-8.
[[nodiscard]] bool append_location(std::string& out, const Location& location) {
  out.append("{\"file\":");
  if (!append_string(out, location.file)) return false;
  out.append(",\"span\":");
  serialize(location.span, out);
  out.append(",\"start\":");
  serialize(location.start, out);
  out.append(",\"end\":");
  serialize(location.end, out);
  out.push_back('}');
  return true;
}

// Appends the finding's JSON text as far as its first text that is not
// valid UTF-8, and names that text; nullopt when the whole was written.
std::optional<std::string_view> append_finding(std::string& out, const Finding& finding) {
  out.append("{\"analyzer\":");
  if (!append_string(out, finding.analyzer)) return "analyzer";
  out.append(",\"dimension\":");
  if (!append_string(out, finding.dimension.word())) return "dimension";
  out.append(",\"rule_id\":");
  if (!append_string(out, finding.rule_id)) return "rule_id";
  out.append(",\"severity\":");
  serialize(finding.severity, out);
  out.append(",\"message\":");
  if (!append_string(out, finding.message)) return "message";
  out.append(",\"location\":");
  if (!append_location(out, finding.location)) return "path";
  out.append(",\"suggestion\":");
  if (!finding.suggestion) {
    out.append("null");
  } else if (!append_string(out, *finding.suggestion)) {
    return "suggestion";
  }
  out.append(",\"references\":");
  if (!append_strings(out, finding.references)) return "reference";
  if (!finding.cwe.empty()) {
    out.append(",\"cwe\":");
    if (!append_strings(out, finding.cwe)) return "cwe";
  }
  if (!finding.owasp.empty()) {
    out.append(",\"owasp\":");
    if (!append_strings(out, finding.owasp)) return "owasp";
  }
  out.push_back('}');
  return std::nullopt;
}

// The text of a large report is megabytes of fresh memory: huge pages spare
// a page fault for every 4 KiB of it. Only the whole, aligned huge pages
// inside the buffer can be had, and only as advice.
void advise_huge_pages(std::string& out) {
  constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
  const auto begin = reinterpret_cast<std::uintptr_t>(out.data());
  const std::uintptr_t first = (begin + kHugePage - 1) & ~(kHugePage - 1);
  const std::uintptr_t last = (begin + out.capacity()) & ~(kHugePage - 1);
  if (first < last) ::madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace

void append_float(std::string& out, float value) {
  if (!std::isfinite(value)) {
    out.append("null");
    return;
  }
  if (value == 0.0f) {
    out.append(std::signbit(value) ? "-0.0" : "0.0");
    return;
  }
  const Decimal decimal = shortest_decimal(value);
  const std::string_view digits(decimal.digits, decimal.size);
  const int e = decimal.exponent;
  const int n = static_cast<int>(decimal.size);
  LocalText text;
  if (decimal.negative) text.put("-");
  if (e < -6 || e > 12) {
    text.put(digits.substr(0, 1));
    if (n > 1) {
      text.put(".");
      text.put(digits.substr(1));
    }
    text.put(e > 0 ? "e+" : "e-");
    text.put_number(std::abs(e));
  } else if (e >= n - 1) {
    text.put(digits);
    text.put_zeros(e - n + 1);
    text.put(".0");
  } else if (e >= 0) {
    const auto whole = static_cast<std::size_t>(e) + 1;
    text.put(digits.substr(0, whole));
    text.put(".");
    text.put(digits.substr(whole));
  } else {
    text.put("0.");
    text.put_zeros(-e - 1);
    text.put(digits);
  }
  out.append(text.view());
}

void serialize(Severity severity, std::string& out) {
  // The five words are ASCII.
  static_cast<void>(append_string(out, word(severity)));
}

void serialize(const Span& span, std::string& out) {
  out.append("{\"start\":");
  append_uint(out, span.start);
  out.append(",\"end\":");
  append_uint(out, span.end);
  out.push_back('}');
}

void serialize(const LineCol& position, std::string& out) {
  out.append("{\"line\":");
  append_uint(out, position.line);
  out.append(",\"column\":");
  append_uint(out, position.column);
  out.push_back('}');
}

std::expected<void, std::string> serialize(const Location& location, std::string& out) {
  const std::size_t size_before = out.size();
  if (append_location(out, location)) return {};
  out.resize(size_before);
  return invalid_utf8("path");
}

std::expected<void, std::string> serialize(const Finding& finding, std::string& out) {
  const std::size_t size_before = out.size();
  const std::optional<std::string_view> invalid = append_finding(out, finding);
  if (!invalid) return {};
  out.resize(size_before);
  return invalid_utf8(*invalid);
}

void serialize(const RunStats& stats, std::string& out) {
  out.append("{\"files_scanned\":");
  append_uint(out, stats.files_scanned);
  out.append(",\"parse_failures\":");
  append_uint(out, stats.parse_failures);
  out.append(",\"elapsed_ms\":");
  append_uint(out, stats.elapsed_ms);
  out.append(",\"suppressed\":");
  append_uint(out, stats.suppressed);
  out.append(",\"cache_hits\":");
  append_uint(out, stats.cache_hits);
  out.push_back('}');
}

std::expected<void, std::string> serialize(const Report& report, std::string& out) {
  const std::size_t size_before = out.size();
  out.reserve(size_before + expected_size(report));
  advise_huge_pages(out);
  out.append("{\"schema_version\":");
  append_uint(out, report.schema_version);
  out.append(",\"findings\":[");
  for (std::size_t i = 0; i < report.findings.size(); ++i) {
    if (i > 0) out.push_back(',');
    if (auto written = serialize(report.findings[i], out); !written) {
      out.resize(size_before);
      return written;
    }
  }
  out.append("],\"scores\":{");
  bool first = true;
  for (const auto& [dimension, score] : report.scores) {
    if (!first) out.push_back(',');
    first = false;
    if (!append_string(out, dimension.word())) {
      out.resize(size_before);
      return invalid_utf8("dimension");
    }
    out.push_back(':');
    append_float(out, score.value);
  }
  out.append("},\"stats\":");
  serialize(report.stats, out);
  out.push_back('}');
  return {};
}

}  // namespace vorn_core
