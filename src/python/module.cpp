// The extension module _quorin: multi-phase initialisation with one
// execution slot; the classes are registered by the binding layer.
#include <Python.h>

namespace {

int init_module(PyObject* module) {
    PyObject* all = PyList_New(0);
    if (all == nullptr) return -1;
    const int rc = PyObject_SetAttrString(module, "__all__", all);
    Py_DECREF(all);
    return rc;
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

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__quorin() {
    return PyModuleDef_Init(&module_def);
}
