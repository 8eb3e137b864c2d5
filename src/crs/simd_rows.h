// The SIMD variants of the row loop (simd_rows.cpp). Each evaluates the
// reference solve's formulas in the same order over 2, 4 or 8 points at a
// time and hands points near the polar axis to the reference.
#pragma once

#include "geodetic.h"

#include <cstddef>
#include <cstdint>

namespace tsr::crs::detail {

// Whether each variant was compiled in (SLEEF found, x86-64 flags given);
// defined by its own file, as data so that no code of a file built for a
// wider instruction set runs before the CPU check.
extern const bool kBuiltSse2;
extern const bool kBuiltAvx2;
extern const bool kBuiltAvx512;

// Whether the variant is built in and the running CPU supports it.
bool have_sse2() noexcept;
bool have_avx2() noexcept;
bool have_avx512() noexcept;

// Only to be called when the matching have_*() is true.
void rows_sse2(double* data, std::ptrdiff_t rows, std::ptrdiff_t stride, Target target) noexcept;
void rows_avx2(double* data, std::ptrdiff_t rows, std::ptrdiff_t stride, Target target) noexcept;
void rows_avx512(double* data, std::ptrdiff_t rows, std::ptrdiff_t stride,
                 Target target) noexcept;

}  // namespace tsr::crs::detail
