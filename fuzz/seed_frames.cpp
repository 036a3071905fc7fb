// Writes the seed corpus of the saved-fit fuzzer into the directory given as argument:
// real frames of records built by the design code itself (every predictor variant,
// nested additive terms included), each as a whole frame and as a bare body (see the
// input convention in saved_fit_fuzzer.cpp).

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "design/design.hpp"
#include "persist/saved_fit.hpp"

namespace {

using vorsk::FittedGam;
using vorsk::Index;
using vorsk::Matrix;
using vorsk::Predictor;
using vorsk::Vector;

Matrix inputs(Index n) {
  Matrix x(n, 4);
  for (Index i = 0; i < n; ++i) {
    const double t = static_cast<double>(i) / static_cast<double>(n - 1);
    x(i, 0) = t;
    x(i, 1) = std::sin(7.0 * t);
    x(i, 2) = static_cast<double>(i % 3);
    x(i, 3) = t * t;
  }
  return x;
}

// A record around `predictor` with p coefficients and `penalties` smoothing parameters;
// the numbers are arbitrary but of every kind a fit produces.
FittedGam record(Predictor predictor, Index p, Index penalties, vorsk::LinkKind link) {
  FittedGam m;
  m.beta = Vector::LinSpaced(p, -1.5, 2.0 / 3.0);
  m.rho = Vector::LinSpaced(penalties, -2.0, 3.0);
  m.lambda = m.rho.array().exp();
  m.scale = 1.0 / 7.0;
  m.edf_total = 4.25;
  m.edf_per_term = Vector::Constant(penalties, 1.5);
  m.n = 50;
  m.n_iters = 6;
  m.converged = true;
  m.reml_value = 31.41592653589793;
  m.predictor = std::move(predictor);
  m.vcov = Matrix::Identity(p, p) * 1e-3;
  m.vcov(0, p - 1) = m.vcov(p - 1, 0) = -2.5e-5;
  m.link_kind = link;
  return m;
}

template <typename Built>
Built value_or_die(vorsk::Result<Built> result) {
  if (!result.ok()) {
    std::fprintf(stderr, "seed_frames: %s\n", result.error().display().c_str());
    std::exit(1);
  }
  return std::move(result).value();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: seed_frames DIRECTORY\n");
    return 2;
  }
  const Matrix x = inputs(40);
  const auto cr = value_or_die(vorsk::single_smooth_design(vorsk::SmoothKind::Cr, x, 5));
  const auto stable = value_or_die(vorsk::single_smooth_design(vorsk::SmoothKind::CrStable, x, 4));
  const auto re = value_or_die(vorsk::single_smooth_design(vorsk::SmoothKind::Re, x.col(2), 0));
  const auto term_cr = value_or_die(vorsk::build_cr_term(x, 3, 4));
  const auto term_re = value_or_die(vorsk::build_re_term(x, 2));
  // A tensor term on columns 0 and 1 with three knots per margin, its margins' knots
  // taken from cr terms; as built, xp_a and xp_b are identities.
  vorsk::TensorPredictor tensor;
  tensor.col_a = 0;
  tensor.col_b = 1;
  tensor.knots_a = value_or_die(vorsk::build_cr_term(x, 0, 3)).predictor.knots;
  tensor.knots_b = value_or_die(vorsk::build_cr_term(x, 1, 3)).predictor.knots;
  tensor.xp_a = Matrix::Identity(3, 3);
  tensor.xp_b = Matrix::Identity(3, 3);
  tensor.centring = Matrix::Identity(9, 8) - Matrix::Constant(9, 8, 1.0 / 9.0);

  vorsk::AdditivePredictor additive;
  additive.term_predictors = {Predictor{term_cr.predictor}, Predictor{term_re.predictor}, Predictor{tensor}};
  additive.cols_used = {{3}, {2}, {0, 1}};
  additive.term_col_ranges = {{1, 4}, {4, 7}, {7, 15}};

  std::vector<std::pair<std::string, FittedGam>> records = {
      {"cr", record(cr.predictor, cr.model_matrix.cols(), 1, vorsk::LinkKind::Identity)},
      {"cr_stable", record(stable.predictor, stable.model_matrix.cols(), 1, vorsk::LinkKind::Log)},
      {"re", record(re.predictor, re.model_matrix.cols(), 1, vorsk::LinkKind::Logit)},
      {"tensor", record(Predictor{tensor}, 9, 2, vorsk::LinkKind::Identity)},
      {"additive", record(Predictor{additive}, 15, 4, vorsk::LinkKind::Log)},
  };
  records[1].second.shape_params = Vector::Constant(2, 0.5);
  records[2].second.scale = std::nan("");  // saved as null

  for (const auto& [name, model] : records) {
    const std::string frame = value_or_die(vorsk::serialize_fit(model));
    std::ofstream(std::string(argv[1]) + "/frame_" + name, std::ios::binary) << '\0' << frame;
    std::ofstream(std::string(argv[1]) + "/body_" + name, std::ios::binary)
        << '\1' << frame.substr(vorsk::kFrameHeaderSize);
  }
  return 0;
}
