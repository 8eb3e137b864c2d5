// The OBJ number writer and line rules (see obj_text.h).
//
// "%.6f" is written by an exact integer path for finite |x| < 2^44 (all
// coordinates a mesh realistically holds) and by std::to_chars otherwise.
// Both are locale-free and give the digits of C printf in the C locale:
// the decimal value of the double rounded to six places, ties to even.
#include "obj_text.h"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstring>

namespace tsr::objtext {
namespace {

__extension__ typedef unsigned __int128 u128;

// Digits go out eight at a time: a 64-bit word holds eight ASCII digits,
// the first one in its lowest byte, and is stored so that this byte comes
// first in memory.
constexpr std::uint64_t kAsciiZeros = 0x3030303030303030ull;

// The four ASCII digits of 0..9999, first digit in the lowest byte.
struct QuadTable {
    std::uint32_t d[10000];
    constexpr QuadTable() : d() {
        for (std::uint32_t i = 0; i < 10000; ++i) {
            d[i] = (0x30u + i / 1000) | (0x30u + i / 100 % 10) << 8 |
                   (0x30u + i / 10 % 10) << 16 | (0x30u + i % 10) << 24;
        }
    }
};
constexpr QuadTable kQuads{};

// The eight ASCII digits of v < 10^8 (with leading zeros), first digit in
// the lowest byte, so that storing the word writes them in order.
inline std::uint64_t ascii8(std::uint32_t v) noexcept {
    const auto hi = static_cast<std::uint32_t>((std::uint64_t{v} * 109951163) >> 40);  // v / 10^4
    const std::uint32_t lo = v - hi * 10000;
    return kQuads.d[hi] | std::uint64_t{kQuads.d[lo]} << 32;
}

inline void store8(char* out, std::uint64_t w) noexcept {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    w = __builtin_bswap64(w);
#endif
    std::memcpy(out, &w, 8);
}

// v < 10^8 without leading zeros. Stores 8 bytes; the ones past the
// returned end are scratch for the next writes.
inline char* write_upto8(char* out, std::uint32_t v) noexcept {
    const std::uint64_t w = ascii8(v);
    const unsigned zeros =
        static_cast<unsigned>(__builtin_ctzll((w ^ kAsciiZeros) | (1ull << 56))) >> 3;
    store8(out, w >> (zeros * 8));
    return out + 8 - zeros;
}

// v < 10^8 as exactly eight digits.
inline char* write_8(char* out, std::uint32_t v) noexcept {
    store8(out, ascii8(v));
    return out + 8;
}

// '.' and the six digits of v < 10^6. Stores 8 bytes, returns out + 7.
inline char* write_point6(char* out, std::uint32_t v) noexcept {
    store8(out, ((ascii8(v) >> 8) & ~0xFFull) | '.');
    return out + 7;
}

// Decimal digits of v, no sign, no leading zeros; may store up to 7
// scratch bytes past the returned end.
inline char* write_u64(char* out, std::uint64_t v) noexcept {
    constexpr std::uint64_t e8 = 100000000, e16 = e8 * e8;
    if (v < e8) return write_upto8(out, static_cast<std::uint32_t>(v));
    if (v < e16) {
        out = write_upto8(out, static_cast<std::uint32_t>(v / e8));
        return write_8(out, static_cast<std::uint32_t>(v % e8));
    }
    out = write_upto8(out, static_cast<std::uint32_t>(v / e16));
    v %= e16;
    out = write_8(out, static_cast<std::uint32_t>(v / e8));
    return write_8(out, static_cast<std::uint32_t>(v % e8));
}

inline char* write_i64(char* out, std::int64_t v) noexcept {
    auto u = static_cast<std::uint64_t>(v);
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

    *out = '-';  // kept for -0.0 and negatives rounding to zero too
    out += bits >> 63;
    std::uint64_t m = bits & ((std::uint64_t{1} << 52) - 1);
    unsigned s;
    if (biased == 0) {
        s = 1074;  // subnormal or zero
    } else {
        m |= std::uint64_t{1} << 52;
        s = 1075 - biased;  // >= 9 here
    }
    std::uint64_t n = 0;
    if (s < 64) {
        // The usual case: the quotient fits 64 bits (s >= 9) and the
        // remainder lies in the low word.
        const u128 p = static_cast<u128>(m) * 1000000u;
        const auto lo = static_cast<std::uint64_t>(p);
        const auto hi = static_cast<std::uint64_t>(p >> 64);
        n = (hi << (64 - s)) | (lo >> s);
        const std::uint64_t rem = lo & ((std::uint64_t{1} << s) - 1);
        const std::uint64_t half = std::uint64_t{1} << (s - 1);
        n += static_cast<std::uint64_t>(rem > half) |
             (static_cast<std::uint64_t>(rem == half) & (n & 1));
    } else if (s < 75) {  // otherwise m * 10^6 < 2^73 <= 2^(s-1): rounds to 0
        const u128 p = static_cast<u128>(m) * 1000000u;
        const u128 q = p >> s;
        const u128 rem = p - (q << s);
        const u128 half = static_cast<u128>(1) << (s - 1);
        n = static_cast<std::uint64_t>(q);
        n += static_cast<std::uint64_t>(rem > half) |
             (static_cast<std::uint64_t>(rem == half) & (n & 1));
    }
    const std::uint64_t ip = n / 1000000;
    const auto fp = static_cast<std::uint32_t>(n - ip * 1000000);
    out = write_u64(out, ip);
    return write_point6(out, fp);
}

// Writes lines with `write_row(p, row)` (returns the new end) while a
// longest line and its scratch bytes still fit before `limit`.
template <class WriteRow>
RowsWritten write_rows(char* p, const char* limit, std::size_t room, std::size_t first,
                       std::size_t n, WriteRow write_row) noexcept {
    std::size_t i = first;
    for (; i < n; ++i) {
        if (limit - p < static_cast<std::ptrdiff_t>(room)) break;
        p = write_row(p, i);
    }
    return {p, i};
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

RowsWritten write_vertex_rows(char* out, const char* limit, const double* rows,
                              std::size_t first, std::size_t n, std::size_t cols) noexcept {
    return write_rows(out, limit, kVertexRowRoom, first, n, [&](char* p, std::size_t i) {
        const double* r = rows + i * cols;
        return write_vertex_line(p, r[0], r[1], r[2]);
    });
}

RowsWritten write_texcoord_rows(char* out, const char* limit, const double* rows,
                                std::size_t first, std::size_t n, std::size_t cols) noexcept {
    return write_rows(out, limit, kTexcoordRowRoom, first, n, [&](char* p, std::size_t i) {
        const double* r = rows + i * cols;
        return write_texcoord_line(p, r[0], r[1]);
    });
}

RowsWritten write_face_rows(char* out, const char* limit, const std::int64_t* rows,
                            std::size_t first, std::size_t n, std::size_t cols,
                            bool with_vt) noexcept {
    if (with_vt) {
        return write_rows(out, limit, kFaceRowRoom, first, n, [&](char* p, std::size_t i) {
            const std::int64_t* r = rows + i * cols;
            return face_line(p, r[0], r[1], r[2], true);
        });
    }
    return write_rows(out, limit, kFaceRowRoom, first, n, [&](char* p, std::size_t i) {
        const std::int64_t* r = rows + i * cols;
        return face_line(p, r[0], r[1], r[2], false);
    });
}

}  // namespace tsr::objtext
