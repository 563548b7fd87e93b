// Owned references to Python objects: one Py_DECREF per reference, on every
// path. Borrowed references stay plain PyObject* pointers.
#pragma once

#include <Python.h>

#include <utility>

namespace quorin::py {

class Ref {
public:
    Ref() = default;
    // Takes over a new reference (which may be null).
    static Ref steal(PyObject* p) { return Ref(p); }
    // Adds a reference to a borrowed pointer (which may be null).
    static Ref borrow(PyObject* p) {
        Py_XINCREF(p);
        return Ref(p);
    }

    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) {
            Py_XDECREF(p_);
            p_ = std::exchange(o.p_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    // Hands the reference to the caller (for returning it to the interpreter
    // or to a function that steals it).
    PyObject* release() { return std::exchange(p_, nullptr); }
    explicit operator bool() const { return p_ != nullptr; }

private:
    explicit Ref(PyObject* p) : p_(p) {}
    PyObject* p_ = nullptr;
};

// A new reference to None.
inline Ref none() { return Ref::borrow(Py_None); }

}  // namespace quorin::py
