// Vertex-line rule, parser and the two scans over OBJ text (see obj_file.h).
#include "obj_file.h"

#include "../obj_text/obj_text.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <locale.h>
#include <system_error>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tsr::objfile {
namespace {

// Bytes up to 0x20 as bits: the blanks of the C locale's isspace() less
// the 0x0A, which never occurs inside a line (blank, \t, \v, \f, \r),
// and the bytes that certainly end a number: those blanks, the line end,
// and the zero byte that ends the string sscanf sees.
constexpr std::uint64_t kBlanks = (1ull << ' ') | (1ull << '\t') | (1ull << '\v') |
                                  (1ull << '\f') | (1ull << '\r');
constexpr std::uint64_t kEnders = kBlanks | (1ull << '\n') | 1ull;

inline bool in_set(char c, std::uint64_t set) noexcept {
    const auto u = static_cast<unsigned char>(c);
    return u <= ' ' && ((set >> u) & 1);
}
inline bool is_blank(char c) noexcept { return in_set(c, kBlanks); }
inline bool is_digit(char c) noexcept {
    return static_cast<unsigned>(c - '0') < 10u;
}
// Where sscanf's "%lf" necessarily ends: one of kEnders, or the limit of
// the scan.
inline bool ends_number(const char* p, const char* limit) noexcept {
    return p == limit || in_set(*p, kEnders);
}

constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                             1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                             1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr std::uint64_t kPow10Int[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000,
                                       100000000};
constexpr std::uint64_t kOnes = 0x0101010101010101u;

// Eight bytes at p as one little-endian word.
inline std::uint64_t load8(const char* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

// Reads the run of digits at p into *m (m = m * 10^k + digits, wrapping
// past 19 digits) and returns the number of digits k.
inline int read_digits(const char*& p, const char* limit, std::uint64_t* m) noexcept {
    int count = 0;
    for (; p != limit && is_digit(*p); ++p, ++count) *m = *m * 10 + static_cast<unsigned>(*p - '0');
    return count;
}

// m / 10^frac with the sign bit `neg`, when that is exact: with m <= 2^53
// and frac <= 22 both m and 10^frac are exact doubles and the quotient is
// one correctly rounded division, the same double as the correctly rounded
// decimal conversion of the C library. The sign goes in as a bit: signs in
// a file are often random, and a branch on them would be mispredicted half
// the time.
inline bool exact_decimal(std::uint64_t m, int frac, bool neg, double* out) noexcept {
    if (m > (std::uint64_t{1} << 53) || frac > 22) return false;
    const double v = static_cast<double>(m) / kPow10[frac];
    std::uint64_t bits;
    std::memcpy(&bits, &v, 8);
    bits |= static_cast<std::uint64_t>(neg) << 63;
    std::memcpy(out, &bits, 8);
    return true;
}

// Reads one number in plain decimal form at p: an optional '-', digits
// with at most one '.', at least one digit, an optional complete exponent,
// and then a byte that no number continues with. Returns the end of the
// number, or null for anything else (a '+', hex, inf, nan, a partial form
// such as "1e" or "0x", a number running into other text, a value out of
// the double range); those are left to sscanf. Up to 19 digits without an
// exponent go through exact_decimal, the rest through std::from_chars,
// which is exact as well.
const char* plain_number(const char* p, const char* limit, double* out) noexcept {
    const char* const start = p;
    const bool neg = p != limit && *p == '-';
    if (neg) ++p;
    std::uint64_t m = 0;
    int digits = read_digits(p, limit, &m);
    int frac = 0;
    if (p != limit && *p == '.') {
        ++p;
        frac = read_digits(p, limit, &m);
        digits += frac;
    }
    if (digits == 0) return nullptr;
    if (ends_number(p, limit)) {
        if (digits <= 19 && exact_decimal(m, frac, neg, out)) return p;
    } else if (*p != 'e' && *p != 'E') {
        return nullptr;
    }
    double v;
    const auto r = std::from_chars(start, limit, v);
    if (r.ec != std::errc() || !ends_number(r.ptr, limit)) return nullptr;
    *out = v;
    return r.ptr;
}

// The C locale, for sscanf on the calling thread. glibc hands out its
// static C locale object for this request, so this does not fail.
locale_t c_locale() noexcept {
    static const locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return loc;
}

// Makes `loc` the calling thread's locale for the guard's lifetime.
class ThreadLocale {
public:
    explicit ThreadLocale(locale_t loc) noexcept : prev_(loc ? uselocale(loc) : nullptr) {}
    ~ThreadLocale() {
        if (prev_) uselocale(prev_);
    }
    ThreadLocale(const ThreadLocale&) = delete;
    ThreadLocale& operator=(const ThreadLocale&) = delete;

private:
    locale_t prev_;
};

// The general route: the C library's own sscanf on a zero-terminated copy
// of the line, in the C locale.
bool parse_with_sscanf(const char* line, std::size_t len, Vertex* out) noexcept {
    char buf[kLongestVertexLine + 1];
    std::memcpy(buf, line, len);
    buf[len] = '\0';
    int consumed = -1;
    int got;
    {
        ThreadLocale c(c_locale());
        got = std::sscanf(buf, "v %lf %lf %lf%n", &out->xyz[0], &out->xyz[1], &out->xyz[2],
                          &consumed);
    }
    if (got != 3) return false;
    out->tail = consumed >= 0 ? static_cast<std::size_t>(consumed) : len;
    out->len = len;
    return true;
}

// The data is read once, front to back, mostly straight from memory: asking
// for it 4 KB ahead hides much of the wait (measured: 1 KB ahead leaves the
// search for "\nv " about 10% slower, the shift's scan about 7%).
// (The address is computed as a number: it may lie past the data, which a
// prefetch tolerates.)
inline void prefetch_ahead(const char* p) noexcept {
    __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(p) + 4096));
}

