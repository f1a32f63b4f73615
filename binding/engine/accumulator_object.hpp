// What the accumulator classes (CoverageAccumulator, AuditAccumulator,
// DiffAccumulator) share: the object that owns the C++ accumulator, the
// methods that only carry one around (merge, to_bytes, from_bytes, pickling),
// and add_many's reading of traces and references, written once for all.
//
// A class supplies its traits:
//   Accumulator         the C++ accumulator (merge, same_policy, to_bytes,
//                       from_bytes(basis, bytes), basis())
//   Basis               its basis, as basis_argument builds it
//   name                the class name, for signatures and messages
//   merge_sig, from_bytes_sig
// and, for the classes that keep traces by reference (ReferencedAdding):
//   add_sig, add_many_sig
//   add_read(acc, read, trace, ref)  judges trace `trace` of `read`
#pragma once

#include <Python.h>

#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "../common/args.hpp"
#include "../common/ref.hpp"
#include "../common/trace_sequence.hpp"
#include "../common/util.hpp"
#include "engine.hpp"
#include "policy_bases.hpp"
#include "trace_refs.hpp"
#include "trace_steps.hpp"

namespace ostik::py::engine {

// add_many(traces, refs=None)'s input: the whole nesting taken before any
// step is read, then every trace's steps read into `read`, and the
// references (None each, without `refs_obj`). False with the exception set.
inline bool read_traces(PyObject* traces, PyObject* refs_obj, TraceSteps& read,
                        std::vector<std::optional<TraceRef>>* refs) {
    auto items = extract_sequence(traces, "traces");
    if (!items) return false;
    std::vector<std::vector<OwnedRef>> collected;
    collected.reserve(items->size());
    for (const OwnedRef& item : *items) {
        auto steps = extract_sequence(item.get(), "traces");
        if (!steps) return false;
        collected.push_back(std::move(*steps));
    }
    if (refs) {
        refs->assign(collected.size(), std::nullopt);
        if (refs_obj && refs_obj != Py_None) {
            auto given = extract_sequence(refs_obj, "refs");
            if (!given) return false;
            if (given->size() != collected.size()) {
                PyErr_Format(PyExc_ValueError, "argument 'refs': %zu references for %zu traces", given->size(),
                             collected.size());
                return false;
            }
            for (std::size_t i = 0; i < refs->size(); ++i) {
                if (!ref_argument((*given)[i].get(), "refs", (*refs)[i])) return false;
            }
        }
    }
    std::size_t total = 0;
    for (const std::vector<OwnedRef>& steps : collected) total += steps.size();
    read.reserve(total, collected.size());
    for (const std::vector<OwnedRef>& steps : collected) {
        if (!read.read(steps)) return false;
    }
    return true;
}

// Judges every trace read, `add(work, trace, ref)` giving its result, into a
// copy of `acc`, so that the accumulator takes all of them or none; a trace
// given no reference is numbered by its position. False with the exception set.
template <class Accumulator, class Add>
bool add_each(Accumulator& acc, const TraceSteps& read, const std::vector<std::optional<TraceRef>>& refs, Add&& add,
              const char* where) {
    Accumulator work = acc;
    for (std::size_t i = 0; i < read.traces(); ++i) {
        if (PyErr_CheckSignals() < 0) return false;
        if (!counted(add(work, i, refs[i] ? *refs[i] : work.next_position()), where)) return false;
    }
    acc = std::move(work);
    return true;
}

// `body(guard)` on the guard of an accumulator's basis, which judges the
// argument rules and entries; a basis whose policy no guard could be made of
// (a constraint it cannot understand) has none, and raises ValueError with
// Guard(policy)'s message. An allocation failure becomes MemoryError.
template <class Basis, class Body>
PyObject* with_guard(const Basis& basis, Body&& body) {
    const ostik::Guard* guard = basis.guard();
    if (!guard) {
        PyErr_SetString(PyExc_ValueError, basis.argument_error().c_str());
        return nullptr;
    }
    return entry_point([&]() -> PyObject* { return body(*guard); });
}

template <class Traits>
struct AccumulatorObject {
    using Accumulator = typename Traits::Accumulator;

    PyObject_HEAD
    Accumulator* acc;

    // The class, once created (for merge's type check).
    static inline PyTypeObject* type = nullptr;

    static Accumulator& of(PyObject* self) { return *reinterpret_cast<AccumulatorObject*>(self)->acc; }

    static PyObject* wrap(PyTypeObject* cls, Accumulator&& acc) {
        auto held = std::make_unique<Accumulator>(std::move(acc));
        PyObject* self = cls->tp_alloc(cls, 0);
        if (!self) return nullptr;
        reinterpret_cast<AccumulatorObject*>(self)->acc = held.release();
        return self;
    }

