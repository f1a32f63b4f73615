#include "ostik/trace_writer.hpp"

#include <cerrno>
#include <cstring>
#include <system_error>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/uio.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <optional>

namespace ostik {

std::string os_error_text(int error_number) {
    char buf[256];
    // The GNU strerror_r, which may return a static text instead of filling buf.
    const char* description = strerror_r(error_number, buf, sizeof buf);
    std::string text = description;
    text += " (os error ";
    text += std::to_string(error_number);
    text += ')';
    return text;
}

namespace {

// Whether one write call appends its bytes to the file as a whole, with no
// other process's write landing inside them: true of a regular file on the
// local file systems below, which hold the file's lock for the whole of a
// write, and of the null device, which keeps nothing to be torn. (Network
// and user-space file systems, pipes, sockets and terminals give no such
// promise, or split long writes.)
bool appends_whole(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return false;
    if (S_ISCHR(st.st_mode)) return st.st_rdev == makedev(1, 3);
    if (!S_ISREG(st.st_mode)) return false;
    struct statfs fs;
    if (::fstatfs(fd, &fs) != 0) return false;
    switch (static_cast<unsigned long>(fs.f_type)) {
        case 0xEF53:      // ext2, ext3, ext4
        case 0x58465342:  // xfs
        case 0x9123683E:  // btrfs
        case 0x01021994:  // tmpfs
        case 0x858458F6:  // ramfs
        case 0xF2F52010:  // f2fs
        case 0x2FC12FC1:  // zfs
        case 0x794C7630:  // overlayfs
            return true;
        default:
            return false;
    }
}

}  // namespace

std::expected<std::unique_ptr<TraceWriter>, std::string> TraceWriter::open(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) {
        return std::unexpected("file name contained an unexpected NUL byte");
    }
    const std::string name(path);
    int fd;
    do {
        fd = ::open(name.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return std::unexpected(os_error_text(errno));
    try {
        return std::unique_ptr<TraceWriter>(new TraceWriter(fd, appends_whole(fd)));
    } catch (...) {
        ::close(fd);
        throw;
    }
}

TraceWriter::~TraceWriter() {
    // Every record was handed to the file by its own append: nothing is
    // pending, and a close error has no one left to report to.
    ::close(fd_);
}

// The writer lock for one append, already taken. Leaving without done() (an
// exception, or thread cancellation unwinding out of the write) marks the lock
// broken.
class TraceWriter::HeldLock {
public:
    explicit HeldLock(TraceWriter& w) noexcept : w_(w) {}
    ~HeldLock() {
        if (!done_) w_.broken_.store(true, std::memory_order_release);
        w_.mutex_.unlock();
    }
    HeldLock(const HeldLock&) = delete;
    HeldLock& operator=(const HeldLock&) = delete;
    void done() noexcept { done_ = true; }

private:
    TraceWriter& w_;
    bool done_ = false;
};

namespace {

// An advisory lock on the open file, so that another process's record cannot
// land between the pieces of a record that takes more than one write. Where
// the file system offers no such lock, appends go on without it.
class FileLock {
public:
    explicit FileLock(int fd) : fd_(fd) {
        int r;
        do {
            r = ::flock(fd_, LOCK_EX);
        } while (r < 0 && errno == EINTR);
        held_ = r == 0;
    }
    ~FileLock() {
        if (held_) ::flock(fd_, LOCK_UN);
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;

private:
    int fd_;
    bool held_;
};

}  // namespace

std::expected<void, TraceWriter::AppendError> TraceWriter::append(std::string_view record) {
    try {
        mutex_.lock();
    } catch (const std::system_error&) {
        return std::unexpected(AppendError{AppendError::Kind::broken_lock, {}});
    }
    HeldLock lock(*this);
    if (broken_.load(std::memory_order_acquire)) {
        lock.done();
        return std::unexpected(AppendError{AppendError::Kind::broken_lock, {}});
    }

    // After a failed write the file may end in the middle of a line; the
    // record then starts with a line feed so that it stands on a line of its
    // own, and the failed record's fragment stays alone on its line.
    static const char line_feed = '\n';
    const std::size_t prefix = line_open_ ? 1 : 0;
    const std::size_t total = prefix + record.size();

    // A record is one write. Where the file takes a write whole, that write
    // needs no lock: the kernel appends it in one piece. Otherwise, and for
    // what is left after a short write, the pieces are written under the
    // file lock.
    std::optional<FileLock> file_lock;
    if (!appends_whole_ || total > max_single_write) file_lock.emplace(fd_);
    std::size_t written = 0;
    int error = 0;
    while (written < total) {
        if (written > 0 && !file_lock) file_lock.emplace(fd_);
        iovec parts[2];
        int count = 0;
        if (written < prefix) parts[count++] = {const_cast<char*>(&line_feed), 1};
        const std::size_t from = written > prefix ? written - prefix : 0;
        parts[count++] = {const_cast<char*>(record.data() + from), record.size() - from};
        const ssize_t n = ::writev(fd_, parts, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            error = errno;
            break;
        }
        if (n == 0) {
            // Not expected of a file given bytes to write; stop rather than spin.
            error = EIO;
            break;
        }
        written += static_cast<std::size_t>(n);
    }

    if (written > 0) {
        const char last = written <= prefix ? line_feed : record[written - prefix - 1];
        line_open_ = last != '\n';
    }
    lock.done();
    if (error != 0) return std::unexpected(AppendError{AppendError::Kind::write, os_error_text(error)});
    return {};
}

}  // namespace ostik
