// The 8-lane AVX-512 row loop. CMake compiles this file alone with
// -mavx512f; its one external function runs only after have_avx512().
#include "simd_rows.h"

#if defined(TSR_WITH_SLEEF) && defined(__AVX512F__)
#include <sleef.h>

#define TSR_ROWS_FN rows_avx512
#define TSR_W 8
#define TSR_V __m512d
#define TSR_SET1 _mm512_set1_pd
#define TSR_LOAD _mm512_load_pd
#define TSR_STORE _mm512_store_pd
// _mm512_sqrt_pd merges into an undefined vector, which GCC 12 reports as
// maybe-uninitialised; with every lane selected the result is the same.
#define TSR_SQRT(v) _mm512_maskz_sqrt_pd(static_cast<__mmask8>(0xFF), (v))
#define TSR_ATAN2 Sleef_atan2d8_u10avx512f
#define TSR_ATAN2_U35 Sleef_atan2d8_u35avx512f
#define TSR_SINCOS Sleef_sincosd8_u10avx512f
#define TSR_TAN Sleef_tand8_u10avx512f
#define TSR_LOG Sleef_logd8_u10avx512f

namespace tsr::crs::detail {
extern const bool kBuiltAvx512 = true;
#include "simd_kernel.inc"
}  // namespace tsr::crs::detail

#else

namespace tsr::crs::detail {
extern const bool kBuiltAvx512 = false;
// Not built: have_avx512() is false, so this is never reached.
void rows_avx512(double* data, std::ptrdiff_t rows, std::ptrdiff_t stride,
                 Target target) noexcept {
    for (std::ptrdiff_t i = 0; i < rows; ++i) convert_row(data + i * stride, target);
}
}  // namespace tsr::crs::detail

#endif
