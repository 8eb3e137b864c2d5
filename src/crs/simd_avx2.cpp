// The 4-lane AVX2 row loop. CMake compiles this file alone with
// -mavx2 -mfma; its one external function runs only after have_avx2().
#include "simd_rows.h"

#if defined(TSR_WITH_SLEEF) && defined(__AVX2__) && defined(__FMA__)
#include <sleef.h>

#define TSR_ROWS_FN rows_avx2
#define TSR_W 4
#define TSR_V __m256d
#define TSR_SET1 _mm256_set1_pd
#define TSR_LOAD _mm256_load_pd
#define TSR_STORE _mm256_store_pd
#define TSR_SQRT _mm256_sqrt_pd
#define TSR_ATAN2 Sleef_atan2d4_u10avx2
#define TSR_ATAN2_U35 Sleef_atan2d4_u35avx2
#define TSR_SINCOS Sleef_sincosd4_u10avx2
#define TSR_TAN Sleef_tand4_u10avx2
#define TSR_LOG Sleef_logd4_u10avx2

namespace tsr::crs::detail {
extern const bool kBuiltAvx2 = true;
#include "simd_kernel.inc"
}  // namespace tsr::crs::detail

#else

namespace tsr::crs::detail {
extern const bool kBuiltAvx2 = false;
// Not built: have_avx2() is false, so this is never reached.
void rows_avx2(double* data, std::ptrdiff_t rows, std::ptrdiff_t stride, Target target) noexcept {
    for (std::ptrdiff_t i = 0; i < rows; ++i) convert_row(data + i * stride, target);
}
}  // namespace tsr::crs::detail

#endif
