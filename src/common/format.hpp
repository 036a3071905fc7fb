#pragma once
// Message formatting. Every float in a message is printed by `format_number`: plain
// decimal with the shortest digits that read back to the same double, integral values
// without a decimal point, and inf, -inf, NaN. The gradient norm of the not-converged
// message alone uses `format_exp3` ("1.000e-3", "2.500e1").

#include <cstdint>
#include <string>
#include <string_view>

namespace vorsk {

std::string format_number(double value);
std::string format_exp3(double value);

// One argument of `format_message`, already rendered as text.
struct FormatArg {
  FormatArg(double v) : text(format_number(v)) {}  // NOLINT
  FormatArg(float v) : text(format_number(v)) {}  // NOLINT
  FormatArg(int v) : text(std::to_string(v)) {}  // NOLINT
  FormatArg(long v) : text(std::to_string(v)) {}  // NOLINT
  FormatArg(long long v) : text(std::to_string(v)) {}  // NOLINT
  FormatArg(unsigned v) : text(std::to_string(v)) {}  // NOLINT
  FormatArg(unsigned long v) : text(std::to_string(v)) {}  // NOLINT
  FormatArg(unsigned long long v) : text(std::to_string(v)) {}  // NOLINT
  FormatArg(std::string_view v) : text(v) {}  // NOLINT
  FormatArg(const std::string& v) : text(v) {}  // NOLINT
  FormatArg(const char* v) : text(v) {}  // NOLINT
  std::string text;
};

// Fills the placeholders "{}" of `pattern` from left to right; "{0}", "{1}", ... name
// an argument by position.
std::string format_message(std::string_view pattern, std::initializer_list<FormatArg> args);

template <typename... Args>
std::string fmt(std::string_view pattern, const Args&... args) {
  return format_message(pattern, {FormatArg(args)...});
}

}  // namespace vorsk
