// format_vertex_lines, format_texcoord_lines, format_face_lines: convert the
// array, apply the 1-D and empty rules, take the view, then write the lines
// with the interpreter lock released.
#include "../module/arrays.h"
#include "../module/entry_points.h"
#include "obj_text.h"

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tsr {
namespace {

using objtext::RowsWritten;

PyObject* empty_bytes() { return PyBytes_FromStringAndSize(nullptr, 0); }

// Asks the kernel to back a large output with huge pages. Writing tens of
// megabytes into fresh memory otherwise costs one page fault per 4 KiB,
// which takes longer than formatting the text itself. Only a hint: without
// transparent huge pages, or when refused, nothing changes.
void advise_huge_pages(char* p, std::size_t len) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
    if (len < 2 * kHuge) return;
    const auto begin = (reinterpret_cast<std::uintptr_t>(p) + kHuge - 1) & ~(kHuge - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(p) + len) & ~(kHuge - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)p;
    (void)len;
#endif
}

// bytes of `size`, or MemoryError (no message) when the size is out of reach.
bool resize_bytes(Ref& bytes, std::size_t size) {
    if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
        PyErr_NoMemory();
        bytes = Ref();
        return false;
    }
    if (!bytes) {
        bytes = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
        if (!bytes) return false;
    } else {
        PyObject* raw = bytes.release();
        if (_PyBytes_Resize(&raw, static_cast<Py_ssize_t>(size)) < 0) return false;  // freed
        bytes = Ref::steal(raw);
    }
    return true;
}

// a * b + c, saturated at SIZE_MAX (which no allocation can satisfy).
std::size_t budget(std::size_t a, std::size_t b, std::size_t c) {
    if (a != 0 && b > (SIZE_MAX - c) / a) return SIZE_MAX;
    return a * b + c;
}

// The lines go straight into the result: a bytes object sized for
// `per_line` bytes a row (more than usual lines take), filled with the
// interpreter lock released, then cut to the written length. A row is only
// started while a longest line fits; should the text outgrow the object
// (very long numbers), the lock is retaken to enlarge it and formatting
// goes on where it stopped, so every row is written whole and in order.
// `write(out, limit, first_row)` formats from first_row and reports where
// it stopped. Everything owned is released on every path.
template <class Write>
PyObject* write_all_rows(std::size_t n, std::size_t per_line, std::size_t row_room, Write write) {
    Ref bytes;
    std::size_t cap = budget(n, per_line, row_room);
    if (!resize_bytes(bytes, cap)) return nullptr;
    std::size_t used = 0;
    std::size_t row = 0;
    for (;;) {
        char* base = PyBytes_AS_STRING(bytes.get());
        RowsWritten w;
        {
            NoGil nogil;
            advise_huge_pages(base + used, cap - used);
            w = write(base + used, base + cap, row);
        }
        used = static_cast<std::size_t>(w.end - base);
        row = w.next_row;
        if (row >= n) break;
        const std::size_t grown = cap + cap / 2;
        const std::size_t need = budget(n - row, per_line, used + row_room);
        cap = grown > need ? grown : need;
        if (!resize_bytes(bytes, cap)) return nullptr;
    }
    if (!resize_bytes(bytes, used)) return nullptr;
    return bytes.release();
}

// Shared by the two float formatters: positions (3 columns) and texcoords
// (2 columns). A 1-D array is taken as rows of `cols` values.
template <class WriteRows>
PyObject* format_float_rows(PyObject* module, PyObject* obj, Py_ssize_t cols, const char* what,
                            std::size_t per_line, std::size_t row_room, WriteRows write_rows) {
    Ref arr = as_contiguous(module, obj, DType::Float64);
    if (!arr) return nullptr;
    if (array_ndim(arr.get()) <= 1) {
        arr = reshape_rows(arr.get(), cols);
        if (!arr) return nullptr;
    }
    if (array_dim(arr.get(), 0) == 0) return empty_bytes();

    Matrix view;
    if (!view.acquire(arr.get(), DType::Float64, cols, what)) return nullptr;
    const double* data = view.data<double>();
    const auto n = static_cast<std::size_t>(view.rows());
    const auto stride = static_cast<std::size_t>(view.cols());
    return write_all_rows(n, per_line, row_room, [&](char* out, char* limit, std::size_t first) {
        return write_rows(out, limit, data, first, n, stride);
    });
}

}  // namespace

// Budgets per row: above the usual line lengths (ECEF coordinates give
// about 50-byte vertex lines), so the result is allocated once.
PyObject* format_vertex_lines(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    Arg a[kMaxParams];
    if (!bind(sig::format_vertex_lines, args, nargs, kwnames, a)) return nullptr;
    return format_float_rows(module, a[0].obj, 3, "positions", 80, objtext::kVertexRowRoom,
                             objtext::write_vertex_rows);
}

PyObject* format_texcoord_lines(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    Arg a[kMaxParams];
    if (!bind(sig::format_texcoord_lines, args, nargs, kwnames, a)) return nullptr;
    return format_float_rows(module, a[0].obj, 2, "texcoords", 48, objtext::kTexcoordRowRoom,
                             objtext::write_texcoord_rows);
}

PyObject* format_face_lines(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    Arg a[kMaxParams];
    if (!bind(sig::format_face_lines, args, nargs, kwnames, a)) return nullptr;
    const bool with_vt = a[1].truth;

    Ref arr = as_contiguous(module, a[0].obj, DType::Int64);
    if (!arr) return nullptr;
    // A 1-D faces array is not taken as rows: it gives no lines.
    if (array_ndim(arr.get()) <= 1 || array_dim(arr.get(), 0) == 0) return empty_bytes();

    Matrix view;
    if (!view.acquire(arr.get(), DType::Int64, 3, "faces")) return nullptr;
    const std::int64_t* data = view.data<std::int64_t>();
    const auto n = static_cast<std::size_t>(view.rows());
    const auto stride = static_cast<std::size_t>(view.cols());
    return write_all_rows(n, with_vt ? 64 : 40, objtext::kFaceRowRoom,
                          [&](char* out, char* limit, std::size_t first) {
                              return objtext::write_face_rows(out, limit, data, first, n, stride,
                                                              with_vt);
                          });
}

}  // namespace tsr
