#include "persist/saved_fit.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "test_support.hpp"

namespace vorsk {
namespace {

using test_support::kInf;
using test_support::kNaN;
using test_support::vec;

// ---- records built by hand, one per predictor variant

// Values with long expansions and mixed signs, distinct per `salt`.
Matrix awkward(Index rows, Index cols, double salt) {
  Matrix m(rows, cols);
  for (Index i = 0; i < rows; ++i)
    for (Index j = 0; j < cols; ++j)
      m(i, j) = std::sin(salt + 1.7 * static_cast<double>(i) - 0.3 * static_cast<double>(j)) / 3.0;
  return m;
}

Vector knots(Index k, double low) {
  Vector v(k);
  for (Index i = 0; i < k; ++i) v[i] = low + std::sqrt(static_cast<double>(i) + 0.1);
  return v;
}

Matrix identity(Index n) { return Matrix::Identity(n, n); }

CrPredictor cr(Index k) { return {knots(k, -0.25), awkward(k, k - 1, 1.0)}; }
CrStablePredictor cr_stable(Index k) { return {knots(k, 2.0), awkward(k, k - 1, 2.0), awkward(k - 1, k - 1, 3.0)}; }
RePredictor re() { return {{-3.5, -0.0, 5e-324, 1.0 / 3.0, 2.0, 1e300}}; }
TensorPredictor tensor(std::uint64_t col_a, std::uint64_t col_b) {
  return {col_a, col_b, MarginBasis::Cr, MarginBasis::Cr, knots(4, 0.0), knots(3, 10.0), identity(4), identity(3),
          awkward(12, 11, 4.0)};
}

FittedGam record(Predictor predictor, Index p, Index penalties) {
  FittedGam m;
  m.beta = awkward(p, 1, 5.0).col(0);
  if (p > 3) {
    m.beta[0] = -0.0;
    m.beta[1] = 5e-324;
    m.beta[2] = -1e-310;  // subnormal
    m.beta[3] = 1e300;
  }
  m.rho = awkward(penalties, 1, 6.0).col(0) * 10.0;
  m.lambda = m.rho.array().exp();
  m.scale = 1.2345678901234567;
  m.edf_total = 7.0;
  m.edf_per_term = awkward(penalties, 1, 7.0).col(0).cwiseAbs();
  m.n = 18446744073709551615ull;
  m.n_iters = 12;
  m.converged = true;
  m.reml_value = -123.456e-7;
  m.predictor = std::move(predictor);
  m.vcov = awkward(p, p, 8.0) * 1e-3;
  m.link_kind = LinkKind::Logit;
  m.shape_params = vec({-1.5, 0.25});
  return m;
}

FittedGam additive_record() {
  AdditivePredictor a;
  a.term_predictors = {Predictor{cr(5)}, Predictor{cr_stable(4)}, Predictor{re()}, Predictor{tensor(3, 4)}};
  a.cols_used = {{0}, {1}, {2}, {3, 4}};
  a.term_col_ranges = {{1, 5}, {5, 8}, {8, 14}, {14, 25}};
  return record(Predictor{std::move(a)}, 25, 5);
}

// ---- bit-for-bit comparison

bool same(double a, double b) { return std::bit_cast<std::uint64_t>(a) == std::bit_cast<std::uint64_t>(b); }

template <typename A>
void expect_same_array(const A& a, const A& b) {
  ASSERT_EQ(a.rows(), b.rows());
  ASSERT_EQ(a.cols(), b.cols());
  for (Index i = 0; i < a.size(); ++i)
    EXPECT_TRUE(same(a.data()[i], b.data()[i])) << "element " << i << ": " << a.data()[i] << " vs " << b.data()[i];
}

void expect_same(const Predictor& a, const Predictor& b);

void expect_same_payload(const CrPredictor& x, const CrPredictor& y) {
  expect_same_array(x.knots, y.knots);
  expect_same_array(x.centring, y.centring);
}
void expect_same_payload(const RePredictor& x, const RePredictor& y) {
  ASSERT_EQ(x.levels.size(), y.levels.size());
  for (std::size_t i = 0; i < x.levels.size(); ++i) EXPECT_TRUE(same(x.levels[i], y.levels[i]));
}
void expect_same_payload(const CrStablePredictor& x, const CrStablePredictor& y) {
  expect_same_array(x.knots, y.knots);
  expect_same_array(x.centring, y.centring);
  expect_same_array(x.reparam_v, y.reparam_v);
}
void expect_same_payload(const AdditivePredictor& x, const AdditivePredictor& y) {
  ASSERT_EQ(x.term_predictors.size(), y.term_predictors.size());
  for (std::size_t i = 0; i < x.term_predictors.size(); ++i) expect_same(x.term_predictors[i], y.term_predictors[i]);
  EXPECT_EQ(x.cols_used, y.cols_used);
  EXPECT_EQ(x.term_col_ranges, y.term_col_ranges);
}
void expect_same_payload(const TensorPredictor& x, const TensorPredictor& y) {
  EXPECT_EQ(x.col_a, y.col_a);
  EXPECT_EQ(x.col_b, y.col_b);
  expect_same_array(x.knots_a, y.knots_a);
  expect_same_array(x.knots_b, y.knots_b);
  expect_same_array(x.xp_a, y.xp_a);
  expect_same_array(x.xp_b, y.xp_b);
  expect_same_array(x.centring, y.centring);
}

void expect_same(const Predictor& a, const Predictor& b) {
  ASSERT_EQ(a.value.index(), b.value.index());
  std::visit([&](const auto& x) { expect_same_payload(x, std::get<std::decay_t<decltype(x)>>(b.value)); }, a.value);
}

void expect_same(const FittedGam& a, const FittedGam& b) {
  expect_same_array(a.beta, b.beta);
  expect_same_array(a.rho, b.rho);
  expect_same_array(a.lambda, b.lambda);
  EXPECT_TRUE(same(a.scale, b.scale));
  EXPECT_TRUE(same(a.edf_total, b.edf_total));
  expect_same_array(a.edf_per_term, b.edf_per_term);
  EXPECT_EQ(a.n, b.n);
  EXPECT_EQ(a.n_iters, b.n_iters);
  EXPECT_EQ(a.converged, b.converged);
  EXPECT_TRUE(same(a.reml_value, b.reml_value));
  expect_same(a.predictor, b.predictor);
  expect_same_array(a.vcov, b.vcov);
  EXPECT_EQ(a.link_kind, b.link_kind);
  expect_same_array(a.shape_params, b.shape_params);
}

// ---- frames

std::string frame_of(std::string_view body, std::uint32_t version = 1) {
  std::string out = "VORSK";
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((version >> (8 * i)) & 0xFF));
  const std::uint64_t length = body.size();
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((length >> (8 * i)) & 0xFF));
  return out + std::string(body);
}

