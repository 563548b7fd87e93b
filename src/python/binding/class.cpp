#include "binding/class.hpp"

#include <cstring>
#include <string>

namespace quorin::py {

const char* ClassDef::name() const {
    const char* dot = std::strrchr(qualified_name, '.');
    return dot == nullptr ? qualified_name : dot + 1;
}

namespace {

PyTypeObject* build_type(ClassDef& def) {
    PyType_Slot slots[6];
    int n = 0;
    if (def.doc != nullptr && def.doc[0] != '\0') slots[n++] = {Py_tp_doc, const_cast<char*>(def.doc)};
    if (def.methods != nullptr) slots[n++] = {Py_tp_methods, def.methods};
    if (def.getset != nullptr) slots[n++] = {Py_tp_getset, def.getset};
    slots[n++] = {Py_tp_new, reinterpret_cast<void*>(def.constructor)};
    slots[n++] = {Py_tp_dealloc, reinterpret_cast<void*>(def.dealloc)};
    slots[n] = {0, nullptr};
    // The name must outlive the class: qualified_name is static text.
    PyType_Spec spec = {def.qualified_name, static_cast<int>(def.basicsize), 0,
                        Py_TPFLAGS_DEFAULT, slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

// The module's __all__, made empty when it does not exist yet.
Ref all_list(PyObject* module) {
    Ref all = Ref::steal(PyObject_GetAttr(module, interned(Name::All)));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw Error::fetch();
        PyErr_Clear();
        all = owned(PyList_New(0));
        check_status(PyObject_SetAttr(module, interned(Name::All), all.get()));
    } else if (!PyList_Check(all.get())) {
        throw not_an_instance(all.get(), "list");
    }
    return all;
}

// The first class object stored wins (the interpreter lock may be let go
// while one is made); a later duplicate is dropped.
PyTypeObject* remember(ClassDef& def, PyTypeObject* type) {
    if (def.type == nullptr) {
        def.type = type;
    } else {
        Py_DECREF(reinterpret_cast<PyObject*>(type));
    }
    return def.type;
}

void publish(PyObject* module, PyObject* name, PyObject* value) {
    Ref all = all_list(module);
    if (PyList_Append(all.get(), name) < 0) {
        internal_error("could not append __name__ to __all__: " + Error::fetch().describe());
    }
    check_status(PyObject_SetAttr(module, name, value));
}

}  // namespace

PyTypeObject* make_class(ClassDef& def) {
    if (def.type != nullptr) return def.type;
    PyTypeObject* type = build_type(def);
    if (type == nullptr) {
        Error cause = Error::fetch();
        const std::string message =
            std::string("An error occurred while initializing class ") + def.name();
        Ref value = Error::lazy(PyExc_RuntimeError, message).value();
        PyException_SetCause(value.get(), cause.value().release());
        throw Error::from_value(std::move(value));
    }
    return remember(def, type);
}

PyTypeObject* class_object(ClassDef& def) {
    if (def.type != nullptr) return def.type;
    PyTypeObject* type = build_type(def);
    if (type == nullptr) {
        PyErr_WriteUnraisable(nullptr);
        internal_error(std::string("failed to create type object for `") + def.name() + "`");
    }
    return remember(def, type);
}

PyObject* refusing_constructor(PyTypeObject* cls, PyObject*, PyObject*) {
    return guarded([&]() -> Ref {
        auto part = [&](Name name) {
            Ref v = Ref::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(cls), interned(name)));
            if (v && PyUnicode_Check(v.get())) {
                if (const char* u = PyUnicode_AsUTF8AndSize(v.get(), nullptr)) return std::string(u);
            }
            PyErr_Clear();
            return std::string("<unknown>");
        };
        type_error("cannot create '" + part(Name::Module) + "." + part(Name::Qualname) +
                   "' instances");
    });
}

void add_class(PyObject* module, ClassDef& def) {
    PyTypeObject* type = make_class(def);
    Ref name = owned(PyUnicode_FromString(def.name()));
    publish(module, name.get(), reinterpret_cast<PyObject*>(type));
}

void add_function(PyObject* module, PyMethodDef& def) {
    Ref module_name = owned(PyModule_GetNameObject(module));
    Ref function = owned(PyCMethod_New(&def, module, module_name.get(), nullptr));
    Ref name = owned(PyObject_GetAttr(function.get(), interned(Name::Name)));
    if (!PyUnicode_Check(name.get())) throw not_an_instance(name.get(), "str");
    publish(module, name.get(), function.get());
}

}  // namespace quorin::py
