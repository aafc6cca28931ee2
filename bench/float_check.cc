// Checks the report's float text against every 32-bit pattern, on all cores.
//
// For each finite float the text must
//   - read back with strtof to the very same bits (the sign of zero included);
//   - have the right form: plain with a fraction ("100.0", "0.000001") when
//     the decimal exponent lies in -6..12, "d[.ddd]e(+|-)x" beyond it, at most
//     nine significant digits and no superfluous zero;
//   - be shortest: with n digits, the two nearest (n-1)-digit numbers on either
//     side of the written value do not read back as the float. Round-to-nearest
//     maps an interval onto each float, and those two bracket every shorter
//     candidate inside it, so none reads back.
// Every NaN and infinity must be written as null.
//
// Usage: float_check [first-pattern last-pattern]   (hexadecimal, inclusive)
#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "core/report.h"

namespace {

struct Tally {
  std::uint64_t finite = 0;
  std::uint64_t non_finite = 0;
  std::uint64_t plain = 0;
  std::uint64_t exponent_form = 0;
  std::uint64_t failures = 0;
};

bool reads_back(const char* text, std::uint32_t bits) {
  return std::bit_cast<std::uint32_t>(std::strtof(text, nullptr)) == bits;
}

// Whether "[-]{digits}e{scale}" reads back as the float of `bits`.
bool reads_back(bool negative, std::uint64_t digits, int scale, std::uint32_t bits) {
  char text[40];
  std::snprintf(text, sizeof text, "%s%llue%d", negative ? "-" : "",
                static_cast<unsigned long long>(digits), scale);
  return reads_back(text, bits);
}

bool all_digits(std::string_view text) {
  return !text.empty() && std::ranges::all_of(text, [](char c) { return c >= '0' && c <= '9'; });
}

// The significant digits and decimal exponent read off a text, with the
// reason when the text's form is wrong.
struct Parsed {
  std::string digits;
  int exponent = 0;
  bool exponent_form = false;
  const char* fault = nullptr;
};

Parsed parse_exponent_form(std::string_view text) {
  Parsed parsed;
  parsed.exponent_form = true;
  const std::size_t e_at = text.find('e');
  const std::string_view mantissa = text.substr(0, e_at);
  const std::string_view power = text.substr(e_at + 1);
  if (power.size() < 2 || (power[0] != '+' && power[0] != '-') || !all_digits(power.substr(1)) ||
      power[1] == '0') {
    parsed.fault = "malformed exponent";
    return parsed;
  }
  parsed.exponent = std::atoi(std::string(power.substr(1)).c_str()) * (power[0] == '-' ? -1 : 1);
  if ((power[0] == '+') != (parsed.exponent > 12) ||
      (parsed.exponent >= -6 && parsed.exponent <= 12)) {
    parsed.fault = "exponent form inside -6..12";
    return parsed;
  }
  if (mantissa.size() == 1) {
    parsed.digits = std::string(mantissa);
  } else if (mantissa.size() > 2 && mantissa[1] == '.') {
    parsed.digits.assign(mantissa.substr(0, 1)).append(mantissa.substr(2));
  } else {
    parsed.fault = "malformed mantissa";
    return parsed;
  }
  if (!all_digits(parsed.digits) || parsed.digits.front() == '0' || parsed.digits.back() == '0') {
    parsed.fault = "mantissa digits not significant";
  }
  return parsed;
}

Parsed parse_plain_form(std::string_view text) {
  Parsed parsed;
  const std::size_t dot = text.find('.');
  const std::string_view whole = text.substr(0, dot);
  const std::string_view fraction = dot == std::string_view::npos ? "" : text.substr(dot + 1);
  if (dot == std::string_view::npos || !all_digits(whole) || !all_digits(fraction) ||
      (whole.size() > 1 && whole[0] == '0')) {
    parsed.fault = "malformed plain number";
    return parsed;
  }
  if (fraction.size() > 1 && fraction.back() == '0') {
    parsed.fault = "trailing zero in fraction";
    return parsed;
  }
  if (whole != "0") {
    parsed.exponent = static_cast<int>(whole.size()) - 1;
    parsed.digits.assign(whole).append(fraction == "0" ? "" : fraction);
  } else {
    const std::size_t leading = fraction.find_first_not_of('0');
    parsed.exponent = -static_cast<int>(leading) - 1;
    parsed.digits = std::string(fraction.substr(leading));
  }
  while (parsed.digits.size() > 1 && parsed.digits.back() == '0') parsed.digits.pop_back();
  if (parsed.exponent < -6 || parsed.exponent > 12) parsed.fault = "plain form outside -6..12";
  return parsed;
}

// Why the text of finite, non-zero `value` is wrong, or nullptr.
const char* fault_of(float value, const std::string& text, Tally& tally) {
  const auto bits = std::bit_cast<std::uint32_t>(value);
  if (!reads_back(text.c_str(), bits)) return "does not read back";
  const bool negative = text.starts_with('-');
  if (negative != std::signbit(value)) return "wrong sign";
  const std::string_view unsigned_text = std::string_view(text).substr(negative ? 1 : 0);
  const Parsed parsed = unsigned_text.find('e') == std::string_view::npos
                            ? parse_plain_form(unsigned_text)
                            : parse_exponent_form(unsigned_text);
  if (parsed.fault) return parsed.fault;
  ++(parsed.exponent_form ? tally.exponent_form : tally.plain);
  const std::size_t n = parsed.digits.size();
  if (n > 9) return "more than nine digits";
  if (n == 1) return nullptr;
  // The (n-1)-digit neighbours: the digits cut short, and one unit above.
  const int scale = parsed.exponent - static_cast<int>(n) + 2;
  const std::uint64_t below = std::stoull(parsed.digits.substr(0, n - 1));
  if (reads_back(negative, below, scale, bits) || reads_back(negative, below + 1, scale, bits)) {
    return "a shorter text reads back";
  }
  return nullptr;
}

void check(std::uint64_t first, std::uint64_t end, Tally& tally, std::mutex& report_lock) {
  std::string text;
  for (std::uint64_t pattern = first; pattern < end; ++pattern) {
    const auto value = std::bit_cast<float>(static_cast<std::uint32_t>(pattern));
    text.clear();
    vorn_core::append_float(text, value);
    const char* fault = nullptr;
    if (!std::isfinite(value)) {
      ++tally.non_finite;
      if (text != "null") fault = "non-finite not null";
    } else {
      ++tally.finite;
      if (value == 0.0f) {
        if (text != (std::signbit(value) ? "-0.0" : "0.0")) fault = "wrong zero";
      } else {
        fault = fault_of(value, text, tally);
      }
    }
    if (fault && tally.failures++ < 5) {
      const std::scoped_lock lock(report_lock);
      std::printf("FAIL %08llx %.9g \"%s\": %s\n", static_cast<unsigned long long>(pattern),
                  static_cast<double>(value), text.c_str(), fault);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t first = 0, last = 0xFFFFFFFF;
  if (argc == 3) {
    first = std::strtoull(argv[1], nullptr, 16);
    last = std::strtoull(argv[2], nullptr, 16);
  }
  const unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  constexpr std::uint64_t kChunk = 1 << 20;
  std::atomic<std::uint64_t> next{first};
  std::vector<Tally> tallies(threads);
  std::mutex report_lock;
  const auto start = std::chrono::steady_clock::now();
  {
    std::vector<std::jthread> workers;
    for (unsigned t = 0; t < threads; ++t) {
      workers.emplace_back([&, t] {
        for (;;) {
          const std::uint64_t chunk = next.fetch_add(kChunk);
          if (chunk > last) return;
          check(chunk, std::min(chunk + kChunk, last + 1), tallies[t], report_lock);
        }
      });
    }
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  Tally total;
  for (const Tally& t : tallies) {
    total.finite += t.finite;
    total.non_finite += t.non_finite;
    total.plain += t.plain;
    total.exponent_form += t.exponent_form;
    total.failures += t.failures;
  }
  std::printf(
      "patterns %08llx..%08llx: %llu finite checked (%llu plain, %llu exponent form, zeros "
      "apart), %llu non-finite, %llu failures, %.1f s on %u threads\n",
      static_cast<unsigned long long>(first), static_cast<unsigned long long>(last),
      static_cast<unsigned long long>(total.finite), static_cast<unsigned long long>(total.plain),
      static_cast<unsigned long long>(total.exponent_form),
      static_cast<unsigned long long>(total.non_finite),
      static_cast<unsigned long long>(total.failures), elapsed.count(), threads);
  return total.failures == 0 ? 0 : 1;
}
