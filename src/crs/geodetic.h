// ECEF (EPSG:4978) to geodetic longitude / latitude / height on the WGS84
// ellipsoid, and from there to Web Mercator (EPSG:3857) or geographic
// degrees (EPSG:4326), in place over rows of doubles. Plain C++, no Python.
//
// The solve is a fixed three-step fixed-point iteration on the latitude.
// `solve()` is the reference: one point at a time through the C library's
// atan2/sin/cos/sqrt. `convert_rows()` runs the fastest variant this CPU
// supports: the same formulas in the same order over SIMD lanes with SLEEF's
// vector functions (within 1e-12 degrees and 1e-6 m of the reference more
// than 1 km from the polar axis), handing points near the axis to the
// reference.
#pragma once

#include <cstddef>

namespace tsr::crs {

// WGS84 semi-major axis (also the Web Mercator sphere radius), metres.
constexpr double kA = 6378137.0;
// First eccentricity squared, as this literal (not derived from 1/f).
constexpr double kE2 = 0.00669437999014133;
// Radians to degrees.
constexpr double kRadToDeg = 57.29577951308232;
// pi / 4.
constexpr double kQuarterPi = 0.7853981633974483;
// Below this cos(start latitude), i.e. within about 6.4 m of the polar
// axis at the surface, the height is taken in a form that does not divide
// by the vanishing cos(lat).
constexpr double kNearAxisCos = 1e-6;

enum class Target { WebMercator, Geographic };

struct Geodetic {
    double lon;  // radians
    double lat;  // radians
    double h;    // metres above the ellipsoid
};

// The reference solve for one point.
Geodetic solve(double x, double y, double z) noexcept;

// The reference conversion of one row: reads x, y, z from row[0..2] and
// writes the target CRS's three values back.
void convert_row(double* row, Target target) noexcept;

// Instruction-set variants of the row loop. Scalar is the reference.
enum class Isa { Scalar, SSE2, AVX2, AVX512 };

// Whether `isa` was built in and this CPU can run it.
bool isa_available(Isa isa) noexcept;
// The fastest available variant (checked once).
Isa best_isa() noexcept;

// Converts `rows` rows in place, `stride` doubles apart (stride >= 3);
// columns beyond the third are not touched. Touches no Python object, so it
// may run with the interpreter lock released. An unavailable `isa` falls
// back to Scalar.
void convert_rows(double* data, std::ptrdiff_t rows, std::ptrdiff_t stride, Target target,
                  Isa isa) noexcept;
inline void convert_rows(double* data, std::ptrdiff_t rows, std::ptrdiff_t stride,
                         Target target) noexcept {
    convert_rows(data, rows, stride, target, best_isa());
}

}  // namespace tsr::crs