// The next line start at or after data[from] that begins with "v ": a
// 0x0A at index >= from followed by "v ". Null if there is none. Searched
// sixteen bytes at a time.
const char* next_v_line(const char* data, std::size_t n, std::size_t from) noexcept {
    std::size_t i = from;
#if defined(__SSE2__)
    const __m128i nl = _mm_set1_epi8('\n'), v = _mm_set1_epi8('v'), sp = _mm_set1_epi8(' ');
    for (; i + 18 <= n; i += 16) {
        const char* p = data + i;
        prefetch_ahead(p);
        const __m128i a = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), nl);
        const __m128i b = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 1)), v);
        const __m128i c = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 2)), sp);
        const int mask = _mm_movemask_epi8(_mm_and_si128(_mm_and_si128(a, b), c));
        if (mask != 0) return p + __builtin_ctz(static_cast<unsigned>(mask)) + 1;
    }
#endif
    for (; i + 2 < n; ++i)
        if (data[i] == '\n' && data[i + 1] == 'v' && data[i + 2] == ' ') return data + i + 1;
    return nullptr;
}

// Calls on_line(line) for every line of data[0 .. n) that starts with
// "v ", in order: the only lines that can be vertex lines. on_line returns
// the end of the line when it found a vertex line (its 0x0A or the data
// end), else null. A run of vertex lines is followed line by line; the
// search takes over after any other line.
template <class OnLine>
void for_each_v_line(const char* data, std::size_t n, OnLine&& on_line) {
    const char* const end = data + n;
    const char* line = n >= 2 && data[0] == 'v' && data[1] == ' ' ? data : next_v_line(data, n, 0);
    while (line != nullptr) {
        prefetch_ahead(line);
        const char* line_end = on_line(line);
        if (line_end != nullptr && end - line_end >= 3 && line_end[1] == 'v' && line_end[2] == ' ') {
            line = line_end + 1;
            continue;
        }
        line = next_v_line(data, n, static_cast<std::size_t>((line_end ? line_end : line) - data));
    }
}

