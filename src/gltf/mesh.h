// glTF mesh core: component types, byte spans of accessors inside the
// binary chunk, and the copy / widen / triangulate loops that fill the
// result arrays, plus the 1/32 grid quantisation of UVR values. Plain C++
// with no Python: every function here works on raw memory only and may run
// with the interpreter lock released.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tsr::gltf {

constexpr std::int32_t kByte = 5120;
constexpr std::int32_t kUnsignedByte = 5121;
constexpr std::int32_t kShort = 5122;
constexpr std::int32_t kUnsignedShort = 5123;
constexpr std::int32_t kUnsignedInt = 5125;
constexpr std::int32_t kFloat = 5126;

// One glTF accessor component type.
struct Component {
    std::int32_t code;
    std::int32_t size;  // bytes per component
    bool is_float;
    bool is_signed;
    // Integer types with "normalized": true map c to max(c / divisor, -1).
    double norm_divisor;
};

// The component type of `code`, or null when glTF has no such type.
const Component* find_component(std::int32_t code) noexcept;

// A run of `count` elements of `ncomp` components, element i starting at
// byte offset + ((i * stride) / size) * size of the chunk (the step is
// floored to a whole component, so a stride that is not a multiple of the
// component size reads from the component boundary below).
struct Stream {
    std::int64_t offset = 0;
    std::int32_t stride = 0;  // > 0
    int ncomp = 0;
    const Component* comp = nullptr;
    bool normalized = false;
};

// Byte position of element i of `s` in the chunk.
inline std::int64_t element_start(const Stream& s, std::int64_t i) noexcept {
    const std::int64_t size = s.comp->size;
    return s.offset + (i * s.stride) / size * size;
}

// The stride to use: byte_stride when positive, else the tight element size.
std::int32_t effective_stride(std::int32_t byte_stride, int ncomp, const Component& c) noexcept;

// One past the last byte that reading `count` (> 0) elements of `s`
// touches, computed once with overflow checks. False when the sum does
// not fit in 64 bits (the caller reports that as out of range).
bool stream_end(const Stream& s, std::int64_t count, std::int64_t* end) noexcept;

// Element i of `s` -> out[i * pitch + k] for k < s.ncomp, widened by value
// (or normalised when s.normalized and the type is an integer). Float data
// is copied exactly. The caller has checked that the bytes lie in `chunk`.
void read_rows(const std::uint8_t* chunk, const Stream& s, std::int64_t count, double* out,
               std::ptrdiff_t pitch) noexcept;
void read_rows(const std::uint8_t* chunk, const Stream& s, std::int64_t count, float* out,
               std::ptrdiff_t pitch) noexcept;

// How a primitive's index (or vertex) list forms triangles.
enum class Topology { Triangles, Strip, Fan, NoFaces };

// glTF primitive mode (0..6) -> topology; false for any other value.
bool topology_for_mode(std::int64_t mode, Topology* out) noexcept;

// Triangles formed from a list of n >= 0 entries.
std::int64_t face_count(Topology t, std::int64_t n) noexcept;

// Indices read for `faces` triangles of topology t (tightly packed list).
std::int64_t indices_read(Topology t, std::int64_t faces) noexcept;

// Writes `faces` rows of three int64 vertex rows into out (row pitch 3):
// list entry k is idx[k] (little-endian, idx_size 1, 2 or 4 bytes) or,
// when idx is null, k itself; voffset is added to every value. Returns
// the largest list value read (before voffset), -1 when none was read.
std::int64_t write_faces(const std::uint8_t* idx, std::int32_t idx_size, Topology t,
                         std::int64_t faces, std::int64_t voffset, std::int64_t* out) noexcept;

// Clips every value to [0, 1] and rounds it to the nearest multiple of
// 1/32, halves going up (floor(32 * y + 0.5) / 32). NaN stays NaN.
void quantize_grid(double* data, std::int64_t rows, std::int64_t cols,
                   std::ptrdiff_t row_pitch) noexcept;

// One value of quantize_grid, for reference and tests of the loop.
double quantize_value(double x) noexcept;

}  // namespace tsr::gltf
