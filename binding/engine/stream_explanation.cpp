// stream_explanation(explainer, trace, out): writes the report that
// TraceExplainer.explain would return straight to a file, a pipe or a binary
// file object, in pieces, so that a report of any size needs no more memory
// than one piece (and the trace).
//
// The report's head holds totals known only once every step is decided, so a
// first pass decides the steps and writes nothing; the second writes.
//
// Failure: nothing is opened or written until the trace has been read, so a
// bad trace leaves `out` untouched. Once writing has begun, a failure raises
// (OSError with the OS text for a path, whatever `write` raised for a file
// object) and leaves whatever was written: a report is complete only when
// the call returns. A cut report is never valid JSON, since its closing
// bracket is the last byte written.
#include <Python.h>

#include <cerrno>
#include <new>
#include <optional>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "../common/ref.hpp"
#include "../common/step_reader.hpp"
#include "../common/trace_sequence.hpp"
#include "../common/util.hpp"
#include "engine.hpp"

namespace ostik::py::engine {

namespace {

constexpr const char* params[] = {"explainer", "trace", "out"};
constexpr Signature signature{"stream_explanation", params, 3, 3};

// A failure whose Python exception is already set.
struct PythonError {};

// A failed system call, raised as OSError for the path once the stack is
// unwound.
struct SystemError {
    int error;
};

// An open file descriptor for the path, closed on every way out.
class PathSink final : public ReportSink {
public:
    explicit PathSink(int fd) : fd_(fd) {}
    PathSink(const PathSink&) = delete;
    PathSink& operator=(const PathSink&) = delete;
    ~PathSink() {
        if (fd_ >= 0) ::close(fd_);
    }

    void take(std::string_view piece) override {
        // Ctrl-C ends a long report between two pieces.
        if (PyErr_CheckSignals() < 0) throw PythonError{};
        while (!piece.empty()) {
            ssize_t n;
            // A pipe may block for as long as its reader waits: other threads
            // run meanwhile. Only bytes of this call's own buffer are touched.
            Py_BEGIN_ALLOW_THREADS
            n = ::write(fd_, piece.data(), piece.size());
            Py_END_ALLOW_THREADS
            if (n < 0) {
                if (errno == EINTR) {
                    if (PyErr_CheckSignals() < 0) throw PythonError{};
                    continue;
                }
                throw SystemError{errno};
            }
            if (n == 0) throw SystemError{EIO};
            piece.remove_prefix(static_cast<std::size_t>(n));
        }
    }

    // Closing reports what the file system could not say at the write
    // (a full disk on NFS, for one).
    void close() {
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) < 0 && errno != EINTR) throw SystemError{errno};
    }

private:
    int fd_;
};

// A binary file object: each piece goes to its write() as a bytes object.
class FileObjectSink final : public ReportSink {
public:
    explicit FileObjectSink(OwnedRef write) : write_(std::move(write)) {}

    void take(std::string_view piece) override {
        if (PyErr_CheckSignals() < 0) throw PythonError{};
        OwnedRef bytes = OwnedRef::steal(PyBytes_FromStringAndSize(piece.data(), static_cast<Py_ssize_t>(piece.size())));
        if (!bytes) throw PythonError{};
        Py_ssize_t done = 0;
        const auto size = static_cast<Py_ssize_t>(piece.size());
        while (done < size) {
            OwnedRef rest = done == 0 ? OwnedRef::borrow(bytes.get())
                                      : OwnedRef::steal(PyBytes_FromStringAndSize(piece.data() + done, size - done));
            if (!rest) throw PythonError{};
            OwnedRef result = OwnedRef::steal(PyObject_CallOneArg(write_.get(), rest.get()));
            if (!result) throw PythonError{};
            // Like the standard library's copying helpers, a write() that
            // returns no count is taken to have written everything; a raw
            // file's short count is followed by the rest.
            if (!PyLong_Check(result.get())) return;
            const Py_ssize_t n = PyLong_AsSsize_t(result.get());
            if (n == -1 && PyErr_Occurred()) throw PythonError{};
            if (n <= 0 || n > size - done) {
                PyErr_Format(PyExc_RuntimeError, "write() returned %zd for %zd bytes", n, size - done);
                throw PythonError{};
            }
            done += n;
        }
    }

private:
    OwnedRef write_;
};

