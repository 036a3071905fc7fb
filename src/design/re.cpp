// Random-effect terms: one indicator column per distinct value, ridge penalty.
//
// Levels are distinct by bit pattern, so 0.0 and -0.0 are two levels and every NaN
// payload is its own level. Ordinary comparison cannot order such values (NaN is
// unordered, -0.0 == 0.0), so levels are sorted and searched in the IEEE total order of
// their bit patterns, in which equality is exactly bit equality.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <vector>

#include "common/format.hpp"
#include "design/design.hpp"

namespace vorsk {

namespace {

// Above this many levels the n × L indicator and the L × L penalty stop being sensible.
constexpr std::uint64_t kMaxReLevels = 10000;

constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;

// Monotone map of the IEEE total order onto unsigned integers: negative values (sign
// bit set) reverse their order, positive ones sit above all of them.
std::uint64_t total_order_key(double v) {
  const auto bits = std::bit_cast<std::uint64_t>(v);
  return (bits & kSignBit) != 0 ? ~bits : bits | kSignBit;
}

}  // namespace

Matrix re_indicator(const std::vector<double>& levels, const VectorView& column) {
  std::vector<std::uint64_t> keys(levels.size());
  std::transform(levels.begin(), levels.end(), keys.begin(), total_order_key);

  const Index n = column.size();
  const auto width = static_cast<Index>(levels.size());
  Matrix out = Matrix::Zero(n, width);
  for (Index r = 0; r < n; ++r) {
    const std::uint64_t key = total_order_key(column[r]);
    const auto it = std::lower_bound(keys.begin(), keys.end(), key);
    if (it != keys.end() && *it == key) out(r, static_cast<Index>(it - keys.begin())) = 1.0;
  }
  return out;
}

Result<TermBlock<RePredictor>> build_re_term(const MatrixView& x, std::uint64_t col) {
  VORSK_RETURN_IF_ERROR(check_term_column(x, col));
  const VectorView column = x.col(static_cast<Index>(col));

  std::vector<std::uint64_t> keys(static_cast<std::size_t>(column.size()));
  for (Index i = 0; i < column.size(); ++i) {
    keys[static_cast<std::size_t>(i)] = total_order_key(column[i]);
  }
  std::sort(keys.begin(), keys.end());
  keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
  if (keys.empty()) return VorskError::invalid_parameter("Re basis: x is empty");
  if (keys.size() > kMaxReLevels) {
    return VorskError::invalid_parameter(
        fmt("Re basis: {} levels exceed the limit of {}", keys.size(), kMaxReLevels));
  }

  // Invert the key map to recover each level's bits.
  std::vector<double> levels(keys.size());
  std::transform(keys.begin(), keys.end(), levels.begin(), [](std::uint64_t key) {
    const std::uint64_t bits = (key & kSignBit) != 0 ? key & ~kSignBit : ~key;
    return std::bit_cast<double>(bits);
  });

  TermBlock<RePredictor> term;
  term.block = re_indicator(levels, column);
  const auto width = static_cast<Index>(levels.size());
  term.penalties.push_back(Matrix::Identity(width, width));
  term.predictor = RePredictor{std::move(levels)};
  return term;
}

}  // namespace vorsk