// The k digits at p (k <= 8, eight bytes readable) as an integer: digit
// bytes become 0..9, move to the top of the word (zero digits below), then
// pairs, quads and the two halves are combined.
inline std::uint64_t digits_value(const char* p, int k) noexcept {
    if (k == 0) return 0;
    std::uint64_t v = (load8(p) ^ (kOnes * '0')) << (8 * (8 - k));
    v = (v * 10) + (v >> 8);
    return (((v & 0x000000FF000000FFu) * (100 + (1000000ull << 32))) +
            (((v >> 16) & 0x000000FF000000FFu) * (1 + (10000ull << 32)))) >> 32;
}

#if defined(__SSE2__)
// Bit i set when p[i] is a digit, for i < 64.
inline std::uint64_t digit_mask64(const char* p) noexcept {
    const __m128i zero = _mm_set1_epi8('0'), nine = _mm_set1_epi8(9);
    std::uint64_t mask = 0;
    for (int j = 0; j < 4; ++j) {
        const __m128i d =
            _mm_sub_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * j)), zero);
        const __m128i is = _mm_cmpeq_epi8(_mm_min_epu8(d, nine), d);
        mask |= static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(is))) << (16 * j);
    }
    return mask;
}

// Masks of the 64 bytes at p (bit i for p[i]): digits and '.'. Each
// 16-byte part is loaded once for both.
struct LineMasks {
    std::uint64_t digits, points;
};
inline LineMasks line_masks(const char* p) noexcept {
    const __m128i zero = _mm_set1_epi8('0'), nine = _mm_set1_epi8(9), dot = _mm_set1_epi8('.');
    LineMasks m{0, 0};
    auto part = [&](int j) {
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * j));
        const __m128i d = _mm_sub_epi8(b, zero);
        const auto bits = [](__m128i x) {
            return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(x)));
        };
        m.digits |= bits(_mm_cmpeq_epi8(_mm_min_epu8(d, nine), d)) << (16 * j);
        m.points |= bits(_mm_cmpeq_epi8(b, dot)) << (16 * j);
    };
    part(0);
    part(1);
    part(2);
    part(3);
    return m;
}

// The shape "%.6f" writes, tried before anything else when 64 bytes are
// readable from the line start: "v", then three times one blank, an
// optional '-', 1 to 8 digits, '.' and exactly 6 digits, and the 0x0A
// right after the third number. The line is checked at once on masks of
// its 64 bytes: the first three points fix where the line ends and where
// every other byte must be, and all bytes but those must be digits (so no
// 0x0A comes earlier). No step waits on the one before, so the line end is
// known early and the next line can start while this one converts. The
// digit runs are converted eight bytes at a time and each value is the one
// exact division by 1e6 of an integer below 10^14. False for anything else,
// which then takes the routes below with their own checks. (Reads stay
// within the 64 bytes: a number's digits are loaded only once its own and
// the earlier numbers' checks passed, which keeps the last point at <= 45.)
inline bool fixed6_line(const char* line, Vertex* out) noexcept {
    const LineMasks mk = line_masks(line);
    const std::uint64_t points = mk.points;
    if (points == 0) return false;
    const int p1 = __builtin_ctzll(points);
    const std::uint64_t rest = points & (points - 1);
    if (rest == 0) return false;
    const int p2 = __builtin_ctzll(rest);
    const std::uint64_t last = rest & (rest - 1);
    if (last == 0) return false;
    const int p3 = __builtin_ctzll(last);
    // The line end 6 digits after the third point.
    const int len = p3 + 7;
    if (len > 63 || line[len] != '\n') return false;  // so p1 < p2 < 56
    const std::uint64_t in_line = (std::uint64_t{1} << len) - 1;
    const int s1 = p1 + 8, s2 = p2 + 8;  // where the second and third numbers start
    const int n0 = line[2] == '-', n1 = line[s1] == '-', n2 = line[s2] == '-';
    const std::uint64_t one = 1;
    const std::uint64_t others = 3 | (one << p1) | (one << p2) | (one << p3) |
                                 (one << (p1 + 7)) | (one << (p2 + 7)) |
                                 (static_cast<std::uint64_t>(n0) << 2) |
                                 (static_cast<std::uint64_t>(n1) << s1) |
                                 (static_cast<std::uint64_t>(n2) << s2);
    if ((mk.digits & in_line) != (in_line & ~others) || line[0] != 'v' || line[1] != ' ' ||
        line[p1 + 7] != ' ' || line[p2 + 7] != ' ')
        return false;
    const int a[3] = {2 + n0, s1 + n1, s2 + n2};
    const int p[3] = {p1, p2, p3};
    const int neg[3] = {n0, n1, n2};
    for (int i = 0; i < 3; ++i) {
        const int k1 = p[i] - a[i];
        // 1..8 integer digits. At least one for the next number puts its
        // point past this number's six fraction digits and blank.
        if (k1 - 1u > 7u) return false;
        const std::uint64_t m =
            digits_value(line + a[i], k1) * 1000000u + digits_value(line + p[i] + 1, 6);
        const double v = static_cast<double>(m) / 1e6;
        std::uint64_t bits;
        std::memcpy(&bits, &v, 8);
        bits |= static_cast<std::uint64_t>(neg[i]) << 63;
        std::memcpy(&out->xyz[i], &bits, 8);
    }
    out->tail = static_cast<std::size_t>(len);
    out->len = static_cast<std::size_t>(len);
    return true;
}

