// Internal errors: violated invariants stop the operation with a message.
// The Python layer turns them into PanicException; the C++ core never
// catches them itself.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace quorin {

class InternalError : public std::runtime_error {
public:
    explicit InternalError(const std::string& message) : std::runtime_error(message) {}
};

[[noreturn]] inline void internal_error(const std::string& message) {
    throw InternalError(message);
}

// A failed equality assertion between two counts, worded like the assertion
// messages users of the Python module see in PanicException.
[[noreturn]] inline void assert_eq_failed(const std::string& message, std::uint64_t left,
                                          std::uint64_t right) {
    throw InternalError("assertion `left == right` failed: " + message + "\n  left: " +
                        std::to_string(left) + "\n right: " + std::to_string(right));
}

[[noreturn]] inline void index_out_of_bounds(std::uint64_t index, std::uint64_t len) {
    throw InternalError("index out of bounds: the len is " + std::to_string(len) +
                        " but the index is " + std::to_string(index));
}

[[noreturn]] inline void remainder_by_zero() {
    throw InternalError("attempt to calculate the remainder with a divisor of zero");
}

}  // namespace quorin
