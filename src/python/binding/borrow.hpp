// The per-instance borrow counter: the number of shared borrows held, or -1
// while one exclusive borrow is held. Python code run during an operation
// (argument conversion callbacks) can reach back into an object the
// operation holds; the counter refuses such a call instead of letting it see
// or change contents mid-operation. Borrows are RAII handles, released on
// every path out of the operation.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

#include "binding/error.hpp"

namespace quorin::py {

using BorrowCounter = std::atomic<std::int64_t>;

class SharedBorrow {
public:
    explicit SharedBorrow(BorrowCounter& counter) : counter_(&counter) {
        std::int64_t v = counter.load(std::memory_order_acquire);
        for (;;) {
            if (v == -1) raise(PyExc_RuntimeError, "Already mutably borrowed");
            if (counter.compare_exchange_weak(v, v + 1, std::memory_order_acq_rel,
                                              std::memory_order_acquire)) {
                break;
            }
        }
    }
    SharedBorrow(SharedBorrow&& o) noexcept : counter_(std::exchange(o.counter_, nullptr)) {}
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;
    SharedBorrow& operator=(SharedBorrow&&) = delete;
    ~SharedBorrow() {
        if (counter_ != nullptr) counter_->fetch_sub(1, std::memory_order_acq_rel);
    }

private:
    BorrowCounter* counter_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(BorrowCounter& counter) : counter_(&counter) {
        std::int64_t expected = 0;
        if (!counter.compare_exchange_strong(expected, -1, std::memory_order_acq_rel,
                                             std::memory_order_acquire)) {
            raise(PyExc_RuntimeError, "Already borrowed");
        }
    }
    ExclusiveBorrow(ExclusiveBorrow&& o) noexcept : counter_(std::exchange(o.counter_, nullptr)) {}
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(ExclusiveBorrow&&) = delete;
    ~ExclusiveBorrow() {
        if (counter_ != nullptr) counter_->store(0, std::memory_order_release);
    }

private:
    BorrowCounter* counter_;
};

}  // namespace quorin::py
