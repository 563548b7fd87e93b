// Parameter tables and the binding of a call's positional tuple and keyword
// dictionary to them. Every parameter may be given by position or keyword;
// required parameters come first.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <optional>
#include <utility>

#include "binding/error.hpp"

namespace quorin::py {

template <std::size_t N>
struct Params {
    const char* operation;  // the name in argument-count messages, e.g. "Forest.__new__()"
    std::array<const char*, N> names;
    std::size_t required;
};

namespace detail {
// Fills slots[0..n) with borrowed pointers (null = not given) or throws the
// argument-count TypeError.
void bind_slots(const char* operation, const char* const* names, std::size_t n,
                std::size_t required, PyObject* args, PyObject* kwargs, PyObject** slots);
}  // namespace detail

// The objects bound to an operation's parameters, converted one by one; a
// conversion failure is re-wrapped with the parameter's name.
template <std::size_t N>
class Args {
    const Params<N>& params_;
    std::array<PyObject*, N> slots_;

public:
    Args(const Params<N>& params, const std::array<PyObject*, N>& slots)
        : params_(params), slots_(slots) {}

    // A parameter that was given (every required one is).
    template <class Convert>
    auto get(std::size_t i, Convert&& convert) const {
        try {
            return convert(slots_[i]);
        } catch (Error& e) {
            throw rewrap_argument_error(params_.names[i], std::move(e));
        }
    }

    // A parameter with the default None: absent when omitted or given as None.
    template <class Convert>
    auto get_optional(std::size_t i, Convert&& convert) const
        -> std::optional<decltype(convert(slots_[i]))> {
        if (slots_[i] == nullptr || slots_[i] == Py_None) return std::nullopt;
        return get(i, convert);
    }

    // A parameter with another default: `fallback` when omitted; any object
    // given, None included, is converted.
    template <class Convert, class T>
    auto get_or(std::size_t i, Convert&& convert, T fallback) const -> decltype(convert(slots_[i])) {
        if (slots_[i] == nullptr) return fallback;
        return get(i, convert);
    }

    PyObject* raw(std::size_t i) const { return slots_[i]; }
};

template <std::size_t N>
Args<N> bind(const Params<N>& params, PyObject* args, PyObject* kwargs) {
    std::array<PyObject*, N> slots{};
    detail::bind_slots(params.operation, params.names.data(), N, params.required, args, kwargs,
                       slots.data());
    return Args<N>(params, slots);
}

}  // namespace quorin::py
