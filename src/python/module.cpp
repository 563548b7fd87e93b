// The extension module _quorin: multi-phase initialisation with one
// execution slot, which publishes the classes and the function.
#include <Python.h>

#include "binding/class.hpp"
#include "binding/guard.hpp"
#include "cfd_mesh.hpp"
#include "classes.hpp"

namespace quorin::python {

namespace {

// Published in this order, each name appended to __all__.
py::ClassDef* const published_classes[] = {
    &bounding_box_class,
    &ghost_cell_mesh_class,
    &ap_ibm_face_data_class,
    &axis_projected_mesh_class,
    &apibm_session_class,
    &quorin_manager_class,
    &forest_class,
};

PyMethodDef* const published_functions[] = {
    &quaternion_function,
};

int init_module(PyObject* module) {
    return py::guarded_status([&] {
        if (!PyModule_Check(module)) throw py::not_an_instance(module, "module");
        for (py::ClassDef* cls : published_classes) py::add_class(module, *cls);
        for (PyMethodDef* fn : published_functions) py::add_function(module, *fn);
    });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(init_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_quorin", "Python module entry point.", 0, nullptr,
    module_slots,          nullptr,   nullptr,                      nullptr,
};

}  // namespace

}  // namespace quorin::python

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__quorin() {
    return PyModuleDef_Init(&quorin::python::module_def);
}
