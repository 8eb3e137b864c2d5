// The OBJ number writer and line rules (see obj_text.h).
//
// "%.6f" is written by an exact integer path for finite |x| < 2^44 (all
// coordinates a mesh realistically holds) and by std::to_chars otherwise.
// Both are locale-free and give the digits of C printf in the C locale:
// the decimal value of the double rounded to six places, ties to even.
#include "obj_text.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace tsr::objtext {
namespace {

__extension__ typedef unsigned __int128 u128;

struct PairTable {
    char d[200];
    constexpr PairTable() : d() {
        for (int i = 0; i < 100; ++i) {
            d[2 * i] = static_cast<char>('0' + i / 10);
            d[2 * i + 1] = static_cast<char>('0' + i % 10);
        }
    }
};
constexpr PairTable kPairs{};

inline void put_pair(char* p, unsigned v) noexcept { std::memcpy(p, kPairs.d + 2 * v, 2); }

inline int count_digits(std::uint64_t v) noexcept {
    int n = 1;
    for (;;) {
        if (v < 10) return n;
        if (v < 100) return n + 1;
        if (v < 1000) return n + 2;
        if (v < 10000) return n + 3;
        v /= 10000;
        n += 4;
    }
}

// Decimal digits of v, no sign, no leading zeros.
inline char* write_u64(char* out, std::uint64_t v) noexcept {
    const int n = count_digits(v);
    char* p = out + n;
    while (v >= 100) {
        p -= 2;
        put_pair(p, static_cast<unsigned>(v % 100));
        v /= 100;
    }
    if (v >= 10) {
        put_pair(p - 2, static_cast<unsigned>(v));
    } else {
        p[-1] = static_cast<char>('0' + v);
    }
    return out + n;
}

inline char* write_i64(char* out, std::int64_t v) noexcept {
    std::uint64_t u = static_cast<std::uint64_t>(v);
    if (v < 0) {
        *out++ = '-';
        u = 0 - u;  // also right for INT64_MIN
    }
    return write_u64(out, u);
}

// Non-finite values and |x| >= 2^44: printf writes "inf", "-inf", "nan" and
// "-nan" (the sign bit of a NaN shows); std::to_chars writes the exact
// decimal expansion of everything else.
[[gnu::noinline, gnu::cold]] char* fixed6_general(char* out, double x) noexcept {
    if (std::isnan(x)) {
        if (std::signbit(x)) *out++ = '-';
        std::memcpy(out, "nan", 3);
        return out + 3;
    }
    if (std::isinf(x)) {
        if (std::signbit(x)) *out++ = '-';
        std::memcpy(out, "inf", 3);
        return out + 3;
    }
    return std::to_chars(out, out + kMaxFixed6, x, std::chars_format::fixed, 6).ptr;
}

// Exact "%.6f": x = m / 2^s with integer m < 2^53; N = m * 10^6 / 2^s
// rounded half to even on the exact remainder; then N / 10^6 '.' N % 10^6.
// For |x| < 2^44, N < 2^44 * 10^6 < 2^64.
inline char* fixed6(char* out, double x) noexcept {
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    const unsigned biased = static_cast<unsigned>(bits >> 52) & 0x7ff;
    if (biased >= 1023 + 44) return fixed6_general(out, x);

    if (bits >> 63) *out++ = '-';  // also -0.0 and negatives rounding to zero
    std::uint64_t m = bits & ((std::uint64_t{1} << 52) - 1);
    unsigned s;
    if (biased == 0) {
        s = 1074;  // subnormal or zero
    } else {
        m |= std::uint64_t{1} << 52;
        s = 1075 - biased;  // >= 10 here
    }
    std::uint64_t n = 0;
    if (s < 75) {  // otherwise m * 10^6 < 2^73 <= 2^(s-1): rounds to 0
        const u128 p = static_cast<u128>(m) * 1000000u;
        const u128 q = p >> s;
        const u128 rem = p - (q << s);
        const u128 half = static_cast<u128>(1) << (s - 1);
        n = static_cast<std::uint64_t>(q);
        if (rem > half || (rem == half && (n & 1))) ++n;
    }
    const std::uint64_t ip = n / 1000000;
    const unsigned fp = static_cast<unsigned>(n % 1000000);
    out = write_u64(out, ip);
    *out = '.';
    put_pair(out + 1, fp / 10000);
    put_pair(out + 3, (fp / 100) % 100);
    put_pair(out + 5, fp % 100);
    return out + 7;
}

// Size to ask for before writing `rows` more lines of typically up to
// `per_line` bytes: at least one longest line; saturates instead of
// overflowing (an impossible size then fails as out of memory).
std::size_t room_for(std::size_t rows, std::size_t per_line, std::size_t max_line) noexcept {
    const std::size_t limit = (SIZE_MAX - max_line) / per_line;
    return rows <= limit ? rows * per_line + max_line : SIZE_MAX;
}

// Writes one line per row with `write_row(p, i)` (returns the new end).
// Room for a longest line is checked before each row, so no row is ever
// cut or dropped; the buffer grows (geometrically) when needed.
template <class WriteRow>
bool append_rows(TextBuffer& out, std::size_t n, std::size_t per_line, std::size_t max_line,
                 WriteRow write_row) noexcept {
    if (n == 0) return true;
    if (!out.reserve(room_for(n, per_line, max_line))) return false;
    char* p = out.end();
    char* last = p + (out.room() - max_line);  // a longest line fits from here
    for (std::size_t i = 0; i < n; ++i) {
        if (p > last) {
            out.commit(p);
            if (!out.reserve(room_for(n - i, per_line, max_line))) return false;
            p = out.end();
            last = p + (out.room() - max_line);
        }
        p = write_row(p, i);
    }
    out.commit(p);
    return true;
}

}  // namespace

