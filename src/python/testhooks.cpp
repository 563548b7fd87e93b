// _quorin_testhooks: a module for the test suite only (never installed). It
// reaches the binding layer's converters, defaults and refusing constructor
// through parameter names of the operations that will use them, so their
// exact errors can be checked before those operations exist.
#include <Python.h>

#include "binding/class.hpp"
#include "binding/convert.hpp"
#include "binding/guard.hpp"

namespace quorin::testhooks {

namespace {

using py::Ref;

Ref to_py(double v) { return py::owned(PyFloat_FromDouble(v)); }
Ref to_py(std::uint8_t v) { return py::owned(PyLong_FromLong(v)); }
Ref to_py(std::uint32_t v) { return py::owned(PyLong_FromUnsignedLong(v)); }
Ref to_py(bool v) { return Ref::borrow(v ? Py_True : Py_False); }
Ref to_py(const std::optional<std::string>& v) {
    if (!v) return py::none();
    return py::owned(PyBytes_FromStringAndSize(v->data(), static_cast<Py_ssize_t>(v->size())));
}
template <std::size_t N>
Ref to_py(const std::array<double, N>& v) {
    return py::float_list(v.data(), N);
}
Ref to_py(const std::array<std::uint32_t, 3>& v) {
    return py::owned(Py_BuildValue("[kkk]", static_cast<unsigned long>(v[0]),
                                   static_cast<unsigned long>(v[1]),
                                   static_cast<unsigned long>(v[2])));
}
Ref to_py(const std::vector<std::uint8_t>& v) {
    Ref list = py::owned(PyList_New(static_cast<Py_ssize_t>(v.size())));
    for (std::size_t i = 0; i < v.size(); ++i) {
        PyObject* b = v[i] ? Py_True : Py_False;
        Py_INCREF(b);
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), b);
    }
    return list;
}
Ref to_py(const std::vector<RefinementRegion>& v) {
    Ref list = py::owned(PyList_New(0));
    for (const RefinementRegion& r : v) {
        Ref item = py::owned(Py_BuildValue("(NNi)", to_py(r.min).release(), to_py(r.max).release(),
                                           static_cast<int>(r.level)));
        py::check_status(PyList_Append(list.get(), item.get()));
    }
    return list;
}

// One hook per argument kind: converts its single argument and returns the
// value as Python sees it (paths as UTF-8 bytes, flags as bools).
template <auto& P, auto Convert>
Ref convert_one(const py::Args<1>& args) {
    return to_py(args.get(0, Convert));
}

constexpr py::Params<1> FLOAT{"angle()", {"angle"}, 1};
constexpr py::Params<1> U8{"target_level()", {"target_level"}, 1};
constexpr py::Params<1> U32{"u32()", {"n"}, 1};
constexpr py::Params<1> BOOL{"flag()", {"warn_outside_refinement"}, 1};
constexpr py::Params<1> PATH{"path()", {"mesh_path"}, 1};
constexpr py::Params<1> FLOAT3{"float3()", {"fluid_seed_point"}, 1};
constexpr py::Params<1> FLOAT4{"float4()", {"rotation_quaternion"}, 1};
constexpr py::Params<1> BASE_RES{"base_res()", {"base_res"}, 1};
constexpr py::Params<1> FLAGS{"flags()", {"flags"}, 1};
constexpr py::Params<1> REGIONS{"regions()", {"refinement_regions"}, 1};

// Parameter tables with defaults, as the manager and the session use them.
constexpr py::Params<3> MANAGER{"QuorinManager.__new__()", {"bbox", "base_res", "n_leaf_refinement"}, 2};
constexpr py::Params<3> UPDATE_IB{"ApibmSession.update_ib()",
                                  {"translation", "rotation_quaternion", "warn_outside_refinement"},
                                  0};

Ref manager(const py::Args<3>& args) {
    Ref base = to_py(args.get(1, py::to_base_res));
    const std::uint8_t n = args.get_or(2, py::to_u8, std::uint8_t{3});
    return py::owned(Py_BuildValue("(ONN)", args.raw(0), base.release(), to_py(n).release()));
}

