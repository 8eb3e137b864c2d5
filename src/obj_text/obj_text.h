// OBJ text: the one number writer ("%.6f" and "%lld" exactly as C printf
// writes them in the C locale, whatever the process locale) and the one
// rule for v, vt and f lines. Plain C++, no Python: the formatters and the
// OBJ file rewriter both build their lines here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tsr::objtext {

// Longest "%.6f" text of a double: '-', 309 integer digits, '.', 6 digits.
constexpr std::size_t kMaxFixed6 = 317;
// Longest "%lld" text of an int64.
constexpr std::size_t kMaxInt64 = 20;
// Longest lines, without a terminating zero byte.
constexpr std::size_t kMaxVertexLine = 2 + 3 * (kMaxFixed6 + 1);
constexpr std::size_t kMaxTexcoordLine = 3 + 2 * (kMaxFixed6 + 1);
constexpr std::size_t kMaxFaceLine = 2 + 6 * (kMaxInt64 + 1) + 1;

// Writes x as printf("%.6f") would in the C locale (including "inf",
// "-inf", "nan", "-nan" and "-0.000000"); returns the end of the text.
// `out` needs room for kMaxFixed6 bytes; bytes past the returned end may be
// overwritten as scratch. No terminating zero is written.
char* write_fixed6(char* out, double x) noexcept;

// Writes v as printf("%lld") would; `out` needs room for kMaxInt64 bytes
// (a few bytes past the returned end may be overwritten as scratch).
char* write_int64(char* out, std::int64_t v) noexcept;

// The line writers need room for kMax...Line bytes at `out` and return the
// end of the line.
// "v %.6f %.6f %.6f\n"
char* write_vertex_line(char* out, double x, double y, double z) noexcept;
// "vt %.6f %.6f\n"
char* write_texcoord_line(char* out, double u, double v) noexcept;
// "f %lld %lld %lld\n", or with_vt: "f %lld/%lld %lld/%lld %lld/%lld\n"
char* write_face_line(char* out, std::int64_t a, std::int64_t b, std::int64_t c,
                      bool with_vt) noexcept;

// Bulk writers: one line per row of a C-ordered matrix of `cols` columns
// (at least 3 for vertices and faces, 2 for texture coordinates; the rest
// are ignored), for rows first, first + 1, ... < n, written from `out` on.
// A row is started only while at least k...RowRoom bytes remain before
// `limit`, so every line is written whole; the caller makes more room and
// calls again from `next_row` when the result stops short of n. Scratch
// bytes may be stored past the returned end, never at or past `limit`.
struct RowsWritten {
    char* end;
    std::size_t next_row;
};
constexpr std::size_t kScratch = 8;
constexpr std::size_t kVertexRowRoom = kMaxVertexLine + kScratch;
constexpr std::size_t kTexcoordRowRoom = kMaxTexcoordLine + kScratch;
constexpr std::size_t kFaceRowRoom = kMaxFaceLine + kScratch;

RowsWritten write_vertex_rows(char* out, const char* limit, const double* rows,
                              std::size_t first, std::size_t n, std::size_t cols) noexcept;
RowsWritten write_texcoord_rows(char* out, const char* limit, const double* rows,
                                std::size_t first, std::size_t n, std::size_t cols) noexcept;
RowsWritten write_face_rows(char* out, const char* limit, const std::int64_t* rows,
                            std::size_t first, std::size_t n, std::size_t cols,
                            bool with_vt) noexcept;

}  // namespace tsr::objtext
