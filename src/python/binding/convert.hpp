// Converters from Python objects to the argument kinds of the module's
// operations. Each takes a borrowed object and returns the value or throws
// py::Error with the plain (not yet re-wrapped) error; Args::get adds the
// parameter's name.
#pragma once

#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "binding/error.hpp"
#include "binding/ref.hpp"
#include "quorin/forest/domain.hpp"

namespace quorin::py {

// Any object with a float conversion (float, int, __float__, __index__).
double to_float(PyObject* obj);

// An int (bool included) or an object with __index__, within the range.
std::uint8_t to_u8(PyObject* obj);
std::uint32_t to_u32(PyObject* obj);

// Exactly True or False, or a NumPy boolean scalar.
bool to_bool(PyObject* obj);

// None (absent) or a str, as UTF-8.
std::optional<std::string> to_path(PyObject* obj);

// Sequences of exactly 3 or 4 numbers.
Vec3 to_float3(PyObject* obj);
std::array<double, 4> to_float4(PyObject* obj);
// A sequence of 3 unsigned 32-bit integers (nx, ny, nz).
std::array<std::uint32_t, 3> to_base_res(PyObject* obj);

// Any sequence but a str, of bools; one byte (0 or 1) per item.
std::vector<std::uint8_t> to_bool_sequence(PyObject* obj);

// Any sequence but a str, of (min, max, level) tuples.
std::vector<RefinementRegion> to_region_sequence(PyObject* obj);

// A new list of Python floats.
Ref float_list(const double* values, std::size_t n);

// The TypeError for an object that is not a sequence.
Error not_a_sequence(PyObject* obj);

}  // namespace quorin::py
