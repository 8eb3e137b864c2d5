// The OBJ number writer and line rules (see obj_text.h).
#include "obj_text.h"

#include <charconv>
#include <initializer_list>

namespace tsr::objtext {

char* write_fixed6(char* out, double x) noexcept {
    // std::to_chars with an explicit precision is exact and locale-free,
    // the same digits as printf("%.6f") in the C locale.
    return std::to_chars(out, out + kMaxFixed6, x, std::chars_format::fixed, 6).ptr;
}

static inline char* write_int(char* out, std::int64_t v) noexcept {
    return std::to_chars(out, out + kMaxInt64, v).ptr;
}

char* write_vertex_line(char* out, double x, double y, double z) noexcept {
    *out++ = 'v';
    *out++ = ' ';
    out = write_fixed6(out, x);
    *out++ = ' ';
    out = write_fixed6(out, y);
    *out++ = ' ';
    out = write_fixed6(out, z);
    *out++ = '\n';
    return out;
}

char* write_texcoord_line(char* out, double u, double v) noexcept {
    *out++ = 'v';
    *out++ = 't';
    *out++ = ' ';
    out = write_fixed6(out, u);
    *out++ = ' ';
    out = write_fixed6(out, v);
    *out++ = '\n';
    return out;
}

char* write_face_line(char* out, std::int64_t a, std::int64_t b, std::int64_t c,
                      bool with_vt) noexcept {
    *out++ = 'f';
    for (std::int64_t idx : {a, b, c}) {
        *out++ = ' ';
        out = write_int(out, idx);
        if (with_vt) {
            *out++ = '/';
            out = write_int(out, idx);
        }
    }
    *out++ = '\n';
    return out;
}

}  // namespace tsr::objtext
