#include "binding/convert.hpp"

#include <algorithm>

#include "binding/ref.hpp"
#include "quorin/error.hpp"

namespace quorin::py {

namespace {

constexpr const char* OUT_OF_RANGE = "out of range integral type conversion attempted";

// collections.abc.Sequence, imported once and kept, only to name it in errors.
PyObject* sequence_abc() {
    static PyObject* cls = nullptr;
    if (cls == nullptr) {
        // The import may run Python code and let another thread publish the
        // class first; the first published one is kept.
        Ref module = Ref::steal(PyImport_ImportModule("collections.abc"));
        Ref found = module ? Ref::steal(PyObject_GetAttrString(module.get(), "Sequence")) : Ref();
        if (!found) {
            PyErr_Clear();
            internal_error("failed to import collections.abc.Sequence");
        }
        if (cls == nullptr) cls = found.release();
    }
    return cls;
}

std::string sequence_name() {
    Ref name = Ref::steal(PyObject_GetAttr(sequence_abc(), interned(Name::Name)));
    if (name && PyUnicode_Check(name.get())) {
        if (const char* u = PyUnicode_AsUTF8AndSize(name.get(), nullptr)) return u;
    }
    PyErr_Clear();
    return "Sequence";
}

long read_long(PyObject* obj) {
    long v = 0;
    if (PyLong_Check(obj)) {
        v = PyLong_AsLong(obj);
    } else {
        Ref index = owned(PyNumber_Index(obj));
        v = PyLong_AsLong(index.get());
    }
    if (v == -1 && PyErr_Occurred()) throw Error::fetch();
    return v;
}

template <std::uint64_t Max>
std::uint64_t to_unsigned(PyObject* obj) {
    const auto v = static_cast<std::uint64_t>(read_long(obj));
    if (v > Max) raise(PyExc_OverflowError, OUT_OF_RANGE);
    return v;
}

std::string attr_text(PyObject* obj, Name name) {
    Ref value = Ref::steal(PyObject_GetAttr(obj, interned(name)));
    if (value && PyUnicode_Check(value.get())) {
        if (const char* u = PyUnicode_AsUTF8AndSize(value.get(), nullptr)) return u;
    }
    PyErr_Clear();
    return {};
}

// NumPy's boolean scalar type, recognised by module and name (NumPy itself
// is never imported here). Remembered once seen, so that long flag arrays
// are not re-inspected item by item.
bool is_numpy_bool_type(PyObject* type) {
    static PyObject* known = nullptr;
    if (type == known) return true;
    if (attr_text(type, Name::Module) != "numpy") return false;
    const std::string name = attr_text(type, Name::Name);
    if (name != "bool_" && name != "bool") return false;
    if (known == nullptr) {
        Py_INCREF(type);
        known = type;
    }
    return true;
}

template <std::size_t N, class T, class Item>
std::array<T, N> to_array(PyObject* obj, Item item) {
    if (!PySequence_Check(obj)) throw not_a_sequence(obj);
    const Py_ssize_t n = PyObject_Size(obj);
    if (n < 0) throw Error::fetch();
    if (static_cast<std::size_t>(n) != N) {
        raise(PyExc_ValueError, "expected a sequence of length " + std::to_string(N) + " (got " +
                                    std::to_string(n) + ")");
    }
    std::array<T, N> out{};
    for (std::size_t i = 0; i < N; ++i) {
        Ref index = owned(PyLong_FromSize_t(i));
        Ref value = owned(PyObject_GetItem(obj, index.get()));
        out[i] = item(value.get());
    }
    return out;
}

// A reported length only sizes the result; a huge or lying one must not
// make us reserve memory the iteration never fills.
constexpr Py_ssize_t MAX_RESERVE = Py_ssize_t{1} << 20;

template <class T, class Item>
std::vector<T> to_vector(PyObject* obj, Item item) {
    if (PyUnicode_Check(obj)) type_error("Can't extract `str` to `Vec`");
    if (!PySequence_Check(obj)) throw not_a_sequence(obj);
    std::vector<T> out;
    const Py_ssize_t n = PyObject_Size(obj);
    if (n < 0) {
        PyErr_Clear();
    } else {
        out.reserve(static_cast<std::size_t>(std::min(n, MAX_RESERVE)));
    }
    Ref iter = owned(PyObject_GetIter(obj));
    while (Ref value = Ref::steal(PyIter_Next(iter.get()))) out.push_back(item(value.get()));
    if (PyErr_Occurred()) throw Error::fetch();
    return out;
}

RefinementRegion to_region(PyObject* obj) {
    if (!PyTuple_Check(obj)) throw not_an_instance(obj, "tuple");
    const Py_ssize_t n = PyTuple_Size(obj);
    if (n != 3) {
        raise(PyExc_ValueError,
              "expected tuple of length 3, but got tuple of length " + std::to_string(n));
    }
    RefinementRegion r;
    r.min = to_float3(PyTuple_GetItem(obj, 0));
    r.max = to_float3(PyTuple_GetItem(obj, 1));
    r.level = to_u8(PyTuple_GetItem(obj, 2));
    return r;
}

}  // namespace

Ref float_list(const double* values, std::size_t n) {
    Ref list = owned(PyList_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* item = PyFloat_FromDouble(values[i]);
        if (item == nullptr) throw Error::fetch();
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
    }
    return list;
}

Error not_a_sequence(PyObject* obj) { return not_an_instance(obj, sequence_name()); }

double to_float(PyObject* obj) {
    const double v = PyFloat_AsDouble(obj);
    if (v == -1.0 && PyErr_Occurred()) throw Error::fetch();
    return v;
}

std::uint8_t to_u8(PyObject* obj) { return static_cast<std::uint8_t>(to_unsigned<0xFF>(obj)); }

std::uint32_t to_u32(PyObject* obj) {
    return static_cast<std::uint32_t>(to_unsigned<0xFFFF'FFFFull>(obj));
}

bool to_bool(PyObject* obj) {
    if (obj == Py_True) return true;
    if (obj == Py_False) return false;
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
    if (!is_numpy_bool_type(type)) throw not_an_instance(obj, "bool");
    Ref method = Ref::steal(PyObject_GetAttr(type, interned(Name::Bool)));
    if (!method) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw Error::fetch();
        PyErr_Clear();
        type_error("object of type '" + str_of(type) + "' does not define a '__bool__' conversion");
    }
    Ref result = owned(PyObject_CallFunctionObjArgs(method.get(), obj, nullptr));
    if (result.get() == Py_True) return true;
    if (result.get() == Py_False) return false;
    throw not_an_instance(result.get(), "bool");
}

std::optional<std::string> to_path(PyObject* obj) {
    if (obj == Py_None) return std::nullopt;
    if (!PyUnicode_Check(obj)) throw not_an_instance(obj, "str");
    Ref bytes = owned(PyUnicode_AsUTF8String(obj));
    char* data = nullptr;
    Py_ssize_t n = 0;
    check_status(PyBytes_AsStringAndSize(bytes.get(), &data, &n));
    return std::string(data, static_cast<std::size_t>(n));
}

Vec3 to_float3(PyObject* obj) { return to_array<3, double>(obj, to_float); }

std::array<double, 4> to_float4(PyObject* obj) { return to_array<4, double>(obj, to_float); }

std::array<std::uint32_t, 3> to_base_res(PyObject* obj) {
    return to_array<3, std::uint32_t>(obj, to_u32);
}

std::vector<std::uint8_t> to_bool_sequence(PyObject* obj) {
    return to_vector<std::uint8_t>(obj, [](PyObject* item) -> std::uint8_t { return to_bool(item); });
}

std::vector<RefinementRegion> to_region_sequence(PyObject* obj) {
    return to_vector<RefinementRegion>(obj, to_region);
}

}  // namespace quorin::py
