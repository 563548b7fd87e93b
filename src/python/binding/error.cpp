#include "binding/error.hpp"

#include <utility>

#include "quorin/error.hpp"

namespace quorin::py {

Error Error::fetch() {
    Error e;
    PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
    PyErr_Fetch(&t, &v, &tb);
    if (t == nullptr) {
        e.lazy_ = true;
        e.type_ = Ref::borrow(PyExc_SystemError);
        e.message_ = "error return without exception set";
        return e;
    }
    e.type_ = Ref::steal(t);
    e.value_ = Ref::steal(v);
    e.traceback_ = Ref::steal(tb);
    return e;
}

Error Error::lazy(PyObject* type, std::string message) {
    Error e;
    e.lazy_ = true;
    e.type_ = Ref::borrow(type);
    e.message_ = std::move(message);
    return e;
}

Error Error::from_value(Ref value) {
    Error e;
    e.type_ = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(value.get())));
    e.value_ = std::move(value);
    return e;
}

void Error::normalize() const {
    if (lazy_) return;
    PyObject* t = type_.release();
    PyObject* v = value_.release();
    PyObject* tb = traceback_.release();
    PyErr_NormalizeException(&t, &v, &tb);
    type_ = Ref::steal(t);
    value_ = Ref::steal(v);
    traceback_ = Ref::steal(tb);
}

bool Error::is_exactly(PyObject* type) const {
    if (lazy_) return type_.get() == type;
    normalize();
    return value_ && reinterpret_cast<PyObject*>(Py_TYPE(value_.get())) == type;
}

std::string Error::text() const {
    if (lazy_) return message_;
    normalize();
    return str_of(value_.get());
}

std::string Error::describe() const {
    const std::string t = text();
    std::string name = "<unknown>";
    Ref q = Ref::steal(PyObject_GetAttr(type_.get(), interned(Name::Qualname)));
    if (q && PyUnicode_Check(q.get())) {
        if (const char* u = PyUnicode_AsUTF8AndSize(q.get(), nullptr)) name = u;
    }
    PyErr_Clear();
    return t.empty() ? name : name + ": " + t;
}

Ref Error::value() const {
    if (lazy_) {
        Ref text = Ref::steal(PyUnicode_DecodeUTF8(message_.data(),
                                                   static_cast<Py_ssize_t>(message_.size()),
                                                   "replace"));
        if (!text) throw Error::fetch();
        return owned(PyObject_CallFunctionObjArgs(type_.get(), text.get(), nullptr));
    }
    normalize();
    if (traceback_) PyException_SetTraceback(value_.get(), traceback_.get());
    return Ref::borrow(value_.get());
}

Ref Error::cause() const {
    if (lazy_ || !value_) return Ref();
    return Ref::steal(PyException_GetCause(value_.get()));
}

void Error::restore() && {
    if (lazy_) {
        // The exception object itself is made by the interpreter from the
        // class and this text (a text may hold NUL characters).
        Ref text = Ref::steal(PyUnicode_DecodeUTF8(message_.data(),
                                                   static_cast<Py_ssize_t>(message_.size()),
                                                   "replace"));
        if (text) PyErr_SetObject(type_.get(), text.get());
        return;
    }
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
}

void raise(PyObject* type, std::string message) { throw Error::lazy(type, std::move(message)); }

std::string str_of(PyObject* obj) {
    Ref s = Ref::steal(PyObject_Str(obj));
    if (s) {
        Py_ssize_t n = 0;
        if (const char* u = PyUnicode_AsUTF8AndSize(s.get(), &n)) return std::string(u, n);
    }
    PyErr_Clear();
    return "<unprintable>";
}

std::string type_qualname(PyObject* obj) {
    Ref q = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(obj)),
                                        interned(Name::Qualname)));
    if (q && PyUnicode_Check(q.get())) {
        Py_ssize_t n = 0;
        if (const char* u = PyUnicode_AsUTF8AndSize(q.get(), &n)) return std::string(u, n);
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

Error not_an_instance(PyObject* obj, const std::string& expected) {
    std::string text;
    if (obj == Py_None) {
        text = "'None' is not an instance of '";
    } else {
        text.append("'").append(type_qualname(obj)).append("' object is not an instance of '");
    }
    text.append(expected).append("'");
    return Error::lazy(PyExc_TypeError, std::move(text));
}

Error rewrap_argument_error(const char* name, Error err) {
    if (!err.is_exactly(PyExc_TypeError)) return err;
    const std::string message = "argument '" + std::string(name) + "': " + err.text();
    Ref cause = err.cause();
    if (!cause) return Error::lazy(PyExc_TypeError, message);
    Ref text = Ref::steal(PyUnicode_FromStringAndSize(message.data(), message.size()));
    if (!text) return Error::fetch();
    Ref value = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, text.get(), nullptr));
    if (!value) return Error::fetch();
    PyException_SetCause(value.get(), cause.release());
    return Error::from_value(std::move(value));
}

PyObject* interned(Name name) {
    static PyObject* cache[5] = {};
    static const char* const texts[5] = {"__all__", "__name__", "__module__", "__qualname__",
                                         "__bool__"};
    const int i = static_cast<int>(name);
    // Made under the interpreter lock, which interning never releases.
    if (cache[i] == nullptr) {
        cache[i] = PyUnicode_InternFromString(texts[i]);
        if (cache[i] == nullptr) internal_error(std::string("could not intern ") + texts[i]);
    }
    return cache[i];
}

}  // namespace quorin::py
