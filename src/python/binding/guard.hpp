// The entry guard: every operation the interpreter calls runs its body inside
// it. A body returns a new reference, or throws
//   - py::Error: raised as that Python exception;
//   - quorin::InternalError (a violated invariant) or any other C++ exception:
//     raised as PanicException carrying the message;
//   - std::bad_alloc: raised as MemoryError, carrying the message of a
//     quorin::OutOfMemory.
// Nothing escapes into the interpreter; a failure while raising the error
// itself aborts the process with "uncaught panic at ffi boundary".
#pragma once

#include <Python.h>

#include <exception>
#include <new>

#include "binding/error.hpp"
#include "binding/ref.hpp"
#include "quorin/error.hpp"

namespace quorin::py {

// The process-wide PanicException class (pyo3_runtime.PanicException, a
// BaseException subclass), made on first need.
PyObject* panic_exception_type();

[[noreturn]] void abort_at_ffi_boundary() noexcept;

namespace detail {
// Sets the current exception from what the body threw; `current` is the
// exception being handled. Aborts if raising itself fails.
void raise_from(std::exception_ptr current) noexcept;
}  // namespace detail

// For constructors, methods, attribute reads and functions: NULL on failure.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        Ref result = body();
        return result.release();
    } catch (...) {
        detail::raise_from(std::current_exception());
        return nullptr;
    }
}

// For the module's execution slot: 0 on success, -1 on failure.
template <class Body>
int guarded_status(Body&& body) noexcept {
    try {
        body();
        return 0;
    } catch (...) {
        detail::raise_from(std::current_exception());
        return -1;
    }
}

// For deallocation: raises nothing; any failure aborts the process.
template <class Body>
void guarded_release(Body&& body) noexcept {
    try {
        body();
    } catch (...) {
        abort_at_ffi_boundary();
    }
}

}  // namespace quorin::py
