// The 2-lane SSE2 row loop. SSE2 is part of the x86-64 baseline;
// nothing beyond the default flags is needed.
#include "simd_rows.h"

#if defined(TSR_WITH_SLEEF) && defined(__SSE2__)
#include <sleef.h>

#define TSR_ROWS_FN rows_sse2
#define TSR_W 2
#define TSR_V __m128d
#define TSR_SET1 _mm_set1_pd
#define TSR_LOAD _mm_load_pd
#define TSR_STORE _mm_store_pd
#define TSR_SQRT _mm_sqrt_pd
#define TSR_ATAN2 Sleef_atan2d2_u10sse2
#define TSR_ATAN2_U35 Sleef_atan2d2_u35sse2
#define TSR_SINCOS Sleef_sincosd2_u10sse2
#define TSR_TAN Sleef_tand2_u10sse2
#define TSR_LOG Sleef_logd2_u10sse2

namespace tsr::crs::detail {
extern const bool kBuiltSse2 = true;
#include "simd_kernel.inc"
}  // namespace tsr::crs::detail

#else

namespace tsr::crs::detail {
extern const bool kBuiltSse2 = false;
// Not built: have_sse2() is false, so this is never reached.
void rows_sse2(double* data, std::ptrdiff_t rows, std::ptrdiff_t stride, Target target) noexcept {
    for (std::ptrdiff_t i = 0; i < rows; ++i) convert_row(data + i * stride, target);
}
}  // namespace tsr::crs::detail

#endif
