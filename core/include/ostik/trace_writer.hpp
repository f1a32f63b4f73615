// One open trace file that records are appended to, each record whole.
#pragma once

#include <atomic>
#include <expected>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace ostik {

// "<description> (os error N)", the form every OS failure is reported in.
std::string os_error_text(int error_number);

class TraceWriter {
public:
    // Opens (creating, never truncating) the file for appending, close-on-exec,
    // mode 0666 before the umask. The error is the OS error text.
    static std::expected<std::unique_ptr<TraceWriter>, std::string> open(std::string_view path);

    ~TraceWriter();
    TraceWriter(const TraceWriter&) = delete;
    TraceWriter& operator=(const TraceWriter&) = delete;

    struct AppendError {
        enum class Kind { broken_lock, write } kind;
        std::string message;  // the OS error text for a write failure
    };

    // Appends one formatted record (its text and line feed) in one write call,
    // continued only for the remainder after a short write or EINTR. Holds the
    // writer lock just for the write, so no caller code ever runs under it:
    // records are to be formatted before calling this. A record that takes
    // more than one write, or goes to a file that does not take a write
    // whole, is written under an advisory lock on the file (flock), so that
    // other writers that take it cannot come between its pieces.
    std::expected<void, AppendError> append(std::string_view record);

    // True once a holder of the lock ended abnormally; stays true.
    bool broken() const noexcept { return broken_.load(std::memory_order_acquire); }

private:
    TraceWriter(int fd, bool appends_whole) noexcept : fd_(fd), appends_whole_(appends_whole) {}
    class HeldLock;

    // The most Linux writes in one call.
    static constexpr std::size_t max_single_write = 0x7ffff000;

    const int fd_;
    // One write call is appended whole (a regular file on a local file
    // system): a record written in one needs no file lock.
    const bool appends_whole_;
    std::mutex mutex_;
    std::atomic<bool> broken_{false};
    // Guarded by mutex_: a failed write left part of a record on the file's
    // last line, so the next record must begin with a line feed of its own.
    bool line_open_ = false;
};

}  // namespace ostik
