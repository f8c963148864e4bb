#include "cli/java_numbers.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

namespace cli {
namespace {

// Java's layout of the shortest digits of a finite, non-zero value: `digits` without a point,
// the value being 0.d1d2... * 10^(exponent + 1), as scientific notation d1.d2... E exponent.
std::string javaLayout(bool negative, std::string digits, int exponent) {
  std::string out = negative ? "-" : "";
  if (exponent >= -3 && exponent < 7) {  // 10^-3 <= |v| < 10^7: plain
    if (exponent < 0) {
      out += "0." + std::string(static_cast<size_t>(-exponent - 1), '0') + digits;
    } else {
      const size_t whole = static_cast<size_t>(exponent) + 1;
      if (digits.size() <= whole) digits += std::string(whole - digits.size(), '0');
      out += digits.substr(0, whole) + "." + (digits.size() > whole ? digits.substr(whole) : "0");
    }
    return out;
  }
  out += digits.substr(0, 1) + "." + (digits.size() > 1 ? digits.substr(1) : "0");
  return out + "E" + std::to_string(exponent);
}

template <class T>
std::string javaText(T value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-Infinity" : "Infinity";
  if (value == 0) return std::signbit(value) ? "-0.0" : "0.0";
  char buf[64];
  // The shortest digits that read back as the same value, as "d.ddde-XX".
  const std::to_chars_result r =
      std::to_chars(buf, buf + sizeof buf, std::fabs(value), std::chars_format::scientific);
  const std::string text(buf, r.ptr);
  const size_t e = text.find('e');
  std::string digits;
  for (size_t i = 0; i < e; ++i)
    if (text[i] != '.') digits += text[i];
  int exponent = std::atoi(text.c_str() + e + 1);
  if (digits.size() == 1) {
    // Java shows at least two digits, and of those that read back as the value picks the
    // closest: 4.9E-324, not 5.0E-324, for the least double.
    const std::to_chars_result two =
        std::to_chars(buf, buf + sizeof buf, std::fabs(value), std::chars_format::scientific, 1);
    T back{};
    std::from_chars(buf, two.ptr, back);
    if (back == std::fabs(value)) {
      digits = std::string{buf[0], buf[2]};
      exponent = std::atoi(std::string(buf, two.ptr).c_str() + 4);
    }
  }
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  return javaLayout(std::signbit(value), digits, exponent);
}

}  // namespace

std::string javaDouble(double value) { return javaText(value); }
std::string javaFloat(float value) { return javaText(value); }

}  // namespace cli