// The target, before anything is opened: a path (str or os.PathLike, as the
// file system encodes it) or the bound write method of a file object.
struct Target {
    OwnedRef path;   // bytes
    OwnedRef write;  // callable
};

PyObject* fspath_name = nullptr;
PyObject* write_name = nullptr;

std::optional<Target> target_of(PyObject* out) {
    Target t;
    PyObject* fspath = interned_name("__fspath__", fspath_name);
    PyObject* write = interned_name("write", write_name);
    if (!fspath || !write) return std::nullopt;
    // os.PathLike is a type with __fspath__; the look-up raises nothing.
    if (PyUnicode_Check(out) || _PyType_Lookup(Py_TYPE(out), fspath)) {
        PyObject* encoded = nullptr;
        if (!PyUnicode_FSConverter(out, &encoded)) return std::nullopt;
        t.path = OwnedRef::steal(encoded);
        return t;
    }
    PyObject* method = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    if (PyObject_GetOptionalAttr(out, write, &method) < 0) return std::nullopt;
#else
    if (_PyObject_LookupAttr(out, write, &method) < 0) return std::nullopt;
#endif
    t.write = OwnedRef::steal(method);
    if (!t.write || !PyCallable_Check(t.write.get())) {
        OwnedRef name = type_qualname(out);
        if (!name) return std::nullopt;
        PyErr_Format(PyExc_TypeError,
                     "argument 'out': expected a str path or a binary file object with write(), got '%U'",
                     name.get());
        return std::nullopt;
    }
    return t;
}

void raise_for_path(int error, PyObject* out) {
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, out);
}

PyObject* stream(PyObject* explainer_obj, PyObject* trace, PyObject* out) {
    if (!PyObject_TypeCheck(explainer_obj, explainer_type)) {
        raise_cannot_convert("explainer", explainer_obj, "TraceExplainer");
        return nullptr;
    }
    const TraceExplainer& explainer = *reinterpret_cast<ExplainerObject*>(explainer_obj)->explainer;
    // The arguments' types in their order, then the steps.
    auto items = extract_sequence(trace, "trace");
    if (!items) return nullptr;
    std::optional<Target> target = target_of(out);
    if (!target) return nullptr;
    auto steps = read_steps(*items);
    if (!steps) {
        set_error(PyExc_ValueError, "Invalid tool call format: " + steps.error());
        return nullptr;
    }
    items->clear();
    const ReportOutline outline = explainer.outline_json(*steps);

    // This call's own buffer: a file object's write() may run Python code
    // that explains or streams another report on this thread.
    std::string buffer;
    std::uint64_t written = 0;
    struct Counting final : ReportSink {
        ReportSink& to;
        std::uint64_t& written;
        Counting(ReportSink& s, std::uint64_t& w) : to(s), written(w) {}
        void take(std::string_view piece) override {
            to.take(piece);
            written += piece.size();
        }
    };

    if (target->path) {
        const char* path = PyBytes_AS_STRING(target->path.get());
        int fd;
        Py_BEGIN_ALLOW_THREADS
        do {
            fd = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        } while (fd < 0 && errno == EINTR);
        Py_END_ALLOW_THREADS
        if (fd < 0) {
            raise_for_path(errno, out);
            return nullptr;
        }
        try {
            PathSink sink(fd);
            Counting counting(sink, written);
            explainer.write_json(*steps, outline, buffer, counting);
            sink.close();
        } catch (const SystemError& e) {
            raise_for_path(e.error, out);
            return nullptr;
        } catch (const PythonError&) {
            return nullptr;
        }
    } else {
        try {
            FileObjectSink sink(std::move(target->write));
            Counting counting(sink, written);
            explainer.write_json(*steps, outline, buffer, counting);
        } catch (const PythonError&) {
            return nullptr;
        }
    }
    return PyLong_FromUnsignedLongLong(written);
}

}  // namespace

PyObject* stream_explanation(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* argv[3];
    if (!parse_args(signature, args, nargs, kwnames, argv)) return nullptr;
    try {
        return stream(argv[0], argv[1], argv[2]);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

}  // namespace ostik::py::engine
