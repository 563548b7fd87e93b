// Class objects made from PyType_Spec records, their instances (header,
// contents record, borrow counter), and the entry points through which the
// interpreter reaches a class's constructor, methods and attribute reads.
//
// A class file declares its contents record T and one ClassDef, then fills
// its method and attribute tables with ClassBinding<T, def> entries whose
// bodies are plain functions:
//   constructor  Ref body(const Args<N>&)
//   method       Ref body(T&, const Args<N>&)
//   no-argument  Ref body(T&)
//   attribute    Ref body(const T&)
#pragma once

#include <Python.h>

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

#include "binding/borrow.hpp"
#include "binding/error.hpp"
#include "binding/guard.hpp"
#include "binding/params.hpp"
#include "binding/ref.hpp"
#include "quorin/error.hpp"

// A stored doc with a text signature: the signature line, "--", an empty
// line, then the doc text.
#define QUORIN_DOC(signature, text) signature "\n--\n\n" text

namespace quorin::py {

struct ClassDef {
    const char* qualified_name;  // "builtins.Forest"; the part after the dot is the class name
    const char* doc;             // stored doc; "" for none
    Py_ssize_t basicsize;
    newfunc constructor;
    destructor dealloc;
    PyMethodDef* methods;  // null-terminated table, or null
    PyGetSetDef* getset;   // null-terminated table, or null
    PyTypeObject* type = nullptr;  // made once, kept for the rest of the process

    const char* name() const;
};

// The class object, made on first need. Used by the module's execution step:
// a refusal by the interpreter becomes RuntimeError "An error occurred while
// initializing class {name}" with the interpreter's error as __cause__.
PyTypeObject* make_class(ClassDef& def);

// The class object for instance creation and receiver checks: a refusal is
// reported as unraisable and stops with an internal error.
PyTypeObject* class_object(ClassDef& def);

// The constructor of classes whose instances only the module makes.
PyObject* refusing_constructor(PyTypeObject* cls, PyObject* args, PyObject* kwargs);

enum class Access { Shared, Exclusive };

template <class T>
struct Instance {
    PyObject_HEAD
    T contents;
    BorrowCounter borrow;
};

namespace detail {
template <class P>
struct ArgsFor;
template <std::size_t N>
struct ArgsFor<const Params<N>> {
    using type = Args<N>;
};
template <Access A>
using BorrowFor = std::conditional_t<A == Access::Shared, SharedBorrow, ExclusiveBorrow>;
}  // namespace detail

template <class T, ClassDef& Def>
struct ClassBinding {
    using Object = Instance<T>;
    static_assert(std::is_nothrow_move_constructible_v<T>);

    static constexpr Py_ssize_t basicsize = sizeof(Object);

    // The contents behind a receiver, checked to be of this class.
    static Object& receiver(PyObject* self) {
        if (!PyObject_TypeCheck(self, class_object(Def))) throw not_an_instance(self, Def.name());
        return *reinterpret_cast<Object*>(self);
    }

    // A new instance holding `contents`; on failure the contents are released.
    static Ref create(T contents) {
        PyTypeObject* type = class_object(Def);
        auto object_new = reinterpret_cast<newfunc>(PyType_GetSlot(&PyBaseObject_Type, Py_tp_new));
        Ref empty = owned(PyTuple_New(0));
        Ref obj = owned(object_new(type, empty.get(), nullptr));
        auto* inst = reinterpret_cast<Object*>(obj.get());
        ::new (static_cast<void*>(&inst->contents)) T(std::move(contents));
        ::new (static_cast<void*>(&inst->borrow)) BorrowCounter(0);
        return obj;
    }

    static void dealloc(PyObject* self) {
        guarded_release([&] {
            auto* inst = reinterpret_cast<Object*>(self);
            PyTypeObject* type = Py_TYPE(self);
            inst->contents.~T();
            inst->borrow.~BorrowCounter();
            auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
            if (free_fn == nullptr) internal_error("type has no tp_free");
            free_fn(self);
            Py_DECREF(reinterpret_cast<PyObject*>(type));
        });
    }

    // An argument of this class: the contents under a shared borrow that
    // lasts as long as the handle.
    class Borrowed {
    public:
        const T& operator*() const { return *contents_; }
        const T* operator->() const { return contents_; }

    private:
        friend struct ClassBinding;
        Borrowed(Object& obj) : contents_(&obj.contents), borrow_(obj.borrow) {}
        const T* contents_;
        SharedBorrow borrow_;
    };

    static Borrowed argument(PyObject* obj) {
        if (!PyObject_TypeCheck(obj, class_object(Def))) throw not_an_instance(obj, Def.name());
        return Borrowed(*reinterpret_cast<Object*>(obj));
    }

    // Entry points of the interpreter's calling conventions.

    template <auto& P, auto Body>
    static PyObject* constructor(PyTypeObject*, PyObject* args, PyObject* kwargs) {
        return guarded([&] { return Body(bind(P, args, kwargs)); });
    }

    template <auto& P, Access A, auto Body>
    static PyObject* method(PyObject* self, PyObject* args, PyObject* kwargs) {
        return guarded([&] {
            const auto bound = bind(P, args, kwargs);
            Object& obj = receiver(self);
            detail::BorrowFor<A> borrow(obj.borrow);
            return Body(obj.contents, bound);
        });
    }

    template <Access A, auto Body>
    static PyObject* method_noargs(PyObject* self, PyObject*) {
        return guarded([&] {
            Object& obj = receiver(self);
            detail::BorrowFor<A> borrow(obj.borrow);
            return Body(obj.contents);
        });
    }

    template <auto Body>
    static PyObject* getter(PyObject* self, void*) {
        return guarded([&] {
            Object& obj = receiver(self);
            SharedBorrow borrow(obj.borrow);
            return Body(std::as_const(obj.contents));
        });
    }

    // Table entries.

    template <auto& P, Access A, auto Body>
    static constexpr PyMethodDef method_entry(const char* name, const char* doc) {
        return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&method<P, A, Body>)),
                METH_VARARGS | METH_KEYWORDS, doc};
    }

    template <Access A, auto Body>
    static constexpr PyMethodDef noargs_entry(const char* name, const char* doc) {
        return {name, &method_noargs<A, Body>, METH_NOARGS, doc};
    }

    template <auto Body>
    static constexpr PyGetSetDef getter_entry(const char* name) {
        return {name, &getter<Body>, nullptr, nullptr, nullptr};
    }
};

// A module-level function taking (args, kwargs), bound to the module.
template <auto& P, auto Body>
PyObject* function(PyObject* /*module*/, PyObject* args, PyObject* kwargs) {
    return guarded([&] { return Body(bind(P, args, kwargs)); });
}

template <auto& P, auto Body>
constexpr PyMethodDef function_entry(const char* name, const char* doc) {
    return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&function<P, Body>)),
            METH_VARARGS | METH_KEYWORDS, doc};
}

// Publishing on a module object: the name is appended to __all__, then set.
void add_class(PyObject* module, ClassDef& def);
void add_function(PyObject* module, PyMethodDef& def);

}  // namespace quorin::py
