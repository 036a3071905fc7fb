#pragma once
// Work counters for the benchmarks: compiled in only when VORSK_KERNEL_COUNTERS is
// defined (a benchmark build), so the library proper keeps no global state.

#ifdef VORSK_KERNEL_COUNTERS
#include <atomic>
#include <cstdint>

namespace vorsk::counters {
inline std::atomic<std::uint64_t> crossproducts{0};  // formations of Xᵀ·W·X
inline std::atomic<std::uint64_t> inner_fits{0};     // PIRLS or closed-form fits
}  // namespace vorsk::counters

#define VORSK_COUNT(name) (++::vorsk::counters::name)
#else
#define VORSK_COUNT(name) ((void)0)
#endif