char* write_fixed6(char* out, double x) noexcept { return fixed6(out, x); }

char* write_int64(char* out, std::int64_t v) noexcept { return write_i64(out, v); }

char* write_vertex_line(char* out, double x, double y, double z) noexcept {
    *out++ = 'v';
    *out++ = ' ';
    out = fixed6(out, x);
    *out++ = ' ';
    out = fixed6(out, y);
    *out++ = ' ';
    out = fixed6(out, z);
    *out++ = '\n';
    return out;
}

char* write_texcoord_line(char* out, double u, double v) noexcept {
    *out++ = 'v';
    *out++ = 't';
    *out++ = ' ';
    out = fixed6(out, u);
    *out++ = ' ';
    out = fixed6(out, v);
    *out++ = '\n';
    return out;
}

namespace {

inline char* face_corner(char* out, std::int64_t idx, bool with_vt) noexcept {
    *out++ = ' ';
    out = write_i64(out, idx);
    if (with_vt) {
        *out++ = '/';
        out = write_i64(out, idx);
    }
    return out;
}

inline char* face_line(char* out, std::int64_t a, std::int64_t b, std::int64_t c,
                       bool with_vt) noexcept {
    *out++ = 'f';
    out = face_corner(out, a, with_vt);
    out = face_corner(out, b, with_vt);
    out = face_corner(out, c, with_vt);
    *out++ = '\n';
    return out;
}

}  // namespace

char* write_face_line(char* out, std::int64_t a, std::int64_t b, std::int64_t c,
                      bool with_vt) noexcept {
    return face_line(out, a, b, c, with_vt);
}

TextBuffer::~TextBuffer() { std::free(data_); }

bool TextBuffer::reserve(std::size_t room) noexcept {
    if (cap_ - size_ >= room) return true;
    if (room > SIZE_MAX - size_) return false;
    std::size_t want = size_ + room;
    const std::size_t grown = cap_ + cap_ / 2;
    if (grown > want && grown > cap_) want = grown;
    void* p = std::realloc(data_, want);
    if (!p) return false;
    data_ = static_cast<char*>(p);
    cap_ = want;
    return true;
}

// Budgets per row for the first allocation: comfortably above the usual
// line lengths (ECEF coordinates give about 55-byte vertex lines).
bool append_vertex_lines(TextBuffer& out, const double* rows, std::size_t n,
                         std::size_t cols) noexcept {
    return append_rows(out, n, 80, kMaxVertexLine, [&](char* p, std::size_t i) {
        const double* r = rows + i * cols;
        return write_vertex_line(p, r[0], r[1], r[2]);
    });
}

bool append_texcoord_lines(TextBuffer& out, const double* rows, std::size_t n,
                           std::size_t cols) noexcept {
    return append_rows(out, n, 48, kMaxTexcoordLine, [&](char* p, std::size_t i) {
        const double* r = rows + i * cols;
        return write_texcoord_line(p, r[0], r[1]);
    });
}

bool append_face_lines(TextBuffer& out, const std::int64_t* rows, std::size_t n,
                       std::size_t cols, bool with_vt) noexcept {
    if (with_vt) {
        return append_rows(out, n, 64, kMaxFaceLine, [&](char* p, std::size_t i) {
            const std::int64_t* r = rows + i * cols;
            return face_line(p, r[0], r[1], r[2], true);
        });
    }
    return append_rows(out, n, 40, kMaxFaceLine, [&](char* p, std::size_t i) {
        const std::int64_t* r = rows + i * cols;
        return face_line(p, r[0], r[1], r[2], false);
    });
}

}  // namespace tsr::objtext
