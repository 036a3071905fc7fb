// libFuzzer target for the saved-fit loader.
//
// The first input byte picks what the rest is: an odd byte means a JSON body, which is
// wrapped in a correct header so that mutations reach the decoder instead of failing
// the length check; an even byte means a whole frame, header included.
//
// Beyond "no crash, no sanitizer report", each input must satisfy:
//   - a failure is an InvalidParameter whose message is valid UTF-8;
//   - a record that loads saves to a frame that loads and saves to the same bytes;
//   - a loaded record can be used for prediction: whatever its shapes, the prediction
//     operations return a value or an error.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fit/predict.hpp"
#include "persist/saved_fit.hpp"

namespace {

bool valid_utf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (std::size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

void require(bool condition) {
  if (!condition) __builtin_trap();
}

std::string framed(std::string_view body) {
  std::string out = "VORSK";
  for (int i = 0; i < 4; ++i) out.push_back(i == 0 ? '\x01' : '\0');
  const std::uint64_t length = body.size();
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((length >> (8 * i)) & 0xFF));
  out.append(body);
  return out;
}

// Inputs for prediction: rows inside and outside a unit range, a NaN, six columns so
// that multi-column terms find theirs.
vorsk::Matrix new_inputs() {
  vorsk::Matrix x(4, 6);
  const double values[] = {0.25, -3.0, 0.5, 1e6, 0.0, 2.0};
  for (vorsk::Index i = 0; i < x.rows(); ++i)
    for (vorsk::Index j = 0; j < x.cols(); ++j) x(i, j) = values[(i + j) % 6] + 0.125 * static_cast<double>(i);
  x(3, 0) = __builtin_nan("");
  return x;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  const std::string frame = (data[0] & 1) ? framed(rest) : std::string(rest);

  const auto loaded = vorsk::deserialize_fit(frame);
  if (!loaded.ok()) {
    require(loaded.error().kind() == vorsk::VorskError::Kind::InvalidParameter);
    require(loaded.error().message().starts_with("FittedGam::deserialize: "));
    require(valid_utf8(loaded.error().message()));
    return 0;
  }

  const auto saved = vorsk::serialize_fit(*loaded);
  require(saved.ok());
  const auto reloaded = vorsk::deserialize_fit(*saved);
  require(reloaded.ok());
  const auto saved_again = vorsk::serialize_fit(*reloaded);
  require(saved_again.ok() && *saved_again == *saved);

  static const vorsk::Matrix x = new_inputs();
  (void)vorsk::evaluate_lpmatrix(*loaded, x);
  (void)vorsk::predict_response(*loaded, x);
  (void)vorsk::predict_ci(*loaded, x, 0.95, "link");
  (void)vorsk::predict_diff(*loaded, x, x.topRows(1), 0.9);
  (void)vorsk::term_col_ranges(*loaded);
  return 0;
}
