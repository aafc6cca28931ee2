#include "base/text.h"

#include <cstdint>
#include <cstring>

namespace vorn_base {
namespace {

// Length of the well-formed UTF-8 sequence at the start of `s`, or the length
// of its maximal ill-formed subpart negated (at least 1) when it is not one.
int sequence_length(std::string_view s) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  int need;
  unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    need = 1;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    need = 2;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    need = 3;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return -1;
  }
  for (int i = 1; i <= need; ++i) {
    if (static_cast<std::size_t>(i) >= s.size()) return -i;
    const unsigned char b = byte(i);
    const bool ok = i == 1 ? (b >= low && b <= high) : (b >= 0x80 && b <= 0xBF);
    if (!ok) return -i;
  }
  return need + 1;
}

}  // namespace

bool is_valid_utf8(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    // ASCII runs dominate paths, messages and source text: pass them over
    // eight bytes at a time where no byte has its high bit set.
    for (std::uint64_t word; i + sizeof word <= bytes.size(); i += sizeof word) {
      std::memcpy(&word, bytes.data() + i, sizeof word);
      if ((word & 0x8080808080808080) != 0) break;
    }
    if (i == bytes.size()) break;
    if (static_cast<unsigned char>(bytes[i]) < 0x80) {
      ++i;
      continue;
    }
    const int n = sequence_length(bytes.substr(i));
    if (n < 0) return false;
    i += static_cast<std::size_t>(n);
  }
  return true;
}

std::string lossy_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    const int n = sequence_length(bytes.substr(i));
    if (n > 0) {
      out.append(bytes.substr(i, static_cast<std::size_t>(n)));
      i += static_cast<std::size_t>(n);
    } else {
      out.append("\xEF\xBF\xBD");
      i += static_cast<std::size_t>(-n);
    }
  }
  return out;
}

std::string os_error_text(int code) {
  char buffer[256];
  // The GNU strerror_r may return a static string instead of filling `buffer`.
  const char* description = strerror_r(code, buffer, sizeof buffer);
  return lossy_utf8(description) + " (os error " + std::to_string(code) + ")";
}

}  // namespace vorn_base
