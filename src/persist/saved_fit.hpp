#pragma once
// The saved-fit frame: a 17-byte header (the magic "VORSK", a 32-bit format version and
// a 64-bit body length, little-endian) followed by a compact JSON body that holds every
// field of the record, the predictor included. Loading gives the record back bit for
// bit, so a reloaded fit predicts exactly as the one that was saved.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "fit/fitted.hpp"

namespace vorsk {

inline constexpr std::size_t kFrameHeaderSize = 17;
inline constexpr std::uint32_t kFrameFormatVersion = 1;

// The frame of `model`. Finite doubles are written so that they read back to the same
// bits; NaN and the infinities are written as null.
Result<std::string> serialize_fit(const FittedGam& model);

// Reads one frame from the front of `bytes`; bytes after it are ignored. null in any
// number field reads as NaN, so a saved infinity comes back as NaN. The fields are not
// checked against each other: a frame whose shapes disagree loads and fails when used.
// Work and memory are linear in the size of the frame; nesting deeper than 64 levels is
// refused.
Result<FittedGam> deserialize_fit(std::string_view bytes);

}  // namespace vorsk