    static void dealloc(PyObject* self) {
        PyTypeObject* tp = Py_TYPE(self);
        delete reinterpret_cast<AccumulatorObject*>(self)->acc;
        tp->tp_free(self);
        Py_DECREF(tp);
    }

    static PyObject* merge(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        PyObject* other;
        if (!parse_args(Traits::merge_sig, args, nargs, kwnames, &other)) return nullptr;
        if (!PyObject_TypeCheck(other, type)) {
            raise_cannot_convert("other", other, Traits::name);
            return nullptr;
        }
        try {
            if (!of(self).same_policy(of(other))) {
                PyErr_SetString(PyExc_ValueError, "cannot merge accumulators made with different policies");
                return nullptr;
            }
            if (!counted(of(self).merge(of(other)), Traits::merge_sig.name)) return nullptr;
            Py_RETURN_NONE;
        } catch (const std::bad_alloc&) {
            return PyErr_NoMemory();
        }
    }

    static PyObject* to_bytes(PyObject* self, PyObject*) {
        try {
            const std::string bytes = of(self).to_bytes();
            return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
        } catch (const std::bad_alloc&) {
            return PyErr_NoMemory();
        }
    }

    static PyObject* from_bytes(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        PyObject* argv[2];
        if (!parse_args(Traits::from_bytes_sig, args, nargs, kwnames, argv)) return nullptr;
        try {
            auto basis = basis_argument<typename Traits::Basis>(argv[0], "policy");
            if (!basis) return nullptr;
            auto data = bytes_argument(argv[1], "data");
            if (!data) return nullptr;
            auto acc = Accumulator::from_bytes(std::move(basis), *data);
            if (!acc) {
                set_error(PyExc_ValueError, std::string("invalid ") + Traits::name + " bytes: " + acc.error());
                return nullptr;
            }
            return wrap(reinterpret_cast<PyTypeObject*>(cls), std::move(*acc));
        } catch (const std::bad_alloc&) {
            return PyErr_NoMemory();
        }
    }

    // Pickled as from_bytes(policy bytes, state bytes): the policy travels
    // with the state, so an accumulator unpickles in any process.
    static PyObject* reduce(PyObject* self, PyObject*) {
        try {
            const Accumulator& acc = of(self);
            return pickled_as_from_bytes(self, acc.basis()->key().encoding, acc.to_bytes());
        } catch (const std::bad_alloc&) {
            return PyErr_NoMemory();
        }
    }
};

// add(trace, ref=None) and add_many(traces, refs=None) of the accumulators
// that keep traces by reference (AuditAccumulator, DiffAccumulator): a
// trace given no reference is numbered by its position.
template <class Traits>
struct ReferencedAdding {
    using Accumulator = typename Traits::Accumulator;

    static TraceSteps steps_for(const Accumulator& acc) {
        return TraceSteps("Invalid tool call format: ", acc.basis()->judges_arguments(), acc.basis()->judges_times(),
                          acc.basis()->judges_results());
    }

    static PyObject* add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        PyObject* argv[2] = {nullptr, nullptr};
        if (!parse_args(Traits::add_sig, args, nargs, kwnames, argv)) return nullptr;
        try {
            auto steps = extract_sequence(argv[0], "trace");
            if (!steps) return nullptr;
            std::optional<TraceRef> ref;
            if (!ref_argument(argv[1], "ref", ref)) return nullptr;
            Accumulator& acc = AccumulatorObject<Traits>::of(self);
            TraceSteps read = steps_for(acc);
            read.reserve(steps->size(), 1);
            if (!read.read(*steps)) return nullptr;
            if (!counted(Traits::add_read(acc, read, 0, ref ? *ref : acc.next_position()), Traits::add_sig.name)) {
                return nullptr;
            }
            Py_RETURN_NONE;
        } catch (const std::bad_alloc&) {
            return PyErr_NoMemory();
        }
    }

    static PyObject* add_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        PyObject* argv[2] = {nullptr, nullptr};
        if (!parse_args(Traits::add_many_sig, args, nargs, kwnames, argv)) return nullptr;
        try {
            Accumulator& acc = AccumulatorObject<Traits>::of(self);
            TraceSteps read = steps_for(acc);
            std::vector<std::optional<TraceRef>> refs;
            if (!read_traces(argv[0], argv[1], read, &refs)) return nullptr;
            if (!add_each(acc, read, refs, [&](Accumulator& work, std::size_t i, const TraceRef& ref) {
                    return Traits::add_read(work, read, i, ref);
                }, Traits::add_many_sig.name)) {
                return nullptr;
            }
            Py_RETURN_NONE;
        } catch (const std::bad_alloc&) {
            return PyErr_NoMemory();
        }
    }
};

}  // namespace ostik::py::engine
