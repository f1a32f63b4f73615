// The OstikClient class: appends trace objects to a trace file, one compact
// JSON document per line.
#include <Python.h>

#include <memory>
#include <new>
#include <string>

#include "../common/args.hpp"
#include "../common/convert.hpp"
#include "../common/ref.hpp"
#include "../common/util.hpp"
#include "ostik/json_writer.hpp"
#include "ostik/trace_writer.hpp"
#include "types.hpp"

namespace ostik::py {

namespace {

struct ClientObject {
    PyObject_HEAD
    // Absent for a client made without a trace file; fixed for the client's life.
    ostik::TraceWriter* writer;
};

constexpr const char* new_params[] = {"trace_file"};
constexpr Signature new_sig{"OstikClient.__new__", new_params, 1, 0};

PyObject* open_client(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* trace_file;
    if (!parse_args(new_sig, args, kwargs, &trace_file)) return nullptr;

    std::unique_ptr<ostik::TraceWriter> writer;
    if (trace_file && trace_file != Py_None) {
        const auto path = str_argument(trace_file, "trace_file", "PyString");
        if (!path) return nullptr;
        auto opened = ostik::TraceWriter::open(*path);
        if (!opened) {
            set_error(PyExc_RuntimeError, "Failed to open trace file: " + opened.error());
            return nullptr;
        }
        writer = std::move(*opened);
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    reinterpret_cast<ClientObject*>(self)->writer = writer.release();
    return self;
}

PyObject* client_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    try {
        return open_client(type, args, kwargs);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

void client_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    delete reinterpret_cast<ClientObject*>(self)->writer;
    tp->tp_free(self);
    Py_DECREF(tp);
}

// This thread's line buffer, kept between records so that a record is
// formatted into memory at hand. A record_trace reached from user code that
// runs during another's conversion (on the same thread) uses a buffer of its
// own. Buffers past 64 KiB are given back.
thread_local std::string kept_line;
thread_local bool kept_line_busy = false;

class LineBuffer {
public:
    LineBuffer() : owner_(!kept_line_busy) {
        if (owner_) {
            kept_line_busy = true;
            kept_line.clear();
        }
    }
    LineBuffer(const LineBuffer&) = delete;
    LineBuffer& operator=(const LineBuffer&) = delete;
    ~LineBuffer() {
        if (!owner_) return;
        if (kept_line.capacity() > (std::size_t{64} << 10)) std::string().swap(kept_line);
        kept_line_busy = false;
    }
    std::string& text() { return owner_ ? kept_line : own_; }

private:
    bool owner_;
    std::string own_;
};

constexpr const char* record_params[] = {"trace"};
constexpr Signature record_sig{"OstikClient.record_trace", record_params, 1, 1};

PyObject* record(ClientObject* client, PyObject* trace) {
    ostik::TraceWriter* writer = client->writer;
    if (!writer) {
        PyErr_SetString(PyExc_RuntimeError,
                        "trace_file is not configured; provide trace_file when creating OstikClient to enable "
                        "record_trace");
        return nullptr;
    }
    if (writer->broken()) {
        PyErr_SetString(PyExc_RuntimeError, "Failed to lock trace file writer");
        return nullptr;
    }
    // Conversion may run user code that lets other threads in, so the record
    // is converted and formatted whole before the writer lock is taken: the
    // lock is never held across Python code, and a thread waiting for it while
    // holding the interpreter lock cannot block its holder.
    // The text is written as the object is walked, the same text its Value
    // would give, with no Value built.
    LineBuffer buffer;
    std::string& line = buffer.text();
    if (auto failure = write_json(trace, line)) {
        set_error(PyExc_ValueError, "Invalid trace format: " + *failure);
        return nullptr;
    }
    line += '\n';

    auto appended = writer->append(line);
    if (!appended) {
        if (appended.error().kind == ostik::TraceWriter::AppendError::Kind::broken_lock) {
            PyErr_SetString(PyExc_RuntimeError, "Failed to lock trace file writer");
        } else {
            set_error(PyExc_RuntimeError, "Failed to flush: " + appended.error().message);
        }
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* client_record_trace(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* trace;
    if (!parse_args(record_sig, args, nargs, kwnames, &trace)) return nullptr;
    try {
        return record(reinterpret_cast<ClientObject*>(self), trace);
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyMethodDef client_methods[] = {
    {"record_trace", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(client_record_trace)),
     METH_FASTCALL | METH_KEYWORDS, "record_trace($self, trace)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot client_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(client_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(client_dealloc)},
    {Py_tp_methods, client_methods},
    {Py_tp_doc, const_cast<char*>("OstikClient(trace_file=None)\n--\n\nA client for recording Ostik traces from Python.")},
    {0, nullptr},
};

PyType_Spec client_spec = {
    "ostik._native.OstikClient",
    sizeof(ClientObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    client_slots,
};

}  // namespace

PyObject* create_client_type(PyObject* module) { return PyType_FromModuleAndSpec(module, &client_spec, nullptr); }

}  // namespace ostik::py
