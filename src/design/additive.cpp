// Additive designs: one shared intercept followed by the blocks of the terms in order,
// each term penalty padded to the full coefficient space.

#include <cstdint>
#include <utility>
#include <variant>
#include <vector>

#include "basis/cr.hpp"
#include "common/format.hpp"
#include "design/design.hpp"

namespace vorsk {

namespace {

// The intercept plus blocks as wide as the widest single spline; every padded penalty
// is p × p and gets its own eigendecomposition, so p is bounded like a spline's k.
constexpr std::uint64_t kMaxAdditiveColumns = kMaxSplineDimension + 1;

struct BuiltTerm {
  Predictor predictor;
  Matrix block;
  std::vector<Matrix> penalties;
  std::vector<std::uint64_t> cols;
};

template <typename P>
BuiltTerm built(TermBlock<P> term, std::vector<std::uint64_t> cols) {
  return BuiltTerm{Predictor{std::move(term.predictor)}, std::move(term.block),
                   std::move(term.penalties), std::move(cols)};
}

struct ColumnsOf {
  std::vector<std::uint64_t> operator()(const CrTermSpec& t) const { return {t.col}; }
  std::vector<std::uint64_t> operator()(const CrStableTermSpec& t) const { return {t.col}; }
  std::vector<std::uint64_t> operator()(const ReTermSpec& t) const { return {t.col}; }
  std::vector<std::uint64_t> operator()(const TensorTermSpec& t) const {
    return {t.col_a, t.col_b};
  }
};

struct BuildTerm {
  const MatrixView& x;

  Result<BuiltTerm> operator()(const CrTermSpec& t) const {
    VORSK_ASSIGN_OR_RETURN(auto term, build_cr_term(x, t.col, t.k));
    return built(std::move(term), {t.col});
  }
  Result<BuiltTerm> operator()(const CrStableTermSpec& t) const {
    VORSK_ASSIGN_OR_RETURN(auto term, build_cr_stable_term(x, t.col, t.k));
    return built(std::move(term), {t.col});
  }
  Result<BuiltTerm> operator()(const ReTermSpec& t) const {
    VORSK_ASSIGN_OR_RETURN(auto term, build_re_term(x, t.col));
    return built(std::move(term), {t.col});
  }
  Result<BuiltTerm> operator()(const TensorTermSpec& t) const {
    VORSK_ASSIGN_OR_RETURN(auto term, build_tensor_term(x, t.col_a, t.col_b, t.k_a, t.k_b));
    return built(std::move(term), {t.col_a, t.col_b});
  }
};

// Column c of x as an n × 1 view sharing x's storage.
MatrixView column_as_matrix(const MatrixView& x, Index c) {
  using Strided = Eigen::Map<const Matrix, 0, Eigen::Stride<Eigen::Dynamic, Eigen::Dynamic>>;
  const double* first = x.rows() == 0 ? x.data() : &x.coeffRef(0, c);
  return Strided(first, x.rows(), 1,
                 Eigen::Stride<Eigen::Dynamic, Eigen::Dynamic>(x.outerStride(), x.innerStride()));
}

// The block width a stored term predictor will produce, read from its shapes, so that
// the result is allocated once. A saved frame edited by hand is the only way to get a
// term list that does not fit the rebuild; it is refused here before any term is read.
struct StoredWidth {
  std::uint64_t term;
  const std::vector<std::uint64_t>& cols;

