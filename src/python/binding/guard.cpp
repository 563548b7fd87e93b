#include "binding/guard.hpp"

#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <string>

namespace quorin::py {

namespace {

constexpr const char* PANIC_DOC =
    "The exception raised when the module's native code stops with an internal\n"
    "error (a violated invariant).\n"
    "\n"
    "Like SystemExit, it derives from BaseException, not Exception, so that a\n"
    "plain `except Exception` does not swallow it and it normally propagates\n"
    "all the way up and ends the interpreter.";

void raise_panic(const char* message) {
    PyObject* type = panic_exception_type();
    Ref text = owned(PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)),
                                          "replace"));
    Ref args = owned(PyTuple_Pack(1, text.get()));
    PyErr_SetObject(type, args.get());
}

}  // namespace

void abort_at_ffi_boundary() noexcept {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::fflush(stderr);
    std::abort();
}

PyObject* panic_exception_type() {
    // Made under the interpreter lock; PyErr_NewExceptionWithDoc runs no
    // Python code that could let another thread in, so it is made once.
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", PANIC_DOC,
                                         PyExc_BaseException, nullptr);
        if (type == nullptr) {
            PyErr_WriteUnraisable(nullptr);
            internal_error("failed to create the PanicException type object");
        }
    }
    return type;
}

namespace detail {

void raise_from(std::exception_ptr current) noexcept {
    try {
        try {
            std::rethrow_exception(current);
        } catch (Error& e) {
            std::move(e).restore();
        } catch (const OutOfMemory& e) {
            PyErr_SetString(PyExc_MemoryError, e.what());
        } catch (const std::bad_alloc&) {
            PyErr_NoMemory();
        } catch (const std::exception& e) {
            raise_panic(e.what());
        } catch (...) {
            raise_panic("unknown C++ exception");
        }
    } catch (...) {
        abort_at_ffi_boundary();
    }
}

}  // namespace detail

}  // namespace quorin::py
