#include "design/transform.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "test_support.hpp"

namespace vorsk {
namespace {

using test_support::mat;

TEST(CentringMatrix, MatchesWorkedExamples) {
  struct Case {
    std::string name;
    Vector c;
    Matrix z;
  };
  const std::vector<Case> cases = {
      {"(3, 4)", Eigen::Vector2d(3, 4), mat(2, 1, {-0.8, 0.6})},
      {"(-3, 4)", Eigen::Vector2d(-3, 4), mat(2, 1, {0.8, 0.6})},
      // -0.0 takes the non-negative branch: v = (1, 1), not (-1, 1).
      {"(-0, 1)", Eigen::Vector2d(-0.0, 1), mat(2, 1, {-1, 0})},
      {"zero drops the last coefficient", Eigen::Vector3d(0, 0, 0),
       mat(3, 2, {1, 0, 0, 1, 0, 0})},
      {"below 2^-52 counts as zero", Eigen::Vector3d(1e-17, -1e-17, 0),
       mat(3, 2, {1, 0, 0, 1, 0, 0})},
      {"q = 1", Vector::Constant(1, 5.0), Matrix(1, 0)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Matrix z = centring_matrix(c.c);
    ASSERT_EQ(z.rows(), c.z.rows());
    ASSERT_EQ(z.cols(), c.z.cols());
    for (Index r = 0; r < z.rows(); ++r) {
      for (Index i = 0; i < z.cols(); ++i) EXPECT_NEAR(z(r, i), c.z(r, i), 1e-15) << r << "," << i;
    }
  }
}

TEST(CentringMatrix, IsAnOrthonormalBasisOfTheNullSpace) {
  std::mt19937 gen(3);
  std::normal_distribution<double> normal;
  for (const double first : {2.0, -2.0, 0.0}) {
    Vector c(7);
    for (Index j = 0; j < 7; ++j) c[j] = 10 * normal(gen);
    c[0] = first;
    const Matrix z = centring_matrix(c);
    ASSERT_EQ(z.rows(), 7);
    ASSERT_EQ(z.cols(), 6);
    EXPECT_LT((z.transpose() * z - Matrix::Identity(6, 6)).cwiseAbs().maxCoeff(), 1e-14);
    EXPECT_LT((c.transpose() * z).cwiseAbs().maxCoeff(), 1e-13 * c.norm());
  }
}

TEST(ConstraintVector, SumsColumnsOfAView) {
  const Matrix big = mat(3, 4, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
  const Vector c = constraint_vector(big.block(1, 1, 2, 2));
  EXPECT_EQ(c, Eigen::Vector2d(16, 18));
  EXPECT_EQ(constraint_vector(Matrix(0, 3)), Vector::Zero(3));
}

}  // namespace
}  // namespace vorsk