std::string body_of(const FittedGam& m) {
  auto frame = serialize_fit(m);
  EXPECT_TRUE(frame.ok());
  return frame.ok() ? frame->substr(kFrameHeaderSize) : std::string();
}

std::string load_error(std::string_view frame) {
  const auto loaded = deserialize_fit(frame);
  if (loaded.ok()) return "(loaded)";
  EXPECT_EQ(loaded.error().kind(), VorskError::Kind::InvalidParameter);
  return loaded.error().message();
}

std::string decode_message(std::size_t column, std::string_view what, std::size_t line = 1) {
  return "FittedGam::deserialize: JSON decode failed at byte " + std::to_string(column) + ": " + std::string(what) +
         " at line " + std::to_string(line) + " column " + std::to_string(column);
}

std::string replaced(std::string text, std::string_view from, std::string_view to) {
  const auto at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

// The body of the random-effect fit with two levels (p = 3), byte for byte.
const std::string kGolden =
    R"({"beta":{"v":1,"dim":[3],"data":[0.5,-0.25,0.25]},"rho":{"v":1,"dim":[1],"data":[0.0]},)"
    R"("lambda":{"v":1,"dim":[1],"data":[1.0]},"scale":1.0,"edf_total":2.5,)"
    R"("edf_per_term":{"v":1,"dim":[1],"data":[1.5]},"n":4,"n_iters":3,"converged":true,"reml_value":12.5,)"
    R"("predictor":{"kind":"re","levels":[1.0,2.0]},)"
    R"("vcov":{"v":1,"dim":[3,3],"data":[0.1,0.0,0.0,0.0,0.1,0.0,0.0,0.0,0.1]},"link_kind":"Identity",)"
    R"("shape_params":{"v":1,"dim":[0],"data":[]}})";

FittedGam golden_record() {
  FittedGam m;
  m.beta = vec({0.5, -0.25, 0.25});
  m.rho = vec({0.0});
  m.lambda = vec({1.0});
  m.scale = 1.0;
  m.edf_total = 2.5;
  m.edf_per_term = vec({1.5});
  m.n = 4;
  m.n_iters = 3;
  m.converged = true;
  m.reml_value = 12.5;
  m.predictor = Predictor{RePredictor{{1.0, 2.0}}};
  m.vcov = Matrix::Identity(3, 3) * 0.1;
  m.link_kind = LinkKind::Identity;
  return m;
}

// ---------------------------------------------------------------------------- tests

TEST(SavedFit, WritesTheHeaderAndACompactBodyInFieldOrder) {
  const auto frame = serialize_fit(golden_record());
  ASSERT_TRUE(frame.ok());
  ASSERT_EQ(kGolden.size(), 437u);  // 0x01B5
  EXPECT_EQ(frame->substr(0, kFrameHeaderSize), std::string("VORSK\x01\x00\x00\x00\xB5\x01\x00\x00\x00\x00\x00\x00", 17));
  EXPECT_EQ(frame->substr(kFrameHeaderSize), kGolden);
}

TEST(SavedFit, EveryPredictorVariantRoundTripsBitForBit) {
  AdditivePredictor nested;  // an additive term list that holds another additive predictor
  nested.term_predictors = {Predictor{tensor(0, 1)}, additive_record().predictor};
  nested.cols_used = {{0, 1}, {}};
  nested.term_col_ranges = {{1, 12}, {12, 36}};
  const std::vector<std::pair<std::string, FittedGam>> cases = {
      {"cr", record(Predictor{cr(10)}, 10, 1)},
      {"re", record(Predictor{re()}, 7, 1)},
      {"cr_stable", record(Predictor{cr_stable(6)}, 6, 1)},
      {"tensor", record(Predictor{tensor(0, 2)}, 12, 2)},
      {"additive", additive_record()},
      {"nested additive", record(Predictor{std::move(nested)}, 36, 7)},
      {"empty arrays", record(Predictor{RePredictor{}}, 0, 0)},
  };
  for (const auto& [name, model] : cases) {
    SCOPED_TRACE(name);
    const auto frame = serialize_fit(model);
    ASSERT_TRUE(frame.ok());
    const auto loaded = deserialize_fit(*frame);
    ASSERT_TRUE(loaded.ok()) << loaded.error().message();
    expect_same(model, *loaded);
    // Saving the loaded record again gives the same bytes.
    const auto again = serialize_fit(*loaded);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(*again, *frame);
  }
}

TEST(SavedFit, DoublesRoundTripExactlyAndIntegralValuesKeepAFraction) {
  std::vector<double> values = {0.1,     1.0 / 3.0, -0.0,   5e-324, -5e-324, 2.2250738585072014e-308,
                                1e-310,  1e300,     -1e300, std::numeric_limits<double>::max(),
                                1e15,    1e16,      1e22,   9007199254740993.0, 0.30000000000000004};
  std::mt19937_64 rng(20261211);
  while (values.size() < 20000) {
    const double x = std::bit_cast<double>(rng());
    if (std::isfinite(x)) values.push_back(x);
  }
  FittedGam m = golden_record();
  m.beta = Eigen::Map<const Vector>(values.data(), static_cast<Index>(values.size()));
  const auto loaded = deserialize_fit(*serialize_fit(m));
  ASSERT_TRUE(loaded.ok());
  expect_same_array(m.beta, loaded->beta);

  m.beta = vec({1.0, -0.0, 1024.0, 0.0});
  EXPECT_NE(body_of(m).find(R"("data":[1.0,-0.0,1024.0,0.0])"), std::string::npos);
}

TEST(SavedFit, ReadsAnyJsonNumberToTheCorrectlyRoundedDouble) {
  const std::vector<std::pair<std::string, double>> cases = {
      {"1", 1.0},
      {"-0", -0.0},
      {"-7", -7.0},
      {"1E2", 100.0},
      {"0.1e1", 1.0},
      {"18446744073709551615", 18446744073709551615.0},
      {"123456789012345678901234567890", 123456789012345678901234567890.0},
      {"-9223372036854775808", -9223372036854775808.0},
      {"4.9406564584124654e-324", 5e-324},
      {"2.4703282292062328e-324", 5e-324},  // just above half the smallest subnormal
      {"2.4703282292062327e-324", 0.0},
      {"1.7976931348623157e308", std::numeric_limits<double>::max()},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    const auto loaded = deserialize_fit(frame_of(replaced(kGolden, R"("scale":1.0)", R"("scale":)" + text)));
    ASSERT_TRUE(loaded.ok()) << loaded.error().message();
    EXPECT_TRUE(same(loaded->scale, expected)) << loaded->scale;
  }
}

// A Gaussian fit with n ≤ p has a NaN scale and covariance: the frame writes null and
// must load again, with NaN where the null stood (an infinity therefore comes back NaN).
TEST(SavedFit, NullReadsAsNaNSoNonFiniteFitsLoad) {
  FittedGam m = record(Predictor{cr(4)}, 4, 1);
  m.scale = kNaN;
  m.edf_total = -kInf;
  m.vcov(1, 2) = kNaN;
  m.vcov(3, 3) = kInf;
  m.predictor = Predictor{RePredictor{{kNaN, 1.0}}};
  const std::string body = body_of(m);
  EXPECT_NE(body.find(R"("scale":null,"edf_total":null)"), std::string::npos);
  EXPECT_NE(body.find(R"("levels":[null,1.0])"), std::string::npos);
  const auto loaded = deserialize_fit(frame_of(body));
  ASSERT_TRUE(loaded.ok()) << loaded.error().message();
  EXPECT_TRUE(std::isnan(loaded->scale));
  EXPECT_TRUE(std::isnan(loaded->edf_total));
  EXPECT_TRUE(std::isnan(loaded->vcov(1, 2)));
  EXPECT_TRUE(std::isnan(loaded->vcov(3, 3)));
  EXPECT_TRUE(std::isnan(std::get<RePredictor>(loaded->predictor.value).levels[0]));
  m.scale = m.edf_total = m.vcov(1, 2) = m.vcov(3, 3) = 0.0;
  FittedGam back = *loaded;
  back.scale = back.edf_total = back.vcov(1, 2) = back.vcov(3, 3) = 0.0;
  back.predictor = m.predictor;
  expect_same(m, back);
}

TEST(SavedFit, HeaderChecksInOrder) {
  const std::string good = frame_of(kGolden);
  auto with_length = [&](std::uint64_t length, std::size_t keep) {
    std::string f = good.substr(0, keep);
    for (int i = 0; i < 8; ++i) f[9 + i] = static_cast<char>((length >> (8 * i)) & 0xFF);
    return f;
  };
  std::string bad_magic = good;
  bad_magic[0] = 'X';
  bad_magic[4] = '\xFF';
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "FittedGam::deserialize: buffer too short (0 < 17 header bytes)"},
      {good.substr(0, 16), "FittedGam::deserialize: buffer too short (16 < 17 header bytes)"},
      {"XORSK" + std::string(12, '\xFF'),  // the magic is checked before anything else
       "FittedGam::deserialize: bad magic; expected [86, 79, 82, 83, 75], got [88, 79, 82, 83, 75]"},
      {bad_magic, "FittedGam::deserialize: bad magic; expected [86, 79, 82, 83, 75], got [88, 79, 82, 83, 255]"},
      {frame_of(kGolden, 2),
       "FittedGam::deserialize: unsupported format_version=2 (this build expects 1). Re-serialize with a matching "
       "vorsk release, or roll a migration."},
      {frame_of(kGolden, 0x01000001) , "FittedGam::deserialize: unsupported format_version=16777217 (this build "
                                       "expects 1). Re-serialize with a matching vorsk release, or roll a migration."},
      {with_length(max - 16, 17), "FittedGam::deserialize: length overflow"},
      {with_length(max, 30), "FittedGam::deserialize: length overflow"},
      {with_length(max - 17, 17),
       "FittedGam::deserialize: truncated body (have 0 bytes, header says 18446744073709551598 payload bytes follow "
       "the 17-byte header)"},
      {with_length(100, 67),
       "FittedGam::deserialize: truncated body (have 50 bytes, header says 100 payload bytes follow the 17-byte "
       "header)"},
  };
  for (const auto& [frame, message] : cases) EXPECT_EQ(load_error(frame), message);

  // L = 0: an empty document, reported at its start.
  const std::string empty = load_error(with_length(0, 17));
  EXPECT_TRUE(empty.starts_with("FittedGam::deserialize: JSON decode failed at byte 0: ")) << empty;
  EXPECT_TRUE(empty.ends_with(" at line 1 column 0")) << empty;
}

