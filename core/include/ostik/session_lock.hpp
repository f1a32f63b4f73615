// The lock of a guard session's state: a mutex whose uncontended lock and
// unlock are one atomic instruction each, where std::mutex goes through the
// pthread calls (which cost more than the rest of a plain check's bookkeeping).
// A thread that finds it taken sleeps in std::atomic::wait until the holder
// lets go. Lockable, for std::lock_guard; not recursive.
#pragma once

#include <atomic>
#include <cstdint>

namespace ostik {

class SessionLock {
public:
    void lock() noexcept {
        std::uint32_t free = 0;
        if (!state_.compare_exchange_strong(free, locked, std::memory_order_acquire, std::memory_order_relaxed)) {
            wait_for_it();
        }
    }
    bool try_lock() noexcept {
        std::uint32_t free = 0;
        return state_.compare_exchange_strong(free, locked, std::memory_order_acquire, std::memory_order_relaxed);
    }
    void unlock() noexcept {
        if (state_.exchange(0, std::memory_order_release) == contended) state_.notify_one();
    }

private:
    static constexpr std::uint32_t locked = 1;     // taken, nobody waits
    static constexpr std::uint32_t contended = 2;  // taken, and some thread may wait

    // Marks the lock contended (so that its holder wakes a waiter when it
    // lets go) and sleeps until it is free; taken by this thread then, still
    // marked contended, which costs at most one needless wake-up.
    void wait_for_it() noexcept {
        while (state_.exchange(contended, std::memory_order_acquire) != 0) {
            state_.wait(contended, std::memory_order_relaxed);
        }
    }

    std::atomic<std::uint32_t> state_{0};
};

}  // namespace ostik
