// Reading a policy file whole, with read failures as the OS describes them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "ostik/policy_loader.hpp"
#include "ostik/text.hpp"

namespace ostik {

namespace {

LoadError os_error(int err) {
    std::string text = std::strerror(err);
    text += " (os error ";
    text += std::to_string(err);
    text += ')';
    return LoadError{LoadError::Kind::read, std::move(text)};
}

// Closes the descriptor on every way out, a thrown std::bad_alloc included.
struct FileCloser {
    int fd;
    ~FileCloser() { ::close(fd); }
};

std::expected<std::string, LoadError> read_file(const std::string& path) {
    if (path.find('\0') != std::string::npos) {
        return std::unexpected(LoadError{LoadError::Kind::read, "file name contained an unexpected NUL byte"});
    }
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::unexpected(os_error(errno));
    FileCloser closer{fd};
    std::string text;
    // One allocation of the right size, where the size is known: a large
    // policy then never holds two growing copies of itself.
    struct stat st;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
        text.reserve(static_cast<std::size_t>(st.st_size));
    }
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return std::unexpected(os_error(errno));
        }
        if (n == 0) break;
        text.append(buf, static_cast<std::size_t>(n));
    }
    return text;
}

}  // namespace

std::expected<Policy, LoadError> load_policy_file(const std::string& path, std::vector<IgnoredKey>* ignored_keys,
                                                  std::vector<NodeMark>* constraint_marks, Language language) {
    auto text = read_file(path);
    if (!text) return std::unexpected(std::move(text.error()));
    if (!is_valid_utf8(*text)) {
        return std::unexpected(LoadError{LoadError::Kind::read, "stream did not contain valid UTF-8"});
    }
    return parse_policy(*text, ignored_keys, constraint_marks, language);
}

}  // namespace ostik