TEST(SavedFit, OnlyTheFrameIsRead) {
  const FittedGam m = golden_record();
  const auto trailing_bytes = deserialize_fit(frame_of(kGolden) + "not part of the frame {");
  ASSERT_TRUE(trailing_bytes.ok());
  expect_same(m, *trailing_bytes);

  for (const std::string blanks : {"\n", " \t\r\n "}) {
    const auto loaded = deserialize_fit(frame_of(kGolden + blanks));
    ASSERT_TRUE(loaded.ok()) << loaded.error().message();
    expect_same(m, *loaded);
  }
  EXPECT_EQ(load_error(frame_of(kGolden + "\nx")), decode_message(1, "trailing characters", 2));
  EXPECT_EQ(load_error(frame_of(kGolden + "{}")), decode_message(kGolden.size() + 1, "trailing characters"));
}

TEST(SavedFit, AcceptsAnyKeyOrderWhitespaceAndUnknownKeys) {
  const FittedGam m = golden_record();
  // Keys reversed, pretty-printed over many lines, tag last in the predictor.
  const auto parsed = nlohmann::ordered_json::parse(kGolden);
  std::vector<std::pair<std::string, nlohmann::ordered_json>> members;
  for (const auto& item : parsed.items()) members.emplace_back(item.key(), item.value());
  nlohmann::ordered_json reversed = nlohmann::ordered_json::object();
  for (auto it = members.rbegin(); it != members.rend(); ++it) reversed[it->first] = it->second;
  reversed["predictor"] = nlohmann::ordered_json::parse(R"({"levels":[1.0,2.0],"kind":"re"})");
  const std::vector<std::string> bodies = {
      reversed.dump(2),
      replaced(kGolden, R"({"beta")", R"({"comment":{"deep":[1,[null,{"x":"y"}]],"v":7},"beta")"),
      replaced(kGolden, R"("kind":"re",)", R"("kind":"re","note":[1,2],"knots":"ignored",)"),
      replaced(kGolden, R"(,"shape_params":{"v":1,"dim":[0],"data":[]})", ""),  // shape_params defaults to empty
  };
  for (const auto& body : bodies) {
    SCOPED_TRACE(body);
    const auto loaded = deserialize_fit(frame_of(body));
    ASSERT_TRUE(loaded.ok()) << loaded.error().message();
    expect_same(m, *loaded);
  }
}

