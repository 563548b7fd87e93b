#include "conversion.hpp"

#include <string>
#include <tuple>
#include <utility>

#include "quorin/error.hpp"
#include "quorin/shared_pages.hpp"

namespace quorin::python::conversion {

namespace {

using py::Ref;

using npy_intp = Py_ssize_t;

// NumPy's dimension list as PyArray_Newshape takes it.
struct NpyDims {
    npy_intp* ptr;
    int len;
};

constexpr int NPY_ARRAY_WRITEABLE = 0x0400;
constexpr int NPY_ANYORDER = -1;

// Positions in NumPy's C interface table.
constexpr std::size_t API_ARRAY_TYPE = 2;
constexpr std::size_t API_DESCR_FROM_TYPE = 45;
constexpr std::size_t API_NEW_FROM_DESCR = 94;
constexpr std::size_t API_NEWSHAPE = 135;
constexpr std::size_t API_SET_BASE_OBJECT = 282;

struct NumpyApi {
    PyTypeObject* array_type;
    PyObject* (*descr_from_type)(int);
    PyObject* (*new_from_descr)(PyTypeObject*, PyObject*, int, const npy_intp*, const npy_intp*,
                                void*, int, PyObject*);
    PyObject* (*newshape)(PyObject*, NpyDims*, int);
    int (*set_base_object)(PyObject*, PyObject*);
};

[[noreturn]] void capsule_failure() {
    const std::string why = py::Error::fetch().describe();
    internal_error("Failed to access NumPy array API capsule: " + why);
}

// The multiarray module of the NumPy installed and its interface capsule:
// numpy._core in NumPy 2, numpy.core before (the old name only warns in
// NumPy 2, and a forward-compatibility shim of the new name may lack the
// capsule).
std::pair<Ref, Ref> import_multiarray() {
    for (const char* name : {"numpy._core.multiarray", "numpy.core.multiarray"}) {
        Ref module = Ref::steal(PyImport_ImportModule(name));
        if (!module) {
            if (!PyErr_ExceptionMatches(PyExc_ImportError)) capsule_failure();
            PyErr_Clear();
            continue;
        }
        Ref capsule = Ref::steal(PyObject_GetAttrString(module.get(), "_ARRAY_API"));
        if (capsule) return {std::move(module), std::move(capsule)};
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) capsule_failure();
        PyErr_Clear();
    }
    py::raise(PyExc_ImportError, "numpy.core.multiarray has no _ARRAY_API");
}

// Reads the table once; the lookup runs under the interpreter lock, and an
// import that lets another thread finish first only means the same table is
// found twice.
const NumpyApi& numpy_api() {
    static NumpyApi api{};
    static bool ready = false;
    if (ready) return api;
    Ref module;
    Ref capsule;
    try {
        std::tie(module, capsule) = import_multiarray();
    } catch (py::Error& e) {
        std::move(e).restore();
        capsule_failure();
    }
    const char* capsule_name = PyCapsule_GetName(capsule.get());
    if (capsule_name == nullptr && PyErr_Occurred()) capsule_failure();
    void** table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), capsule_name));
    if (table == nullptr) capsule_failure();
    // The table lives as long as NumPy, which stays imported once loaded.
    Ref ndarray = Ref::steal(PyObject_GetAttrString(module.get(), "ndarray"));
    if (!ndarray) capsule_failure();
    if (table[API_ARRAY_TYPE] != static_cast<void*>(ndarray.get())) {
        internal_error(
            "Failed to access NumPy array API capsule: the table does not list numpy.ndarray");
    }
    api.array_type = static_cast<PyTypeObject*>(table[API_ARRAY_TYPE]);
    api.descr_from_type = reinterpret_cast<decltype(api.descr_from_type)>(table[API_DESCR_FROM_TYPE]);
    api.new_from_descr = reinterpret_cast<decltype(api.new_from_descr)>(table[API_NEW_FROM_DESCR]);
    api.newshape = reinterpret_cast<decltype(api.newshape)>(table[API_NEWSHAPE]);
    api.set_base_object = reinterpret_cast<decltype(api.set_base_object)>(table[API_SET_BASE_OBJECT]);
    // Keep the module (and so the table) alive for the process.
    module.release();
    ready = true;
    return api;
}

constexpr const char* HOLDER_NAME = "quorin.buffer";

void release_holder(PyObject* capsule) {
    auto* buffer = static_cast<detail::Buffer*>(PyCapsule_GetPointer(capsule, HOLDER_NAME));
    if (buffer == nullptr) {
        PyErr_Clear();
        return;
    }
    buffer->release(buffer->owner);
    delete buffer;
}

// Releases a handed-over buffer unless ownership moved on.
struct BufferGuard {
    detail::Buffer* buffer;
    ~BufferGuard() {
        if (buffer != nullptr) {
            buffer->release(buffer->owner);
            delete buffer;
        }
    }
};

}  // namespace

namespace detail {

Ref array_on_buffer(Buffer buffer, Dtype dtype, std::size_t element_size) {
    BufferGuard guard{new Buffer(buffer)};
    const NumpyApi& api = numpy_api();

    // The holder: a capsule whose destructor frees the vector.
    Ref holder = Ref::steal(PyCapsule_New(guard.buffer, HOLDER_NAME, release_holder));
    if (!holder) {
        PyErr_Clear();
        internal_error("Failed to create slice container");
    }
    guard.buffer = nullptr;

    PyObject* descr = api.descr_from_type(static_cast<int>(dtype));
    if (descr == nullptr) throw py::Error::fetch();
    const npy_intp dims[1] = {static_cast<npy_intp>(buffer.length)};
    const npy_intp strides[1] = {static_cast<npy_intp>(element_size)};
    // Steals the descriptor reference.
    Ref array = py::owned(api.new_from_descr(api.array_type, descr, 1, dims, strides, buffer.data,
                                             NPY_ARRAY_WRITEABLE, nullptr));
    // Steals the holder reference, also on failure.
    if (api.set_base_object(array.get(), holder.release()) < 0) throw py::Error::fetch();
    return array;
}

std::optional<Buffer> private_copy(const void* data, std::size_t length, std::size_t element_size) {
    if (data == nullptr || length == 0) return std::nullopt;
    const std::size_t bytes = length * element_size;
    void* copy = map_private_copy(data, bytes);
    if (copy == nullptr) return std::nullopt;
    struct Mapping {
        void* data;
        std::size_t bytes;
    };
    Mapping* owner;
    try {
        owner = new Mapping{copy, bytes};
    } catch (...) {
        release_private_copy(copy, bytes);
        throw;
    }
    return Buffer{copy, length, owner, [](void* p) {
                      auto* m = static_cast<Mapping*>(p);
                      release_private_copy(m->data, m->bytes);
                      delete m;
                  }};
}

Ref reshape_rows(Ref flat, std::size_t rows, std::size_t n) {
    const NumpyApi& api = numpy_api();
    npy_intp shape[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(n)};
    NpyDims dims{shape, 2};
    Ref view = Ref::steal(api.newshape(flat.get(), &dims, NPY_ANYORDER));
    if (!view) internal_error(py::Error::fetch().describe());
    return view;
}

}  // namespace detail


}  // namespace quorin::python::conversion
