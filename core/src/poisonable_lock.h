#pragma once
// A mutex that remembers that a holder failed while holding it.
//
// The guarded state may be half-updated when a holder fails abnormally, so
// every later acquisition is refused instead of proceeding. A holder fails
// abnormally in one of two ways:
// - an exception unwinds through the guard (an internal invariant broke in a
//   way the error values do not cover, for example an allocation that was
//   assumed not to fail); the guard's destructor sees the unwinding;
// - code that detects an internal inconsistency while holding the lock calls
//   `Guard::poison()` and reports its own error.
// Either way the lock is released and stays poisoned for the rest of its life.

#include <atomic>
#include <exception>
#include <mutex>
#include <optional>
#include <utility>

namespace tessalumen {

class PoisonableLock {
public:
    class [[nodiscard]] Guard {
    public:
        Guard(Guard&& other) noexcept
            : owner_(std::exchange(other.owner_, nullptr)), unwinding_at_entry_(other.unwinding_at_entry_) {}
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
        Guard& operator=(Guard&&) = delete;
        ~Guard() {
            if (owner_ == nullptr) return;
            if (std::uncaught_exceptions() > unwinding_at_entry_) poison();
            owner_->mutex_.unlock();
        }

        // Marks the lock poisoned; it is still released when the guard ends.
        void poison() noexcept { owner_->poisoned_.store(true, std::memory_order_release); }

    private:
        friend class PoisonableLock;
        explicit Guard(PoisonableLock& owner) noexcept
            : owner_(&owner), unwinding_at_entry_(std::uncaught_exceptions()) {}

        PoisonableLock* owner_;
        int unwinding_at_entry_;
    };

    // Blocks until the lock is free; nothing (and the lock not held) when it
    // is poisoned.
    [[nodiscard]] std::optional<Guard> lock() {
        mutex_.lock();
        if (poisoned_.load(std::memory_order_acquire)) {
            mutex_.unlock();
            return std::nullopt;
        }
        return Guard(*this);
    }

    [[nodiscard]] bool poisoned() const noexcept { return poisoned_.load(std::memory_order_acquire); }

private:
    std::mutex mutex_;
    std::atomic<bool> poisoned_{false};
};

}  // namespace tessalumen
