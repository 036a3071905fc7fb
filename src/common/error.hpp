#pragma once
// The library's error value. Inner layers return it; only the Python layer raises.

#include <cstdint>
#include <string>
#include <utility>

namespace vorsk {

class VorskError {
 public:
  // The four public variants, in their documented order. `Internal` marks states that
  // valid use cannot reach (a hand-edited saved frame, a failed eigendecomposition
  // inside a rank computation); it carries a fixed text and is not a user-facing kind.
  enum class Kind { InvalidParameter, SingularSystem, NotConverged, Linalg, Internal };

  static VorskError invalid_parameter(std::string message) {
    return VorskError(Kind::InvalidParameter, std::move(message));
  }
  static VorskError singular_system(std::string message) {
    return VorskError(Kind::SingularSystem, std::move(message));
  }
  static VorskError linalg(std::string message) {
    return VorskError(Kind::Linalg, std::move(message));
  }
  static VorskError not_converged(std::uint64_t iters, double grad_norm) {
    VorskError e(Kind::NotConverged, {});
    e.iters_ = iters;
    e.grad_norm_ = grad_norm;
    return e;
  }
  static VorskError internal(std::string message) {
    return VorskError(Kind::Internal, std::move(message));
  }

  Kind kind() const { return kind_; }
  // The payload text (empty for NotConverged).
  const std::string& message() const { return message_; }
  std::uint64_t iters() const { return iters_; }
  double grad_norm() const { return grad_norm_; }

  // "invalid parameter: ...", "singular system: ...", and so on.
  std::string display() const;

 private:
  VorskError(Kind kind, std::string message) : kind_(kind), message_(std::move(message)) {}

  Kind kind_;
  std::string message_;
  std::uint64_t iters_ = 0;
  double grad_norm_ = 0.0;
};

}  // namespace vorsk