TEST(SavedFit, SchemaErrorsNameTheFieldAndWhereTheReaderStood) {
  struct Case {
    std::string body;
    std::string what;
    std::size_t column;
  };
  auto after = [](const std::string& body, std::string_view marker, std::size_t skip = 0) {
    return body.find(marker, skip) + marker.size();
  };
  std::vector<Case> cases;
  auto add = [&](std::string body, std::string what, std::size_t column) {
    cases.push_back({std::move(body), std::move(what), column});
  };
  const std::string after_predictor = R"(,"vcov")";

  // Top level.
  std::string b = replaced(kGolden, R"(,"link_kind":"Identity")", "");
  add(b, "missing field `link_kind`", b.size());
  b = replaced(kGolden, R"({"beta")", R"({"beta":{"v":1,"dim":[0],"data":[]},"beta")");
  add(b, "duplicate field `beta`", after(b, R"("beta")", 2));
  b = replaced(kGolden, R"("n":4)", R"("n":null)");
  add(b, "invalid type: null, expected u64", after(b, "null"));
  b = replaced(kGolden, R"("n":4)", R"("n":-1)");
  add(b, "invalid value: integer `-1`, expected u64", after(b, "-1"));
  b = replaced(kGolden, R"("n_iters":3)", R"("n_iters":1.5)");
  add(b, "invalid type: floating point `1.5`, expected u64", after(b, R"("n_iters":1.5)"));
  b = replaced(kGolden, R"("converged":true)", R"("converged":1)");
  add(b, "invalid type: integer `1`, expected a boolean", after(b, R"("converged":1)"));
  b = replaced(kGolden, R"("scale":1.0)", R"("scale":"1.0")");
  add(b, "invalid type: string \"1.0\", expected f64", after(b, R"("1.0")"));
  b = replaced(kGolden, R"("Identity")", R"("identity")");
  add(b, "unknown variant `identity`, expected one of `Identity`, `Log`, `Logit`", after(b, R"("identity")"));
  add("[]", "invalid type: sequence, expected struct FittedGam", 0);

  // Array objects.
  b = replaced(kGolden, R"({"v":1,"dim":[3])", R"({"v":1,"w":0,"dim":[3])");
  add(b, "unknown field `w`, expected one of `v`, `dim`, `data`", after(b, R"("w")"));
  b = replaced(kGolden, R"({"v":1,"dim":[3])", R"({"v":1,"dim":[3],"v":1)");
  add(b, "duplicate field `v`", after(b, R"("v")", 10));
  b = replaced(kGolden, R"({"v":1,"dim":[3])", R"({"v":2,"dim":[3])");
  add(b, "unknown array version: 2", after(b, R"("v":2)"));
  b = replaced(kGolden, R"({"v":1,"dim":[3],"data":[0.5,-0.25,0.25]})", R"({"dim":[3],"data":[0.5,-0.25,0.25],"v":3})");
  add(b, "unknown array version: 3", after(b, R"("v":3})"));  // the closing brace is stepped over
  b = replaced(kGolden, R"({"v":1,"dim":[3],)", R"({"dim":[3],)");
  add(b, "missing field `v`", after(b, "0.25]}"));
  b = replaced(kGolden, R"("dim":[3])", R"("dim":[4])");
  add(b, "data and dimension must match in size", after(b, "0.25]}"));
  b = replaced(kGolden, R"("dim":[3,3])", R"("dim":[4294967296,4294967296])");  // the product overflows
  add(b, "data and dimension must match in size", after(b, "0.1]}"));
  b = replaced(kGolden, R"("dim":[3,3],"data":[0.1,0.0,0.0,0.0,0.1,0.0,0.0,0.0,0.1]})",
               R"("dim":[9223372036854775808,0],"data":[]})");  // empty, but not indexable
  add(b, "data and dimension must match in size", after(b, R"("data":[]})"));
  b = replaced(kGolden, R"("dim":[0])", R"("dim":[0,0])");
  add(b, "invalid length 2, expected an array of length 1", after(b, "[0,0]"));
  b = replaced(kGolden, R"("dim":[3,3])", R"("dim":[9])");
  add(b, "invalid length 1, expected an array of length 2", after(b, "[9]"));
  b = replaced(kGolden, R"("data":[0.0])", R"("data":[0.0,true])");
  add(b, "invalid type: boolean `true`, expected f64", after(b, "true"));
  b = replaced(kGolden, R"("beta":{)", R"("beta":[{)");
  b = replaced(b, R"(0.25]})", R"(0.25]}])");
  add(b, "invalid type: sequence, expected an array object", b.find('[', 1));

  // The predictor's tag is checked where it stands; its payload after the whole predictor.
  b = replaced(kGolden, R"("kind":"re")", R"("kind":"xyz")");
  add(b, "unknown variant `xyz`, expected one of `cr`, `re`, `cr_stable`, `additive`, `tensor`", after(b, R"("xyz")"));
  b = replaced(kGolden, R"("kind":"re",)", "");
  add(b, "missing field `kind`", b.find(after_predictor));
  b = replaced(kGolden, R"("kind":"re")", R"("kind":"re","kind":"re")");
  add(b, "duplicate field `kind`", after(b, R"("kind")", after(b, R"("kind")")));
  b = replaced(kGolden, R"("kind":"re")", R"("kind":7)");
  add(b, "invalid type: integer `7`, expected variant identifier", after(b, R"("kind":7)"));
  b = replaced(kGolden, R"("predictor":{"kind":"re","levels":[1.0,2.0]})", R"("predictor":5)");
  add(b, "invalid type: integer `5`, expected internally tagged enum Predictor", after(b, R"("predictor":5)"));
  b = replaced(kGolden, R"("levels":[1.0,2.0])", R"("levels":[1.0,"two"])");
  add(b, "invalid type: string \"two\", expected f64", b.find(after_predictor));
  b = replaced(kGolden, R"(,"levels":[1.0,2.0])", "");
  add(b, "missing field `levels`", b.find(after_predictor));
  b = replaced(kGolden, R"("levels":[1.0,2.0])", R"("levels":[1.0,2.0],"levels":[])");
  add(b, "duplicate field `levels`", b.find(after_predictor));
  // The predictor is the last member: the reader steps over the top-level closing brace.
  b = replaced(kGolden, R"(,"predictor":{"kind":"re","levels":[1.0,2.0]})", "");
  b = replaced(b, R"("data":[]}})", R"("data":[]},"predictor":{"kind":"re","levels":"x"} })");
  add(b, "invalid type: string \"x\", expected a sequence", b.size());

  // Nested predictors and the tensor payload.
  const std::string tensor_body = body_of(record(Predictor{tensor(0, 1)}, 12, 2));
  const std::string additive_body = body_of(additive_record());
  const std::string end_tensor = R"(,"vcov")";
  b = replaced(tensor_body, R"("bs_b":"cr")", R"("bs_b":"ps")");
  add(b, "unknown variant `ps`, expected `cr`", b.find(end_tensor));
  b = replaced(tensor_body, R"("col_a":0)", R"("col_a":-2)");
  add(b, "invalid value: integer `-2`, expected u64", b.find(end_tensor));
  b = replaced(additive_body, R"("kind":"cr_stable")", R"("kind":"cs")");
  add(b, "unknown variant `cs`, expected one of `cr`, `re`, `cr_stable`, `additive`, `tensor`", b.find(end_tensor));
  b = replaced(additive_body, R"("kind":"tensor",)", "");
  add(b, "missing field `kind`", b.find(end_tensor));
  b = replaced(additive_body, R"([14,25])", R"([14,25,26])");
  add(b, "invalid length 3, expected a tuple of size 2", b.find(end_tensor));
  b = replaced(additive_body, R"("cols_used":[[0])", R"("cols_used":[[0.0])");
  add(b, "invalid type: floating point `0.0`, expected u64", b.find(end_tensor));

  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    EXPECT_EQ(load_error(frame_of(c.body)), decode_message(c.column, c.what));
  }
}

