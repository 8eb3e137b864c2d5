// RAII guards for the resources an entry point takes: owned references,
// Py_buffer views, malloc'd memory and the released interpreter lock.
// Every exit path of a body releases what it acquired by letting these
// go out of scope; nothing here raises.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdlib>
#include <utility>

namespace tsr {

// An owned (strong) reference. Null means "no object", which by the C API
// contract usually comes with an exception set.
class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* p) noexcept { Ref r; r.p_ = p; return r; }
    static Ref borrow(PyObject* p) noexcept { Py_XINCREF(p); return steal(p); }
    Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) { Py_XDECREF(p_); p_ = o.p_; o.p_ = nullptr; }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    // Hands the reference to the caller (e.g. as a return value).
    PyObject* release() noexcept { PyObject* p = p_; p_ = nullptr; return p; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// A Py_buffer that is released when the guard goes out of scope.
class BufferView {
public:
    BufferView() noexcept = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() { reset(); }

    // PyObject_GetBuffer into this guard; false with the exception set.
    bool acquire(PyObject* obj, int flags) noexcept {
        reset();
        if (PyObject_GetBuffer(obj, &view_, flags) != 0) return false;
        held_ = true;
        return true;
    }
    void reset() noexcept {
        if (held_) { PyBuffer_Release(&view_); held_ = false; }
    }
    bool held() const noexcept { return held_; }
    const Py_buffer& view() const noexcept { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Releases the interpreter lock for the lifetime of the guard. Code inside
// the scope must touch only raw memory: no Python object, no exception.
class NoGil {
public:
    NoGil() noexcept : state_(PyEval_SaveThread()) {}
    NoGil(const NoGil&) = delete;
    NoGil& operator=(const NoGil&) = delete;
    ~NoGil() { PyEval_RestoreThread(state_); }

private:
    PyThreadState* state_;
};

// Memory from malloc, freed with free. Safe to use without the lock.
struct FreeDeleter {
    void operator()(void* p) const noexcept { std::free(p); }
};

}  // namespace tsr
