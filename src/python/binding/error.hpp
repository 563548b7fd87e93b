// Python exceptions on their way out of an operation's body. A body throws
// py::Error; the entry guard makes it the interpreter's current exception.
#pragma once

#include <Python.h>

#include <string>

#include "binding/ref.hpp"

namespace quorin::py {

class Error {
public:
    // Takes the interpreter's current exception (one must be set; if none
    // is, a SystemError says so instead of losing the failure).
    static Error fetch();
    // An exception class and its message, made into an object only when it
    // is raised.
    static Error lazy(PyObject* type, std::string message);
    // An exception object already made.
    static Error from_value(Ref value);

    Error(Error&&) noexcept = default;
    Error& operator=(Error&&) noexcept = default;

    // True when the exception's class is exactly `type` (subclasses do not count).
    bool is_exactly(PyObject* type) const;
    // str() of the exception.
    std::string text() const;
    // "{class name}: {text}", as a traceback's last line shows it.
    std::string describe() const;
    // The exception object (made now for a lazy error), traceback attached.
    Ref value() const;
    // The exception's __cause__ (may be empty).
    Ref cause() const;
    // Makes this the interpreter's current exception.
    void restore() &&;

private:
    Error() = default;
    void normalize() const;

    mutable Ref type_;
    mutable Ref value_;
    mutable Ref traceback_;
    std::string message_;  // for a lazy error: value_ empty, type_ set
    bool lazy_ = false;
};

// The new reference `p`, or the interpreter's current exception as py::Error.
inline Ref owned(PyObject* p) {
    if (p == nullptr) throw Error::fetch();
    return Ref::steal(p);
}

// Throws the current exception when a C API call signalled failure by a
// negative status.
inline void check_status(int status) {
    if (status < 0) throw Error::fetch();
}

[[noreturn]] void raise(PyObject* type, std::string message);
[[noreturn]] inline void type_error(std::string message) { raise(PyExc_TypeError, std::move(message)); }

// str() of any object, or "<unprintable>" when that fails (the failure is cleared).
std::string str_of(PyObject* obj);

// __qualname__ of an object's type, or "<failed to extract type name>".
std::string type_qualname(PyObject* obj);

// The TypeError for an object of the wrong class: "'{type}' object is not an
// instance of '{expected}'", or "'None' is not an instance of '{expected}'".
Error not_an_instance(PyObject* obj, const std::string& expected);

// An argument's conversion error with the parameter's name: an exact
// TypeError becomes "argument '{name}': {text}" keeping its __cause__; any
// other class is passed on unchanged.
Error rewrap_argument_error(const char* name, Error err);

// Interned attribute names, made once and kept for the process.
enum class Name { All, Name, Module, Qualname, Bool };
PyObject* interned(Name name);

}  // namespace quorin::py
