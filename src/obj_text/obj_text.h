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
// `out` needs room for kMaxFixed6 bytes. No terminating zero is written.
char* write_fixed6(char* out, double x) noexcept;

// Writes v as printf("%lld") would; `out` needs room for kMaxInt64 bytes.
char* write_int64(char* out, std::int64_t v) noexcept;

// "v %.6f %.6f %.6f\n"
char* write_vertex_line(char* out, double x, double y, double z) noexcept;
// "vt %.6f %.6f\n"
char* write_texcoord_line(char* out, double u, double v) noexcept;
// "f %lld %lld %lld\n", or with_vt: "f %lld/%lld %lld/%lld %lld/%lld\n"
char* write_face_line(char* out, std::int64_t a, std::int64_t b, std::int64_t c,
                      bool with_vt) noexcept;

// A growable byte buffer from malloc, freed when the object is destroyed.
// Usable without the interpreter lock.
class TextBuffer {
public:
    TextBuffer() noexcept = default;
    TextBuffer(const TextBuffer&) = delete;
    TextBuffer& operator=(const TextBuffer&) = delete;
    ~TextBuffer();

    const char* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }

    // Makes room for at least `room` more bytes; false when memory runs out
    // (the text written so far is kept).
    bool reserve(std::size_t room) noexcept;

    char* end() noexcept { return data_ + size_; }
    std::size_t room() const noexcept { return cap_ - size_; }
    void commit(char* new_end) noexcept { size_ = static_cast<std::size_t>(new_end - data_); }

private:
    char* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t cap_ = 0;
};

// Append one line per row of a C-ordered row-major matrix of `cols` columns
// (at least 3 for vertices and faces, 2 for texture coordinates; the rest
// are ignored). Every row is written whole: the buffer grows as needed.
// False only when memory runs out.
bool append_vertex_lines(TextBuffer& out, const double* rows, std::size_t n,
                         std::size_t cols) noexcept;
bool append_texcoord_lines(TextBuffer& out, const double* rows, std::size_t n,
                           std::size_t cols) noexcept;
bool append_face_lines(TextBuffer& out, const std::int64_t* rows, std::size_t n,
                       std::size_t cols, bool with_vt) noexcept;

}  // namespace tsr::objtext
