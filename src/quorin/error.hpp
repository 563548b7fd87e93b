// Internal errors: violated invariants stop the operation with a message.
// The Python layer turns them into PanicException; the C++ core never
// catches them itself.
#pragma once

#include <cstdint>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

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

// Memory that could not be had, with a message saying for what. Derives
// from std::bad_alloc so that every handler of allocation failures sees it;
// the Python layer raises it as MemoryError carrying the message.
class OutOfMemory : public std::bad_alloc {
public:
    explicit OutOfMemory(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string message_;
};

// A failure on user input: the message the Python layer raises as ValueError.
struct Failure {
    std::string message;
};

// The result of an operation that can fail on user input: a value or a
// Failure message.
template <class T>
class Expected {
public:
    Expected(T value) : value_(std::move(value)) {}
    Expected(Failure failure) : error_(std::move(failure.message)) {}

    bool ok() const { return value_.has_value(); }
    explicit operator bool() const { return ok(); }

    T& value() & { return *value_; }
    const T& value() const& { return *value_; }
    T&& value() && { return std::move(*value_); }
    T* operator->() { return &*value_; }
    const T* operator->() const { return &*value_; }
    T& operator*() & { return *value_; }
    const T& operator*() const& { return *value_; }

    // The message; empty when ok().
    const std::string& error() const { return error_; }

private:
    std::optional<T> value_;
    std::string error_;
};

}  // namespace quorin