// The common case, taken first when 64 bytes are readable from the line
// start: the line and its 0x0A within those 64 bytes, three plain numbers
// with at most 8 digits before and 8 after the point (the shape "%.6f"
// writes). The digit runs come from one mask of the 64 bytes; the value is
// the same exact division as in plain_number. False for anything else,
// which then takes the general routes.
bool short_line(const char* line, Vertex* out) noexcept {
    const std::uint64_t digits = digit_mask64(line);
    int pos = 1;
    for (double& value : out->xyz) {
        while (pos < 56 && is_blank(line[pos])) ++pos;
        const int neg = line[pos] == '-';
        const int a = pos + neg;  // first digit (or the point)
        if (a >= 56) return false;
        const int k1 = __builtin_ctzll(~(digits >> a));
        if (k1 > 8) return false;
        const int point = a + k1;  // < 64
        int k2 = 0;
        int stop = point;
        if (line[point] == '.') {
            if (point >= 55) return false;
            k2 = __builtin_ctzll(~(digits >> (point + 1)));
            if (k2 > 8) return false;
            stop = point + 1 + k2;  // < 64
        }
        if (k1 + k2 == 0 || !ends_number(line + stop, nullptr)) return false;
        const std::uint64_t m =
            digits_value(line + a, k1) * kPow10Int[k2] + digits_value(line + point + 1, k2);
        if (!exact_decimal(m, k2, neg, &value)) return false;
        pos = stop;
    }
    const char* nl = line + pos;
    while (nl < line + 64 && *nl != '\n') ++nl;
    if (nl == line + 64) return false;
    out->tail = static_cast<std::size_t>(pos);
    out->len = static_cast<std::size_t>(nl - line);
    return true;
}
#endif

}  // namespace

