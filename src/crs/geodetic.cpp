// The reference solve and the choice among the row-loop variants.
#include "geodetic.h"
#include "simd_rows.h"

#include <cmath>

namespace tsr::crs {

Geodetic solve(double x, double y, double z) noexcept {
    const double lon = std::atan2(y, x);
    const double p = std::sqrt(y * y + x * x);

    if (p == 0.0) {
        // On the polar axis (or so close that p underflows): the iteration
        // below would divide 0 by 0. The pole itself, by the sign of z.
        const double b = kA * std::sqrt(1.0 - kE2);
        const double lat = std::isnan(z) ? z : std::copysign(2.0 * kQuarterPi, z);
        return {lon, lat, std::fabs(z) - b};
    }

    double lat = std::atan2(z, (1.0 - kE2) * p);
    double h = 0.0;
    if (std::cos(lat) < kNearAxisCos) {
        // Near the axis p / cos(lat) - N is the difference of two huge,
        // nearly equal numbers; p cos + z sin - a w carries no such loss.
        for (int it = 0; it < 3; ++it) {
            const double s = std::sin(lat);
            const double w = std::sqrt(1.0 - (s * kE2) * s);
            const double n_val = kA / w;
            h = p * std::cos(lat) + z * s - kA * w;
            lat = std::atan2(z, (1.0 - (n_val * kE2) / (h + n_val)) * p);
        }
        return {lon, lat, h};
    }

    // Exactly three steps, no convergence test; h is the one computed from
    // the latitude before the last update.
    for (int it = 0; it < 3; ++it) {
        const double s = std::sin(lat);
        const double n_val = kA / std::sqrt(1.0 - (s * kE2) * s);
        h = p / std::cos(lat) - n_val;
        lat = std::atan2(z, (1.0 - (n_val * kE2) / (h + n_val)) * p);
    }
    return {lon, lat, h};
}

void convert_row(double* row, Target target) noexcept {
    const Geodetic g = solve(row[0], row[1], row[2]);
    if (target == Target::WebMercator) {
        // No latitude clamp: every latitude is projected.
        row[0] = g.lon * kA;
        row[1] = std::log(std::tan(g.lat * 0.5 + kQuarterPi)) * kA;
    } else {
        row[0] = g.lon * kRadToDeg;
        row[1] = g.lat * kRadToDeg;
    }
    row[2] = g.h;
}

namespace detail {

// __builtin_cpu_supports also checks that the OS saves the wider registers.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
bool have_sse2() noexcept { return kBuiltSse2 && __builtin_cpu_supports("sse2"); }
bool have_avx2() noexcept {
    return kBuiltAvx2 && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}
bool have_avx512() noexcept { return kBuiltAvx512 && __builtin_cpu_supports("avx512f"); }
#else
bool have_sse2() noexcept { return false; }
bool have_avx2() noexcept { return false; }
bool have_avx512() noexcept { return false; }
#endif

}  // namespace detail

bool isa_available(Isa isa) noexcept {
    switch (isa) {
    case Isa::Scalar: return true;
    case Isa::SSE2: return detail::have_sse2();
    case Isa::AVX2: return detail::have_avx2();
    case Isa::AVX512: return detail::have_avx512();
    }
    return false;
}

Isa best_isa() noexcept {
    static const Isa best = [] {
        if (isa_available(Isa::AVX512)) return Isa::AVX512;
        if (isa_available(Isa::AVX2)) return Isa::AVX2;
        if (isa_available(Isa::SSE2)) return Isa::SSE2;
        return Isa::Scalar;
    }();
    return best;
}

void convert_rows(double* data, std::ptrdiff_t rows, std::ptrdiff_t stride, Target target,
                  Isa isa) noexcept {
    if (!isa_available(isa)) isa = Isa::Scalar;
    switch (isa) {
    case Isa::SSE2: detail::rows_sse2(data, rows, stride, target); return;
    case Isa::AVX2: detail::rows_avx2(data, rows, stride, target); return;
    case Isa::AVX512: detail::rows_avx512(data, rows, stride, target); return;
    case Isa::Scalar: break;
    }
    for (std::ptrdiff_t i = 0; i < rows; ++i) convert_row(data + i * stride, target);
}

}  // namespace tsr::crs
