// Vectors of the result records as NumPy arrays, made through NumPy's C
// interface table (looked up on the first conversion, never at import).
//
// A vector of scalars becomes a one-dimensional array on the vector's own
// buffer, an empty vector included, so no array owns its data: the vector
// moves into a holder object that becomes the array's base and frees the
// buffer when the last array using it is gone. A vector of rows of N values
// is taken over the same way as a flat one-dimensional array (copied when
// given as a const reference), and is returned as a (rows, N) view of it.
// Every array is writeable, aligned and C-contiguous.
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "binding/error.hpp"
#include "binding/ref.hpp"
#include "quorin/memory.hpp"
#include "quorin/parallel.hpp"

namespace quorin::python::conversion {

// NumPy type numbers of the element types the records hold.
enum class Dtype : int {
    Bool = 0,     // one byte holding 0 or 1
    UInt8 = 2,    // NPY_UBYTE
    UInt64 = 8,   // NPY_ULONG, 64 bits on Linux x86-64
    Float64 = 12  // NPY_DOUBLE
};

template <class T>
constexpr Dtype dtype_of() {
    if constexpr (std::is_same_v<T, bool>) {
        return Dtype::Bool;
    } else if constexpr (std::is_same_v<T, std::uint8_t>) {
        return Dtype::UInt8;
    } else if constexpr (std::is_same_v<T, std::uint64_t> || std::is_same_v<T, unsigned long>) {
        static_assert(sizeof(T) == 8);
        return Dtype::UInt64;
    } else {
        static_assert(std::is_same_v<T, double>, "no NumPy dtype for this element type");
        return Dtype::Float64;
    }
}

namespace detail {

// A heap-held vector of any element and allocator type, erased for the holder.
struct Buffer {
    void* data;
    std::size_t length;
    void* owner;                // the heap-held vector
    void (*release)(void*);     // deletes it
};

// An empty vector without storage gets room for one element: NumPy
// allocates (and owns) a buffer of its own when handed a null pointer.
template <class V>
Buffer take_over(V&& v) {
    using Vec = std::remove_cvref_t<V>;
    auto* held = new Vec(std::move(v));
    if (held->data() == nullptr) {
        try {
            held->reserve(1);
        } catch (...) {
            delete held;
            throw;
        }
    }
    return Buffer{static_cast<void*>(held->data()), held->size(), held,
                  [](void* p) { delete static_cast<Vec*>(p); }};
}

// A copy-on-write mapping of a buffer on shared pages, as a Buffer whose
// release unmaps it; none for a buffer on ordinary memory (or where the
// mapping fails), which is then copied.
std::optional<Buffer> private_copy(const void* data, std::size_t length, std::size_t element_size);

// A one-dimensional array of `buffer.length` elements of `dtype` and
// `element_size` bytes on the buffer, which the array's base takes over. The
// buffer is released on every failure.
py::Ref array_on_buffer(Buffer buffer, Dtype dtype, std::size_t element_size);

// Reshapes a contiguous one-dimensional array into (rows, n) as a view.
py::Ref reshape_rows(py::Ref flat, std::size_t rows, std::size_t n);

}  // namespace detail

// A copy of n values in a fresh buffer, filled on the worker pool in chunks
// of about 1 MiB: each page is first touched by the worker that copies into it.
template <class T>
Buffer<T> parallel_copy(const T* src, std::size_t n) {
    static_assert(std::is_trivially_copyable_v<T>);
    Buffer<T> out(n);
    parallel::copy(src, n, out.data());
    return out;
}

// A one-dimensional array that takes over the vector's buffer. The dtype
// follows the element type; a vector of bytes holding 0 or 1 becomes a bool
// array through bool_array.
template <class T, class A>
py::Ref array1(std::vector<T, A>&& v) {
    static_assert(!std::is_same_v<T, bool>, "std::vector<bool> has no buffer");
    return detail::array_on_buffer(detail::take_over(std::move(v)), dtype_of<T>(), sizeof(T));
}

// A one-dimensional array on a copy of the vector, which stays as it is: a
// copy-on-write mapping of a vector on shared pages, else a copy of its data.
template <class T, class A>
py::Ref array1(const std::vector<T, A>& v) {
    if (auto mapped = detail::private_copy(v.data(), v.size(), sizeof(T)))
        return detail::array_on_buffer(*mapped, dtype_of<T>(), sizeof(T));
    return array1(parallel_copy(v.data(), v.size()));
}

// A bool array on a vector of bytes that hold 0 or 1: taken over, or copied.
template <class A>
py::Ref bool_array(std::vector<std::uint8_t, A>&& v) {
    return detail::array_on_buffer(detail::take_over(std::move(v)), Dtype::Bool, 1);
}

template <class A>
py::Ref bool_array(const std::vector<std::uint8_t, A>& v) {
    if (auto mapped = detail::private_copy(v.data(), v.size(), 1))
        return detail::array_on_buffer(*mapped, Dtype::Bool, 1);
    return bool_array(parallel_copy(v.data(), v.size()));
}

// A (rows, N) array: the rows copied one after another into a flat vector,
// which becomes the buffer of a one-dimensional array, viewed as (rows, N).
template <class T, std::size_t N, class A>
py::Ref rows_to_array2(const std::vector<std::array<T, N>, A>& rows) {
    static_assert(sizeof(std::array<T, N>) == N * sizeof(T));
    const std::size_t n_rows = rows.size();
    const T* first = n_rows == 0 ? nullptr : rows.front().data();
    py::Ref array;
    if (auto mapped = detail::private_copy(first, n_rows * N, sizeof(T))) {
        array = detail::array_on_buffer(*mapped, dtype_of<T>(), sizeof(T));
    } else {
        array = array1(parallel_copy(first, n_rows * N));
    }
    return detail::reshape_rows(std::move(array), n_rows, N);
}

// A vector given as an rvalue keeps its buffer: its rows lie one after
// another without padding, so the buffer is the flat array itself.
template <class T, std::size_t N, class A>
py::Ref rows_to_array2(std::vector<std::array<T, N>, A>&& rows) {
    static_assert(sizeof(std::array<T, N>) == N * sizeof(T));
    const std::size_t n_rows = rows.size();
    detail::Buffer flat = detail::take_over(std::move(rows));
    flat.length = n_rows * N;
    py::Ref array = detail::array_on_buffer(flat, dtype_of<T>(), sizeof(T));
    return detail::reshape_rows(std::move(array), n_rows, N);
}

}  // namespace quorin::python::conversion
