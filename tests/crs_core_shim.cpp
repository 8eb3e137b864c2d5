// C entry points into the coordinate-conversion core, so that the tests can
// load it with ctypes and run each instruction-set variant and the scalar
// reference side by side on the same input.
#include "crs/geodetic.h"

extern "C" {

int tsr_crs_isa_available(int isa) {
    return tsr::crs::isa_available(static_cast<tsr::crs::Isa>(isa)) ? 1 : 0;
}

// target: 0 Web Mercator, 1 geographic; isa: 0 scalar, 1 SSE2, 2 AVX2, 3 AVX-512.
void tsr_crs_convert_rows(double* data, std::ptrdiff_t rows, std::ptrdiff_t stride, int target,
                          int isa) {
    tsr::crs::convert_rows(data, rows, stride,
                           target == 0 ? tsr::crs::Target::WebMercator
                                       : tsr::crs::Target::Geographic,
                           static_cast<tsr::crs::Isa>(isa));
}

}  // extern "C"
