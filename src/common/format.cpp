#include "common/format.hpp"

#include <charconv>
#include <cmath>
#include <system_error>

#include "common/error.hpp"

namespace vorsk {

std::string format_number(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  // Fixed notation of the largest double has 309 integral digits; small magnitudes
  // need up to about 330 characters after the point.
  char buffer[400];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
  if (ec != std::errc()) return "NaN";
  return std::string(buffer, end);
}

std::string format_exp3(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buffer[64];
  auto [end, ec] =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific, 3);
  if (ec != std::errc()) return "NaN";
  std::string text(buffer, end);
  // to_chars writes "1.000e-03" / "2.500e+01"; the message wants "1.000e-3" / "2.500e1".
  const auto e = text.find('e');
  std::string mantissa = text.substr(0, e + 1);
  std::string exponent = text.substr(e + 1);
  bool negative = false;
  if (!exponent.empty() && (exponent[0] == '+' || exponent[0] == '-')) {
    negative = exponent[0] == '-';
    exponent.erase(0, 1);
  }
  const auto first_digit = exponent.find_first_not_of('0');
  exponent = first_digit == std::string::npos ? "0" : exponent.substr(first_digit);
  return mantissa + (negative ? "-" : "") + exponent;
}

std::string format_message(std::string_view pattern, std::initializer_list<FormatArg> args) {
  std::string out;
  out.reserve(pattern.size() + 16 * args.size());
  std::size_t next = 0;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char c = pattern[i];
    if (c == '{') {
      const auto close = pattern.find('}', i);
      if (close != std::string_view::npos) {
        const std::string_view inside = pattern.substr(i + 1, close - i - 1);
        std::size_t index = next;
        bool numbered = !inside.empty();
        for (char d : inside) numbered = numbered && d >= '0' && d <= '9';
        if (inside.empty() || numbered) {
          if (numbered) {
            index = 0;
            for (char d : inside) index = index * 10 + static_cast<std::size_t>(d - '0');
          } else {
            ++next;
          }
          if (index < args.size()) out += (args.begin() + index)->text;
          i = close;
          continue;
        }
      }
    }
    out += c;
  }
  return out;
}

std::string VorskError::display() const {
  switch (kind_) {
    case Kind::InvalidParameter:
      return "invalid parameter: " + message_;
    case Kind::SingularSystem:
      return "singular system: " + message_;
    case Kind::NotConverged:
      return fmt("solver did not converge after {} iterations (last grad norm = {})", iters_,
                 std::string_view(format_exp3(grad_norm_)));
    case Kind::Linalg:
      return "linalg failure: " + message_;
    case Kind::Internal:
      return message_;
  }
  return message_;
}

}  // namespace vorsk