TEST(SavedFit, SyntaxErrorsReportLineAndColumn) {
  const std::string message = load_error(frame_of("{\n  \"beta\":\n  x"));
  EXPECT_TRUE(message.starts_with("FittedGam::deserialize: JSON decode failed at byte 3: ")) << message;
  EXPECT_TRUE(message.ends_with(" at line 3 column 3")) << message;

  // A number too large for a double is an error, not an infinity.
  const std::string overflow = load_error(frame_of(replaced(kGolden, R"("scale":1.0)", R"("scale":1e400)")));
  EXPECT_TRUE(overflow.starts_with("FittedGam::deserialize: JSON decode failed at byte ")) << overflow;
  EXPECT_NE(overflow.find("1e400"), std::string::npos) << overflow;

  // Raw bytes quoted back from the input are escaped: messages are always valid UTF-8.
  const std::string raw = load_error(frame_of("{\"beta\":\xFF\xFE}"));
  EXPECT_NE(raw.find("\\xFF"), std::string::npos) << raw;
  EXPECT_EQ(raw.find('\xFF'), std::string::npos);
}

TEST(SavedFit, DeepNestingIsRefusedAtTheLimit) {
  auto nested = [](std::size_t depth) {
    return replaced(kGolden, R"({"beta")",
                    "{\"deep\":" + std::string(depth, '[') + std::string(depth, ']') + ",\"beta\"");
  };
  // The top-level object and 63 arrays make 64 levels, the limit.
  EXPECT_TRUE(deserialize_fit(frame_of(nested(63))).ok());
  EXPECT_EQ(load_error(frame_of(nested(64))), decode_message(std::string("{\"deep\":").size() + 64,
                                                             "recursion limit exceeded"));
  EXPECT_EQ(load_error(frame_of(nested(1000000))),
            decode_message(std::string("{\"deep\":").size() + 64, "recursion limit exceeded"));
}

