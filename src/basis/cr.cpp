#include "basis/cr.hpp"

#include <algorithm>
#include <cmath>
#include <vector>

#include "common/format.hpp"

namespace vorsk {

namespace {

constexpr double kDistinctTolerance = 1e-12;

Status check_dimension(std::uint64_t k) {
  if (k < 3) return VorskError::invalid_parameter(fmt("CR spline needs k ≥ 3 (got {})", k));
  if (k > kMaxSplineDimension) {
    return VorskError::invalid_parameter(
        fmt("CR spline needs k ≤ {} (got {})", kMaxSplineDimension, k));
  }
  return Status::success();
}

// Piecewise-cubic coefficients of the k cardinal natural splines, stored interval-major
// (entry i·k + j belongs to interval i, function j) so that one row walks contiguous
// memory, plus the slopes of the linear continuations beyond the end knots.
struct CardinalSplines {
  std::vector<double> a, b, c, d;  // (k−1)·k each
  std::vector<double> slope_left, slope_right;  // k each
};

CardinalSplines cardinal_splines(const Vector& t) {
  const Index k = t.size();
  const Index intervals = k - 1;
  std::vector<double> h(static_cast<std::size_t>(intervals));
  for (Index i = 0; i < intervals; ++i) h[i] = t[i + 1] - t[i];

  // The tridiagonal forward sweep depends on the knots only; the data enter through z.
  std::vector<double> l(static_cast<std::size_t>(k), 1.0), mu(static_cast<std::size_t>(k), 0.0);
  for (Index i = 1; i < k - 1; ++i) {
    l[i] = 2.0 * (h[i - 1] + h[i]) - h[i - 1] * mu[i - 1];
    mu[i] = h[i] / l[i];
  }

  const auto size = static_cast<std::size_t>(intervals * k);
  CardinalSplines s{std::vector<double>(size), std::vector<double>(size),
                    std::vector<double>(size), std::vector<double>(size),
                    std::vector<double>(static_cast<std::size_t>(k)),
                    std::vector<double>(static_cast<std::size_t>(k))};
  std::vector<double> y(static_cast<std::size_t>(k), 0.0), z(static_cast<std::size_t>(k), 0.0),
      c(static_cast<std::size_t>(k), 0.0);
  for (Index j = 0; j < k; ++j) {
    std::fill(y.begin(), y.end(), 0.0);
    y[j] = 1.0;
    z[0] = 0.0;
    for (Index i = 1; i < k - 1; ++i) {
      const double alpha = 3.0 * (y[i + 1] - y[i]) / h[i] - 3.0 * (y[i] - y[i - 1]) / h[i - 1];
      z[i] = (alpha - h[i - 1] * z[i - 1]) / l[i];
    }
    c[k - 1] = 0.0;
    for (Index i = k - 2; i >= 0; --i) c[i] = z[i] - mu[i] * c[i + 1];
    for (Index i = 0; i < intervals; ++i) {
      const auto e = static_cast<std::size_t>(i * k + j);
      s.a[e] = y[i];
      s.b[e] = (y[i + 1] - y[i]) / h[i] - h[i] * (2.0 * c[i] + c[i + 1]) / 3.0;
      s.c[e] = c[i];
      s.d[e] = (c[i + 1] - c[i]) / (3.0 * h[i]);
    }
    const Index last = intervals - 1;
    const auto e = static_cast<std::size_t>(last * k + j);
    s.slope_left[j] = s.b[static_cast<std::size_t>(j)];
    s.slope_right[j] = s.b[e] + 2.0 * s.c[e] * h[last] + 3.0 * s.d[e] * h[last] * h[last];
  }
  return s;
}

}  // namespace

Result<CrBasis> CrBasis::create(Vector knots) {
  VORSK_RETURN_IF_ERROR(check_dimension(static_cast<std::uint64_t>(knots.size())));
  for (Index i = 0; i + 1 < knots.size(); ++i) {
    // Negated so that NaN fails too.
    if (!(knots[i + 1] > knots[i])) {
      return VorskError::invalid_parameter("CR spline knots must be strictly increasing");
    }
  }
  // An infinite end knot passes the ordering test but leaves an infinite interval.
  if (!std::isfinite(knots[0]) || !std::isfinite(knots[knots.size() - 1]))
    return VorskError::invalid_parameter("CR spline knots must be finite");
  return CrBasis(std::move(knots));
}

Matrix CrBasis::basis_matrix(const VectorView& x) const {
  const Index k = knots_.size();
  const Index n = x.size();
  const CardinalSplines s = cardinal_splines(knots_);
  const double* t = knots_.data();
  const double t_first = t[0];
  const double t_last = t[k - 1];

  Matrix out(n, k);
  for (Index r = 0; r < n; ++r) {
    const double v = x[r];
    double* row = out.data() + r * k;
    if (v < t_first) {
      const double dx = v - t_first;
      for (Index j = 0; j < k; ++j) row[j] = (j == 0 ? 1.0 : 0.0) + s.slope_left[j] * dx;
    } else if (v > t_last) {
      const double dx = v - t_last;
      for (Index j = 0; j < k; ++j) row[j] = (j == k - 1 ? 1.0 : 0.0) + s.slope_right[j] * dx;
    } else {
      // NaN lands here too and yields a NaN row.
      Index lo = 0;
      Index hi = k - 1;
      while (lo < hi - 1) {
        const Index mid = (lo + hi) / 2;
        if (v < t[mid]) {
          hi = mid;
        } else {
          lo = mid;
        }
      }
      const double delta = v - t[lo];
      const auto base = static_cast<std::size_t>(lo * k);
      for (Index j = 0; j < k; ++j) {
        const auto e = base + static_cast<std::size_t>(j);
        row[j] = s.a[e] + delta * (s.b[e] + delta * (s.c[e] + delta * s.d[e]));
      }
    }
  }
  return out;
}

std::vector<Matrix> CrBasis::penalties() const {
  const Index k = knots_.size();
  const Index m = k - 2;  // rows of D, order of the tridiagonal B
  std::vector<double> h(static_cast<std::size_t>(k - 1));
  for (Index i = 0; i + 1 < k; ++i) h[i] = knots_[i + 1] - knots_[i];

  // D has three entries per row: D[i, i + o] = dv[i][o].
  std::vector<double> d0(static_cast<std::size_t>(m)), d1(static_cast<std::size_t>(m)),
      d2(static_cast<std::size_t>(m));
  for (Index i = 0; i < m; ++i) {
    d0[i] = 1.0 / h[i];
    d1[i] = -1.0 / h[i] - 1.0 / h[i + 1];
    d2[i] = 1.0 / h[i + 1];
  }
  const auto entry_of_d = [&](Index row, Index col) {
    const Index o = col - row;
    if (o == 0) return d0[row];
    if (o == 1) return d1[row];
    if (o == 2) return d2[row];
    return 0.0;
  };

  // Thomas elimination of B without pivoting; the eliminated diagonal and multipliers
  // are the same for every right-hand side.
  std::vector<double> diag(static_cast<std::size_t>(m)), off(static_cast<std::size_t>(m), 0.0),
      w(static_cast<std::size_t>(m), 0.0);
  for (Index i = 0; i < m; ++i) diag[i] = (h[i] + h[i + 1]) / 3.0;
  for (Index i = 0; i + 1 < m; ++i) off[i] = h[i + 1] / 6.0;
  for (Index i = 0; i + 1 < m; ++i) {
    w[i] = off[i] / diag[i];
    diag[i + 1] -= off[i] * w[i];
  }

  // Column `col` of F = B⁻¹·D, then column `col` of S = Dᵀ·F. D is banded, so each
  // entry of Dᵀ·F reads at most three values of F.
  Matrix s = Matrix::Zero(k, k);
  std::vector<double> f(static_cast<std::size_t>(m));
  for (Index col = 0; col < k; ++col) {
    for (Index i = 0; i < m; ++i) f[i] = entry_of_d(i, col);
    for (Index i = 0; i + 1 < m; ++i) f[i + 1] -= w[i] * f[i];
    f[m - 1] = f[m - 1] / diag[m - 1];
    for (Index i = m - 2; i >= 0; --i) f[i] = (f[i] - off[i] * f[i + 1]) / diag[i];
    for (Index row = 0; row < k; ++row) {
      double sum = 0.0;
      for (Index i = std::max<Index>(0, row - 2); i <= std::min(row, m - 1); ++i) {
        sum += entry_of_d(i, row) * f[i];
      }
      s(row, col) = sum;
    }
  }
  std::vector<Matrix> out;
  out.push_back(std::move(s));
  return out;
}

Result<CrBasis> place_knots(const VectorView& x, std::uint64_t k) {
  // Both bounds before any arithmetic or allocation that depends on k.
  VORSK_RETURN_IF_ERROR(check_dimension(k));
  const auto kk = static_cast<Index>(k);

  std::vector<double> sorted(x.size());
  for (Index i = 0; i < x.size(); ++i) sorted[static_cast<std::size_t>(i)] = x[i];
  // NaNs go first: the first kept value is then NaN, no later value is "far" from it,
  // and the knots come out NaN so that validation rejects the column.
  const auto finite_begin =
      std::partition(sorted.begin(), sorted.end(), [](double v) { return std::isnan(v); });
  std::sort(finite_begin, sorted.end());

  std::vector<double> u;
  for (const double v : sorted) {
    if (u.empty() || std::abs(v - u.back()) > kDistinctTolerance) u.push_back(v);
  }
  const auto m = static_cast<Index>(u.size());

  Vector knots(kk);
  if (m < kk) {
    const double first = m == 0 ? 0.0 : u.front();
    const double last = m == 0 ? 1.0 : u.back();
    const double step = (last - first) / static_cast<double>(kk - 1);
    for (Index j = 0; j < kk; ++j) knots[j] = static_cast<double>(j) * step + first;
  } else {
    for (Index j = 0; j < kk; ++j) {
      const double p =
          (static_cast<double>(j) / static_cast<double>(kk - 1)) * static_cast<double>(m - 1);
      const auto i = static_cast<Index>(std::floor(p));
      const double f = p - static_cast<double>(i);
      knots[j] = i < m - 1 ? (1.0 - f) * u[i] + f * u[i + 1] : u[m - 1];
    }
  }
  return CrBasis::create(std::move(knots));
}

}  // namespace vorsk
