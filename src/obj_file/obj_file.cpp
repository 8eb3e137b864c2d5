// Vertex-line rule, parser and the two scans over OBJ text (see obj_file.h).
#include "obj_file.h"

#include "../obj_text/obj_text.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <clocale>
#include <cstdio>
#include <locale.h>
#include <system_error>

namespace tsr::objfile {
namespace {

// isspace() of the C locale: blank, \t, \n, \v, \f, \r.
inline bool is_space(char c) noexcept {
    return c == ' ' || (c >= '\t' && c <= '\r');
}
inline bool is_digit(char c) noexcept {
    return static_cast<unsigned>(c - '0') < 10u;
}
// Where sscanf's "%lf" necessarily ends: a blank, the end of the string
// (a zero byte inside the line ends the copy sscanf sees) or the line end.
inline bool ends_number(const char* p, const char* end) noexcept {
    return p == end || is_space(*p) || *p == '\0';
}

constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                             1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                             1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Reads one number in plain decimal form at p: an optional '-', digits
// with at most one '.', at least one digit, an optional complete exponent,
// and then a byte that no number continues with. Returns the end of the
// number, or null for anything else (a '+', hex, inf, nan, a partial form
// such as "1e" or "0x", a number running into other text, a value out of
// the double range); those are left to sscanf.
//
// With at most 19 digits, no exponent, a mantissa m <= 2^53 and k <= 22
// fraction digits, both m and 10^k are exact doubles and m / 10^k is one
// correctly rounded division: the same double as the correctly rounded
// decimal conversion of the C library. Everything else plainly decimal goes
// through std::from_chars, which is exact as well.
const char* plain_number(const char* p, const char* end, double* out) noexcept {
    const char* const start = p;
    const bool neg = p != end && *p == '-';
    if (neg) ++p;
    std::uint64_t m = 0;
    int digits = 0;
    int frac = 0;
    for (; p != end && is_digit(*p); ++p, ++digits) m = m * 10 + static_cast<unsigned>(*p - '0');
    if (p != end && *p == '.') {
        for (++p; p != end && is_digit(*p); ++p, ++digits, ++frac)
            m = m * 10 + static_cast<unsigned>(*p - '0');
    }
    if (digits == 0) return nullptr;
    if (ends_number(p, end)) {
        if (digits <= 19 && m <= (std::uint64_t{1} << 53) && frac <= 22) {
            const double v = static_cast<double>(m) / kPow10[frac];
            *out = neg ? -v : v;
            return p;
        }
    } else if (*p != 'e' && *p != 'E') {
        return nullptr;
    }
    double v;
    const auto r = std::from_chars(start, end, v);
    if (r.ec != std::errc() || !ends_number(r.ptr, end)) return nullptr;
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
    return true;
}

}  // namespace

bool parse_vertex_line(const char* line, std::size_t len, Vertex* out) noexcept {
    if (len < kShortestVertexLine || len > kLongestVertexLine || line[0] != 'v' ||
        line[1] != ' ')
        return false;
    const char* const end = line + len;
    const char* p = line + 1;
    for (double& value : out->xyz) {
        while (p != end && is_space(*p)) ++p;
        p = plain_number(p, end, &value);
        if (p == nullptr) return parse_with_sscanf(line, len, out);
    }
    out->tail = static_cast<std::size_t>(p - line);
    return true;
}

Extent scan_extent(const char* data, std::size_t n) noexcept {
    Extent e;
    std::size_t i = 0;
    while (i < n) {
        const char* line = data + i;
        const void* nl = std::memchr(line, '\n', n - i);
        const std::size_t line_end = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - data) : n;
        Vertex v;
        if (parse_vertex_line(line, line_end - i, &v)) {
            if (!e.found) {
                for (int k = 0; k < 3; ++k) e.min[k] = e.max[k] = v.xyz[k];
                e.found = true;
            } else {
                for (int k = 0; k < 3; ++k) {
                    if (e.min[k] > v.xyz[k])
                        e.min[k] = v.xyz[k];
                    else if (e.max[k] < v.xyz[k])
                        e.max[k] = v.xyz[k];
                }
            }
        }
        i = line_end + 1;
    }
    return e;
}

bool Sink::append_large(const char* p, std::size_t len) noexcept {
    while (len != 0) {
        std::size_t avail = static_cast<std::size_t>(end_ - cur_);
        if (avail == 0) {
            if (!make_room(len)) return false;
            avail = static_cast<std::size_t>(end_ - cur_);
        }
        const std::size_t k = std::min(avail, len);
        std::memcpy(cur_, p, k);
        cur_ += k;
        p += k;
        len -= k;
    }
    return true;
}

bool shift_vertices(const char* data, std::size_t n, double dx, double dy, double dz,
                    Sink& out, std::uint64_t* count) noexcept {
    std::uint64_t rewritten = 0;
    const char* copy_from = data;  // start of the bytes still to copy as they are
    std::size_t i = 0;
    while (i < n) {
        const char* line = data + i;
        const void* nl = std::memchr(line, '\n', n - i);
        const std::size_t line_end = nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - data) : n;
        const std::size_t len = line_end - i;
        Vertex v;
        if (parse_vertex_line(line, len, &v)) {
            if (!out.append(copy_from, static_cast<std::size_t>(line - copy_from))) return false;
            const std::size_t tail = len - v.tail;
            char* p = out.room(objtext::kMaxVertexLine + tail + 1);
            if (p == nullptr) return false;
            p = objtext::write_vertex_line(p, v.xyz[0] - dx, v.xyz[1] - dy, v.xyz[2] - dz);
            --p;  // the tail goes before the line's newline
            std::memcpy(p, line + v.tail, tail);
            p += tail;
            *p++ = '\n';
            out.commit(p);
            ++rewritten;
            copy_from = data + std::min(line_end + 1, n);
        }
        i = line_end + 1;
    }
    if (!out.append(copy_from, static_cast<std::size_t>(data + n - copy_from))) return false;
    *count = rewritten;
    return true;
}

}  // namespace tsr::objfile