// Random damage to a rich frame never crashes; whatever still loads saves to a frame
// that loads to the same record.
TEST(SavedFit, DamagedFramesFailCleanly) {
  const std::string body = body_of(additive_record());
  std::mt19937_64 rng(5);
  const std::string alphabet = "{}[]:,\"\\ 0123456789.-+eE nulltruefalse kind v dim data \x01\x80\xC3\xFF";
  for (int trial = 0; trial < 2000; ++trial) {
    std::string damaged = body;
    const int edits = 1 + static_cast<int>(rng() % 4);
    for (int e = 0; e < edits; ++e) {
      const std::size_t at = rng() % damaged.size();
      switch (rng() % 3) {
        case 0: damaged[at] = alphabet[rng() % alphabet.size()]; break;
        case 1: damaged.erase(at, 1 + rng() % 8); break;
        default: damaged = damaged.substr(0, at) + alphabet[rng() % alphabet.size()] + damaged.substr(at); break;
      }
      if (damaged.empty()) damaged.push_back('{');
    }
    const auto loaded = deserialize_fit(frame_of(damaged));
    if (!loaded.ok()) {
      EXPECT_TRUE(loaded.error().message().starts_with("FittedGam::deserialize: JSON decode failed at byte "));
      continue;
    }
    const auto again = serialize_fit(*loaded);
    ASSERT_TRUE(again.ok());
    const auto reloaded = deserialize_fit(*again);
    ASSERT_TRUE(reloaded.ok()) << reloaded.error().message();
    EXPECT_EQ(*serialize_fit(*reloaded), *again);
  }
}

}  // namespace
}  // namespace vorsk