  Result<Index> one_column(Index width) const {
    if (cols.empty()) {
      return VorskError::internal(fmt("AdditivePredictor: term {} lists no input column", term));
    }
    return width;
  }
  Result<Index> operator()(const CrPredictor& p) const { return one_column(p.centring.cols()); }
  Result<Index> operator()(const CrStablePredictor& p) const {
    return one_column(p.reparam_v.cols());
  }
  Result<Index> operator()(const RePredictor& p) const {
    return one_column(static_cast<Index>(p.levels.size()));
  }
  Result<Index> operator()(const TensorPredictor& p) const {
    if (cols.size() != 2 || cols[0] != p.col_a || cols[1] != p.col_b) {
      return VorskError::internal(fmt(
          "AdditivePredictor: term {} lists other input columns than its tensor predictor reads",
          term));
    }
    return p.centring.cols();
  }
  Result<Index> operator()(const AdditivePredictor&) const {
    return VorskError::internal(
        fmt("AdditivePredictor: term {} is itself an additive predictor", term));
  }
};

}  // namespace

Result<Design> additive_design(const MatrixView& x, const std::vector<TermSpec>& terms) {
  const auto d = static_cast<std::uint64_t>(x.cols());
  for (std::size_t i = 0; i < terms.size(); ++i) {
    for (const std::uint64_t col : std::visit(ColumnsOf{}, terms[i])) {
      if (col >= d) {
        return VorskError::invalid_parameter(
            fmt("Additive term {} reads column {} but x has only {} columns", i, col, d));
      }
    }
  }

  std::vector<BuiltTerm> built_terms;
  built_terms.reserve(terms.size());
  std::uint64_t p = 1;
  for (const TermSpec& spec : terms) {
    VORSK_ASSIGN_OR_RETURN(BuiltTerm term, std::visit(BuildTerm{x}, spec));
    p += static_cast<std::uint64_t>(term.block.cols());
    built_terms.push_back(std::move(term));
  }
  if (p > kMaxAdditiveColumns) {
    return VorskError::invalid_parameter(
        fmt("Additive design would have {} columns; the limit is {}", p, kMaxAdditiveColumns));
  }

  const Index n = x.rows();
  const auto width = static_cast<Index>(p);
  Design design;
  design.model_matrix.resize(n, width);
  design.model_matrix.col(0).setOnes();
  std::vector<ColumnRange> ranges;
  ranges.reserve(built_terms.size());
  Index first = 1;
  for (BuiltTerm& term : built_terms) {
    const Index w = term.block.cols();
    design.model_matrix.middleCols(first, w) = term.block;
    term.block = Matrix();
    ranges.emplace_back(static_cast<std::uint64_t>(first), static_cast<std::uint64_t>(first + w));
    first += w;
  }

  std::uint64_t rank_sum = 0;
  for (std::size_t i = 0; i < built_terms.size(); ++i) {
    const auto first_i = static_cast<Index>(ranges[i].first);
    for (const Matrix& block_penalty : built_terms[i].penalties) {
      Matrix padded = Matrix::Zero(width, width);
      padded.block(first_i, first_i, block_penalty.rows(), block_penalty.cols()) = block_penalty;
      VORSK_ASSIGN_OR_RETURN(const RankLogDet rank, penalty_rank_logdet(padded));
      design.penalties.push_back(std::move(padded));
      design.penalty_ranks.push_back(rank.rank);
      design.penalty_log_dets.push_back(rank.log_det);
      rank_sum += rank.rank;
    }
  }
  design.null_space_dim = p > rank_sum ? p - rank_sum : 0;

  AdditivePredictor predictor;
  predictor.term_predictors.reserve(built_terms.size());
  predictor.cols_used.reserve(built_terms.size());
  for (BuiltTerm& term : built_terms) {
    predictor.term_predictors.push_back(std::move(term.predictor));
    predictor.cols_used.push_back(std::move(term.cols));
  }
  predictor.term_col_ranges = std::move(ranges);
  design.predictor = Predictor{std::move(predictor)};
  return design;
}

Result<Matrix> additive_lpmatrix(const AdditivePredictor& p, const MatrixView& x_new) {
  const std::vector<Predictor>& terms = p.term_predictors;
  if (p.cols_used.size() != terms.size()) {
    return VorskError::internal(fmt("AdditivePredictor: cols_used has {} entries for {} terms",
                                    p.cols_used.size(), terms.size()));
  }
  std::vector<Index> widths;
  widths.reserve(terms.size());
  std::uint64_t total = 1;
  for (std::size_t i = 0; i < terms.size(); ++i) {
    VORSK_ASSIGN_OR_RETURN(const Index w,
                           std::visit(StoredWidth{i, p.cols_used[i]}, terms[i].value));
    // Checked term by term so that the sum cannot overflow.
    total += static_cast<std::uint64_t>(w);
    if (total > kMaxAdditiveColumns) {
      return VorskError::internal(
          fmt("AdditivePredictor: the terms have more than {} columns", kMaxAdditiveColumns));
    }
    widths.push_back(w);
  }

  const auto d = static_cast<std::uint64_t>(x_new.cols());
  const Index n = x_new.rows();
  Matrix out(n, static_cast<Index>(total));
  out.col(0).setOnes();
  Index first = 1;
  for (std::size_t i = 0; i < terms.size(); ++i) {
    const std::vector<std::uint64_t>& cols = p.cols_used[i];
    for (const std::uint64_t col : cols) {
      if (col >= d) {
        return VorskError::invalid_parameter(fmt(
            "AdditivePredictor: term {} expects column {} but x has only {} columns", i, col, d));
      }
    }
    const bool tensor = std::holds_alternative<TensorPredictor>(terms[i].value);
    VORSK_ASSIGN_OR_RETURN(
        const Matrix term_matrix,
        terms[i].lpmatrix(tensor ? x_new : column_as_matrix(x_new, static_cast<Index>(cols[0]))));
    // The term's own intercept is column 0; the shapes were checked above, so a
    // mismatch here would be a fault of the rebuild itself.
    const Index w = widths[i];
    if (term_matrix.rows() != n || term_matrix.cols() != w + 1) {
      return VorskError::internal(
          fmt("AdditivePredictor: term {} rebuilt {} columns, expected {}", i,
              term_matrix.cols() - 1, w));
    }
    out.middleCols(first, w) = term_matrix.rightCols(w);
    first += w;
  }
  return out;
}

}  // namespace vorsk