Ref update_ib(const py::Args<3>& args) {
    const auto translation = args.get_optional(0, py::to_float3);
    const auto rotation = args.get_optional(1, py::to_float4);
    const bool warn = args.get_or(2, py::to_bool, true);
    Ref t = translation ? to_py(*translation) : py::none();
    Ref r = rotation ? to_py(*rotation) : py::none();
    return py::owned(Py_BuildValue("(NNN)", t.release(), r.release(), to_py(warn).release()));
}

// A class without a constructor, whose instances only `make_sealed` makes.
struct SealedContents {
    std::vector<double> payload;
};
extern py::ClassDef sealed_class;
using SealedClass = py::ClassBinding<SealedContents, sealed_class>;

Ref read_size(const SealedContents& s) { return py::owned(PyLong_FromSize_t(s.payload.size())); }

PyGetSetDef sealed_attributes[] = {
    SealedClass::getter_entry<read_size>("size"),
    {},
};

py::ClassDef sealed_class = {
    "builtins.Sealed", "A record made only by the module.", SealedClass::basicsize,
    &py::refusing_constructor, &SealedClass::dealloc, nullptr, sealed_attributes,
};

constexpr py::Params<1> MAKE_SEALED{"make_sealed()", {"n_times"}, 1};
Ref make_sealed(const py::Args<1>& args) {
    SealedContents s;
    s.payload.assign(args.get(0, py::to_u32), 1.0);
    return SealedClass::create(std::move(s));
}

// Raises an internal error from inside a body.
constexpr py::Params<0> PANIC{"panic()", {}, 0};
Ref panic(const py::Args<0>&) { internal_error("test hook stopped"); }

// Runs a failing release step, as a deallocation that meets an internal
// error would: the process must abort, never raise or carry on.
PyObject* release_failure(PyObject*, PyObject*) {
    py::guarded_release([] { internal_error("release step failed"); });
    Py_RETURN_NONE;
}

PyMethodDef functions[] = {
    py::function_entry<FLOAT, convert_one<FLOAT, py::to_float>>("angle", nullptr),
    py::function_entry<U8, convert_one<U8, py::to_u8>>("target_level", nullptr),
    py::function_entry<U32, convert_one<U32, py::to_u32>>("u32", nullptr),
    py::function_entry<BOOL, convert_one<BOOL, py::to_bool>>("flag", nullptr),
    py::function_entry<PATH, convert_one<PATH, py::to_path>>("path", nullptr),
    py::function_entry<FLOAT3, convert_one<FLOAT3, py::to_float3>>("float3", nullptr),
    py::function_entry<FLOAT4, convert_one<FLOAT4, py::to_float4>>("float4", nullptr),
    py::function_entry<BASE_RES, convert_one<BASE_RES, py::to_base_res>>("base_res", nullptr),
    py::function_entry<FLAGS, convert_one<FLAGS, py::to_bool_sequence>>("flags", nullptr),
    py::function_entry<REGIONS, convert_one<REGIONS, py::to_region_sequence>>("regions", nullptr),
    py::function_entry<MANAGER, manager>("manager", nullptr),
    py::function_entry<UPDATE_IB, update_ib>("update_ib", nullptr),
    py::function_entry<MAKE_SEALED, make_sealed>("make_sealed", nullptr),
    py::function_entry<PANIC, panic>("panic", nullptr),
    {"release_failure", &release_failure, METH_NOARGS, nullptr},
    {},
};

int init_module(PyObject* module) {
    return py::guarded_status([&] {
        py::add_class(module, sealed_class);
        for (PyMethodDef* fn = functions; fn->ml_name != nullptr; ++fn) py::add_function(module, *fn);
    });
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(init_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_quorin_testhooks", "Binding-layer hooks for the test suite.", 0,
    nullptr, slots, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace quorin::testhooks

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__quorin_testhooks() {
    return PyModuleDef_Init(&quorin::testhooks::module_def);
}
