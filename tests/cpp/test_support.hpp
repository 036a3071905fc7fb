#pragma once
// Small constructors and constants shared by the C++ tests.

#include <limits>
#include <vector>

#include "linalg/types.hpp"

namespace vorsk::test_support {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double kInf = std::numeric_limits<double>::infinity();

inline Vector vec(std::vector<double> v) { return Eigen::Map<Vector>(v.data(), static_cast<Index>(v.size())); }

// rows × cols from values in row-major order.
inline Matrix mat(Index rows, Index cols, std::vector<double> v) { return Eigen::Map<Matrix>(v.data(), rows, cols); }

}  // namespace vorsk::test_support