namespace {

// parse_vertex_line() without the fixed6_line() try.
bool parse_other_line(const char* line, const char* end, Vertex* out) noexcept {
    if (end - line < static_cast<std::ptrdiff_t>(kShortestVertexLine) || line[0] != 'v' ||
        line[1] != ' ')
        return false;
    // A vertex line and its 0x0A fit in 512 bytes.
    const bool to_end = end - line <= static_cast<std::ptrdiff_t>(kLongestVertexLine + 1);
    const char* const limit = to_end ? end : line + kLongestVertexLine + 1;

#if defined(__SSE2__)
    if (end - line >= 64 && short_line(line, out)) return true;
#endif
    // Fast route: three plain numbers, read in place.
    const char* p = line + 1;
    for (double& value : out->xyz) {
        while (p < limit && is_blank(*p)) ++p;
        p = plain_number(p, limit, &value);
        if (p == nullptr) break;
    }
    if (p != nullptr) {
        const void* nl = p < limit && *p == '\n'
                             ? p
                             : std::memchr(p, '\n', static_cast<std::size_t>(limit - p));
        const char* line_end = nl ? static_cast<const char*>(nl) : end;
        if (nl == nullptr && (!to_end || end - line > static_cast<std::ptrdiff_t>(kLongestVertexLine)))
            return false;
        out->tail = static_cast<std::size_t>(p - line);
        out->len = static_cast<std::size_t>(line_end - line);
        return true;
    }

    // General route: the exact line through sscanf.
    const void* nl = std::memchr(line, '\n', static_cast<std::size_t>(limit - line));
    const std::size_t len = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - line)
                               : static_cast<std::size_t>(end - line);
    if (len < kShortestVertexLine || len > kLongestVertexLine) return false;
    return parse_with_sscanf(line, len, out);
}

// The common shape inline, the rest out of line.
inline bool parse_line(const char* line, const char* end, Vertex* out) noexcept {
#if defined(__SSE2__)
    if (end - line >= 64 && fixed6_line(line, out)) return true;
#endif
    return parse_other_line(line, end, out);
}

}  // namespace

bool parse_vertex_line(const char* line, const char* end, Vertex* out) noexcept {
    return parse_line(line, end, out);
}

Extent scan_extent(const char* data, std::size_t n) noexcept {
    Extent e;
    const char* const end = data + n;
    for_each_v_line(data, n, [&](const char* line) -> const char* {
        Vertex v;
        if (!parse_line(line, end, &v)) return nullptr;
        if (!e.found) {
            for (int k = 0; k < 3; ++k) e.min[k] = e.max[k] = v.xyz[k];
            e.found = true;
        } else {
            // Without branches (the bounds of random data move rarely but
            // unpredictably); a NaN compares false and moves nothing.
            for (int k = 0; k < 3; ++k) {
                e.min[k] = v.xyz[k] < e.min[k] ? v.xyz[k] : e.min[k];
                e.max[k] = v.xyz[k] > e.max[k] ? v.xyz[k] : e.max[k];
            }
        }
        return line + v.len;
    });
    return e;
}

bool shift_vertices(const char* data, std::size_t n, double dx, double dy, double dz,
                    Sink& out, std::uint64_t* count) noexcept {
    const char* const end = data + n;
    const char* copy_from = data;  // start of the bytes still to copy as they are
    std::uint64_t rewritten = 0;
    bool ok = true;
    for_each_v_line(data, n, [&](const char* line) -> const char* {
        Vertex v;
        if (!ok || !parse_line(line, end, &v)) return nullptr;
        ok = out.append(copy_from, static_cast<std::size_t>(line - copy_from));
        const std::size_t tail = v.len - v.tail;
        char* p = ok ? out.room(objtext::kMaxVertexLine + tail + 1) : nullptr;
        if (p == nullptr) {
            ok = false;
            return nullptr;
        }
        p = objtext::write_vertex_line(p, v.xyz[0] - dx, v.xyz[1] - dy, v.xyz[2] - dz);
        if (tail != 0) {  // the tail goes before the line's newline (most lines have none)
            --p;
            std::memcpy(p, line + v.tail, tail);
            p += tail;
            *p++ = '\n';
        }
        out.commit(p);
        ++rewritten;
        copy_from = line + std::min(v.len + 1, static_cast<std::size_t>(end - line));
        return line + v.len;
    });
    if (!ok || !out.append(copy_from, static_cast<std::size_t>(end - copy_from))) return false;
    *count = rewritten;
    return true;
}

}  // namespace tsr::objfile
