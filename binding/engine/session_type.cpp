// The Session class: one agent run under a Guard. Every call is judged as the
// next step of the run; the session's own lock serializes the threads that
// share it, and no Python code runs while that lock is held (arguments are
// converted and a check's Decision object made before it is taken; the
// session decides into that object under it, other Decisions are made after
// it is released).
#include <Python.h>

#include <algorithm>
#include <memory>
#include <cmath>
#include <new>
#include <optional>
#include <string>
#include <system_error>

#include "../common/args.hpp"
#include "../common/convert.hpp"
#include "../common/ref.hpp"
#include "../common/report_str.hpp"
#include "../common/step_reader.hpp"
#include "../common/str_utf8.hpp"
#include "../common/util.hpp"
#include "call_arguments.hpp"
#include "engine.hpp"
#include "ostik/guard.hpp"

namespace ostik::py::engine {

namespace {

PyTypeObject* session_type = nullptr;

// The sets of SessionObject::recent, and the names each holds.
constexpr std::size_t recent_sets = 16;
constexpr std::size_t recent_ways = 4;

struct SessionObject {
    PyObject_HEAD
    // Holds the guard it runs on, so the Guard object may go first.
    ostik::GuardSession* session;
    PyObject* clock;     // owned, or null: the steady clock
    PyObject* approver;  // owned, or null
    // The slots of the tool names checked so far, owned, or null before the
    // first: str -> slot * 4 + 2 when a call of it is given its fingerprint
    // + 1 when it needs all its arguments, or (that, the argument names it
    // needs the values of) when there are some (GuardSession::ToolSlot).
    PyObject* tools;
    // The last names found in `tools`, by object, a few per set of the
    // name's hash, the latest first: a caller that passes the same str
    // object again (a function's name, a constant) skips the dict. Each name
    // is owned, so an entry's object is never another's.
    struct RecentTool {
        PyObject* name;   // owned, or null
        PyObject* entry;  // its value in `tools`, owned, or null
    } recent[recent_sets * recent_ways];
    // The object of the members the last call read in part was given, kept
    // to be refilled in place by the next such call (spare_object in
    // call_arguments.hpp); null before the first. Like `recent`, it is
    // guarded by the GIL, which a check holds while it takes and gives it.
    ostik::Value spare;
};

// The first of the entries a str may be in; null before it is hashed.
SessionObject::RecentTool* recent_set(SessionObject* s, PyObject* tool) {
    const Py_hash_t hash = reinterpret_cast<PyASCIIObject*>(tool)->hash;
    if (hash == -1) return nullptr;
    return &s->recent[recent_ways * (static_cast<std::size_t>(hash) % recent_sets)];
}

// The most tool names a session keeps the slots of; later names are looked up
// by the core on every call.
constexpr Py_ssize_t kept_tool_names = 4096;

ostik::GuardSession& session_of(PyObject* self) { return *reinterpret_cast<SessionObject*>(self)->session; }
ostik::Value& spare_of(PyObject* self) { return reinterpret_cast<SessionObject*>(self)->spare; }

void session_dealloc(PyObject* self) {
    PyTypeObject* tp = Py_TYPE(self);
    delete reinterpret_cast<SessionObject*>(self)->session;
    Py_XDECREF(reinterpret_cast<SessionObject*>(self)->clock);
    Py_XDECREF(reinterpret_cast<SessionObject*>(self)->approver);
    Py_XDECREF(reinterpret_cast<SessionObject*>(self)->tools);
    for (SessionObject::RecentTool& r : reinterpret_cast<SessionObject*>(self)->recent) {
        Py_XDECREF(r.name);
        Py_XDECREF(r.entry);
    }
    std::destroy_at(&reinterpret_cast<SessionObject*>(self)->spare);
    tp->tp_free(self);
    Py_DECREF(tp);
}

// Runs a method's body with its C++ failures turned into Python exceptions:
// allocation, and taking the session's lock (which fails only through the
// system).
template <class F>
PyObject* session_entry(F&& body) {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (const std::system_error& e) {
        PyErr_Format(PyExc_RuntimeError, "Failed to lock session: %s", e.what());
        return nullptr;
    }
}

// The slot of a tool name and whether its calls need their arguments: kept
// per name for plain str objects (a subclass may compare in its own way), so
// that a known name costs one dict lookup, or none when the same object came
// lately. Without `make`, a name the session has no slot for gets none (its
// slot left empty, nothing kept), so that a peek leaves no trace of a tool.
// Nothing with the exception set.
struct KnownTool {
    std::optional<std::uint32_t> slot;
    bool needs_arguments = false;
    bool fingerprint = false;
    OwnedRef keys;  // a tuple of str, or null for none
};

// A slot's entry in the session's names.
OwnedRef tool_entry(const GuardSession::ToolSlot& slot, OwnedRef& keys) {
    const unsigned long long code = (static_cast<unsigned long long>(slot.slot) << 2) | (slot.fingerprint ? 2 : 0) |
                                    (slot.needs_arguments ? 1 : 0);
    OwnedRef number = OwnedRef::steal(PyLong_FromUnsignedLongLong(code));
    if (!number || slot.keys.empty()) return number;
    keys = OwnedRef::steal(PyTuple_New(static_cast<Py_ssize_t>(slot.keys.size())));
    if (!keys) return OwnedRef();
    for (std::size_t i = 0; i < slot.keys.size(); ++i) {
        OwnedRef key = str_from_utf8(slot.keys[i]);
        if (!key) return OwnedRef();
        // Interned, as the keys of most arguments' dicts are: a key is then
        // found among them by its object (see plain_fingerprint).
        PyObject* name = key.release();
        PyUnicode_InternInPlace(&name);
        PyTuple_SET_ITEM(keys.get(), static_cast<Py_ssize_t>(i), name);
        // Interning fails only for want of memory, and says nothing.
        if (!PyUnicode_CHECK_INTERNED(name)) {
            PyErr_NoMemory();
            return OwnedRef();
        }
    }
    return OwnedRef::steal(PyTuple_Pack(2, number.get(), keys.get()));
}

KnownTool known_tool(PyObject* entry) {
    KnownTool k;
    if (PyTuple_CheckExact(entry)) {
        k.keys = OwnedRef::borrow(PyTuple_GET_ITEM(entry, 1));
        entry = PyTuple_GET_ITEM(entry, 0);
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(entry);
    k.slot = static_cast<std::uint32_t>(v >> 2);
    k.fingerprint = (v & 2) != 0;
    k.needs_arguments = (v & 1) != 0;
    return k;
}

std::optional<KnownTool> tool_slot_of(PyObject* self, PyObject* tool, std::string_view text, bool make) {
    auto* s = reinterpret_cast<SessionObject*>(self);
    const bool keep = PyUnicode_CheckExact(tool);
    if (keep && s->tools) {
        SessionObject::RecentTool* recent = recent_set(s, tool);
        for (std::size_t i = 0; recent && i < recent_ways; ++i) {
            if (recent[i].name != tool) continue;
            const SessionObject::RecentTool found = recent[i];
            std::copy_backward(recent, recent + i, recent + i + 1);
            recent[0] = found;
            return known_tool(found.entry);
        }
        if (PyObject* known = PyDict_GetItemWithError(s->tools, tool)) {  // borrowed
            // The lookup has hashed the name.
            if ((recent = recent_set(s, tool))) {
                Py_XDECREF(recent[recent_ways - 1].name);
                Py_XDECREF(recent[recent_ways - 1].entry);
                std::copy_backward(recent, recent + recent_ways - 1, recent + recent_ways);
                recent[0] = {Py_NewRef(tool), Py_NewRef(known)};
            }
            return known_tool(known);
        }
        if (PyErr_Occurred()) return std::nullopt;
    }
    GuardSession& session = session_of(self);
    GuardSession::ToolSlot slot;
    if (make) {
        slot = session.tool_slot(text);
    } else if (const auto found = session.known_tool_slot(text)) {
        slot = *found;
    } else {
        return KnownTool{std::nullopt, session.needs_arguments(text, false)};
    }
    OwnedRef keys;
    OwnedRef entry = tool_entry(slot, keys);
    if (!entry) return std::nullopt;
    if (keep) {
        if (!s->tools) {
            s->tools = PyDict_New();
            if (!s->tools) return std::nullopt;
        }
        if (PyDict_GET_SIZE(s->tools) < kept_tool_names && PyDict_SetItem(s->tools, tool, entry.get()) < 0) {
            return std::nullopt;
        }
    }
    return KnownTool{slot.slot, slot.needs_arguments, slot.fingerprint, std::move(keys)};
}

// Reads what the tool's slot needs of the arguments (with `known.keys`, those
// members of a plain dict; with `known.fingerprint`, their fingerprint read
// from the objects) into `call` and `print`; false when they must be
// converted whole, which reports what is wrong with them.
bool read_some_arguments(PyObject* args, const KnownTool& known, ostik::ToolCall& call,
                         std::optional<GuardSession::CallFingerprint>& print, ostik::Value& spare) {
    if (!args || args == Py_None) {
        print.emplace();
        return true;
    }
    GuardSession::CallFingerprint fp{true, 0};
    if (known.fingerprint && known.keys) {
        // One reading of the dict for both.
        call.args = spare_object(spare);
        const auto hash = plain_fingerprint(args, known.keys.get(), call.args->as<Object>());
        if (!hash) return false;
        fp.hash = *hash;
        print = fp;
        return true;
    }
    if (known.fingerprint) {
        const auto hash = plain_fingerprint(args);
        if (!hash) return false;
        fp.hash = *hash;
    } else if (check_value(args, Dialect::engine)) {
        return false;
    }
    if (known.keys) {
        if (!PyDict_CheckExact(args)) return false;
        call.args = spare_object(spare);
        if (!selected_members(args, known.keys.get(), call.args->as<Object>())) return false;
    }
    print = fp;
    return true;
}

// The call as the core judges it, and its tool's slot. The tool must be a
// str; args (None for none) are converted here, before any lock is taken,
// since conversion may run Python code. Arguments the session has no use for
// (no argument rule of the tool, no trace file, no kept calls, no call id)
// are only checked: they are refused alike, and building them would be most
// of a check's cost.
//
// With `print`, a call whose judgement reads only part of its arguments is
// given that part and its fingerprint in `print` (see check()); without it,
// they are converted whole.
std::optional<ostik::ToolCall> read_call(PyObject* self, PyObject* tool, PyObject* args, bool call_id,
                                         std::optional<std::uint32_t>& slot, bool make_slot,
                                         std::optional<GuardSession::CallFingerprint>* print = nullptr) {
    const auto text = str_argument(tool, "tool");
    if (!text) return std::nullopt;
    ostik::ToolCall call;
    call.tool.assign(*text);
    const auto known = tool_slot_of(self, tool, call.tool, make_slot);
    if (!known) return std::nullopt;
    slot = known->slot;
    const bool some = !call_id && !known->needs_arguments && (known->fingerprint || known->keys);
    if (some && print) {
        if (read_some_arguments(args, *known, call, *print, spare_of(self))) return call;
        if (PyErr_Occurred()) return std::nullopt;
        give_back(call.args, spare_of(self));
    }
    if (args && args != Py_None) {
        if (!call_id && !known->needs_arguments && !some) {
            if (auto failed = check_value(args, Dialect::engine)) {
                set_error(PyExc_ValueError, "Invalid tool call format: " + argument_failure_text(*failed));
                return std::nullopt;
            }
            return call;
        }
        auto value = to_value(args, Dialect::engine);
        if (!value) {
            // Named by the argument it is in: "argument 'n': the integer ...".
            set_error(PyExc_ValueError, "Invalid tool call format: " + argument_failure_text(value.error()));
            return std::nullopt;
        }
        call.args = std::move(*value);
    }
    return call;
}

// A call id: a str, or None for none.
bool read_call_id(PyObject* obj, std::optional<std::string>& out) {
    if (!obj || obj == Py_None) return true;
    const auto text = str_argument(obj, "call_id");
    if (!text) return false;
    out.emplace(*text);
    return true;
}

// The session clock's time, read before the session's lock is taken: the
// clock's seconds when one was given and the call needs a time, otherwise
// nothing (the core reads the steady clock when it needs one). False with the
// exception set when the clock fails or gives no number.
bool session_time(PyObject* self, std::optional<double>& now) {
    PyObject* clock = reinterpret_cast<SessionObject*>(self)->clock;
    if (!clock || !session_of(self).needs_time()) return true;
    OwnedRef value = OwnedRef::steal(PyObject_CallNoArgs(clock));
    if (!value) return false;
    if (!PyFloat_Check(value.get()) && !PyLong_Check(value.get())) {
        PyErr_Format(PyExc_TypeError, "the session's clock must return a number of seconds, not %.200s",
                     Py_TYPE(value.get())->tp_name);
        return false;
    }
    const double seconds = PyFloat_AsDouble(value.get());
    if (seconds == -1.0 && PyErr_Occurred()) return false;
    if (!std::isfinite(seconds)) {
        PyErr_SetString(PyExc_ValueError, "the session's clock returned a number that is not finite");
        return false;
    }
    now = seconds;
    return true;
}

// The exception of a check that failed.
PyObject* raise_check_error(const ostik::GuardSession::CheckError& error) {
    using Kind = ostik::GuardSession::CheckError::Kind;
    switch (error.kind) {
        case Kind::broken_lock:
            PyErr_SetString(PyExc_RuntimeError, "Failed to lock trace file writer");
            break;
        case Kind::write:
            set_error(PyExc_RuntimeError, "Failed to flush: " + error.message);
            break;
        case Kind::call_id_reused: {
            OwnedRef id = make_str(error.message);
            if (id) {
                PyErr_Format(PyExc_ValueError, "call_id %R was already decided for another call (another tool or other args)",
                             id.get());
            }
            break;
        }
        case Kind::needs_arguments:
            PyErr_SetString(PyExc_RuntimeError, "the call's arguments were not read");
            break;
        case Kind::not_pending: {
            OwnedRef id = make_str(error.message);
            if (id) PyErr_Format(PyExc_ValueError, "call_id %R is not waiting for approval", id.get());
            break;
        }
    }
    return nullptr;
}

constexpr const char* call_params[] = {"tool", "args", "call_id"};
constexpr Signature check_sig{"Session.check", call_params, 3, 1, 2};
constexpr Signature peek_sig{"Session.peek", call_params, 3, 1, 2};

PyObject* session_check(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* argv[3];
    if (!parse_args(check_sig, args, nargs, kwnames, argv)) return nullptr;
    return session_entry([&]() -> PyObject* {
        std::optional<std::string> call_id;
        if (!read_call_id(argv[2], call_id)) return nullptr;
        std::optional<std::uint32_t> slot;
        std::optional<GuardSession::CallFingerprint> print;
        auto call = read_call(self, argv[0], argv[1], call_id.has_value(), slot, true, &print);
        if (!call) return nullptr;
        std::optional<double> now;
        if (!session_time(self, now)) return nullptr;
        // The session decides into the Decision it returns.
        SessionDecision* made = nullptr;
        OwnedRef decision = OwnedRef::steal(new_session_decision(self, made));
        if (!decision) return nullptr;
        auto checked = session_of(self).check(*made, std::move(*call), call_id, now, slot, print);
        if (!checked && checked.error().kind == GuardSession::CheckError::Kind::needs_arguments) {
            // It waits for approval, and waits whole.
            call = read_call(self, argv[0], argv[1], call_id.has_value(), slot, true);
            if (!call) return nullptr;
            *made = SessionDecision();
            checked = session_of(self).check(*made, std::move(*call), call_id, now, slot);
        } else if (print) {
            // The members read (the session keeps no call read in part).
            give_back(call->args, spare_of(self));
        }
        if (!checked) return raise_check_error(checked.error());
        return decision.release();
    });
}

PyObject* session_peek(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* argv[3];
    if (!parse_args(peek_sig, args, nargs, kwnames, argv)) return nullptr;
    return session_entry([&]() -> PyObject* {
        std::optional<std::string> call_id;
        if (!read_call_id(argv[2], call_id)) return nullptr;
        std::optional<std::uint32_t> slot;
        std::optional<GuardSession::CallFingerprint> print;
        auto call = read_call(self, argv[0], argv[1], call_id.has_value(), slot, false, &print);
        if (!call) return nullptr;
        std::optional<double> now;
        if (!session_time(self, now)) return nullptr;
        auto decision = session_of(self).peek(*call, call_id, now, slot, print);
        if (print) give_back(call->args, spare_of(self));
        if (!decision) return raise_check_error(decision.error());
        return new_session_decision(std::move(*decision), self);
    });
}

constexpr const char* record_params[] = {"call_id_or_step", "result", "is_error"};
constexpr Signature record_sig{"Session.record_result", record_params, 3, 2, 2};

// Records `obj` as the result of `ref`: a str's text as it lies (the core
// builds no Value of it unless a trace file needs one), anything else
// converted first. Nothing, with the error raised, when it cannot be.
std::optional<std::expected<void, GuardSession::ResultError>> record_session_result(GuardSession& session,
                                                                                 const GuardSession::CallRef& ref,
                                                                                 PyObject* obj, bool is_error) {
    if (PyUnicode_CheckExact(obj)) {
        if (PyUnicode_IS_ASCII(obj)) return session.record_text_result(ref, ascii_text(obj), is_error);
        std::string utf8;
        if (str_utf8_into(utf8, obj)) return session.record_text_result(ref, utf8, is_error);
        // A str with no UTF-8 form: the conversion below raises its error.
        PyErr_Clear();
    }
    auto result = result_value(obj);
    if (!result) return std::nullopt;
    return session.record_result(ref, *result, is_error);
}

PyObject* session_record_result(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* argv[3];
    if (!parse_args(record_sig, args, nargs, kwnames, argv)) return nullptr;
    return session_entry([&]() -> PyObject* {
        ostik::GuardSession::CallRef ref;
        PyObject* which = argv[0];
        if (PyUnicode_Check(which)) {
            if (!read_call_id(which, ref.call_id)) return nullptr;
        } else if (PyLong_Check(which) && !PyBool_Check(which)) {
            const long long step = PyLong_AsLongLong(which);
            if (step == -1 && PyErr_Occurred()) return nullptr;
            if (step < 0) {
                PyErr_Format(PyExc_ValueError, "no call of the session is step %lld", step);
                return nullptr;
            }
            ref.step = static_cast<std::uint64_t>(step);
        } else {
            raise_cannot_convert("call_id_or_step", which, "str or int");
            return nullptr;
        }
        bool is_error = false;
        if (argv[2]) {
            const int truth = PyObject_IsTrue(argv[2]);
            if (truth < 0) return nullptr;
            is_error = truth == 1;
        }
        auto recorded = record_session_result(session_of(self), ref, argv[1], is_error);
        if (!recorded) return nullptr;
        if (*recorded) Py_RETURN_NONE;
        const auto& failed = *recorded;
        using Kind = ostik::GuardSession::ResultError::Kind;
        const ostik::GuardSession::ResultError& e = failed.error();
        if (e.kind == Kind::write && e.write_error) return raise_check_error(*e.write_error);
        OwnedRef shown = OwnedRef::steal(PyObject_Repr(which));
        if (!shown) return nullptr;
        const char* what = e.kind == Kind::unknown_call ? "is no call of this session"
                           : e.kind == Kind::pending    ? "waits for approval and has not run"
                                                        : "was refused and never ran";
        PyErr_Format(PyExc_ValueError, "no result can be recorded for call %U: it %s", shown.get(), what);
        return nullptr;
    });
}

constexpr const char* approve_params[] = {"call_id"};
constexpr Signature approve_sig{"Session.approve", approve_params, 1, 1};
constexpr const char* deny_params[] = {"call_id", "reason"};
constexpr Signature deny_sig{"Session.deny", deny_params, 2, 1};

PyObject* resolve_call(PyObject* self, PyObject* id_obj, bool approved, PyObject* reason_obj) {
    return session_entry([&]() -> PyObject* {
        const auto call_id = str_argument(id_obj, "call_id");
        if (!call_id) return nullptr;
        std::optional<std::string> reason;
        if (reason_obj && reason_obj != Py_None) {
            const auto text = str_argument(reason_obj, "reason");
            if (!text) return nullptr;
            reason.emplace(*text);
        }
        std::optional<double> now;
        if (!session_time(self, now)) return nullptr;
        auto decision = session_of(self).resolve(std::string(*call_id), approved, reason, now);
        if (!decision) return raise_check_error(decision.error());
        return new_session_decision(std::move(*decision), self);
    });
}

PyObject* session_approve(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* argv[1];
    if (!parse_args(approve_sig, args, nargs, kwnames, argv)) return nullptr;
    return resolve_call(self, argv[0], true, nullptr);
}

PyObject* session_deny(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* argv[2];
    if (!parse_args(deny_sig, args, nargs, kwnames, argv)) return nullptr;
    return resolve_call(self, argv[0], false, argv[1]);
}

PyObject* session_pending(PyObject* self, void*) {
    return session_entry([&]() -> PyObject* {
        return make_str_list(session_of(self).pending()).release();
    });
}

PyObject* session_approver(PyObject* self, void*) {
    PyObject* approver = reinterpret_cast<SessionObject*>(self)->approver;
    return Py_NewRef(approver ? approver : Py_None);
}

constexpr const char* unjudged_params[] = {"tool", "reason"};
constexpr Signature unjudged_sig{"Session._unjudged", unjudged_params, 2, 2};

// Notes in the trace file that a call ran without being judged.
PyObject* session_unjudged(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* argv[2];
    if (!parse_args(unjudged_sig, args, nargs, kwnames, argv)) return nullptr;
    const auto tool = str_argument(argv[0], unjudged_params[0]);
    if (!tool) return nullptr;
    const auto reason = str_argument(argv[1], unjudged_params[1]);
    if (!reason) return nullptr;
    return session_entry([&]() -> PyObject* {
        auto noted = session_of(self).note_unjudged(*tool, *reason);
        if (!noted) return raise_check_error(noted.error());
        Py_RETURN_NONE;
    });
}

constexpr Signature to_bytes_sig{"Session.to_bytes", nullptr, 0, 0};

PyObject* session_to_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!parse_args(to_bytes_sig, args, nargs, kwnames, nullptr)) return nullptr;
    return session_entry([&]() -> PyObject* {
        const std::string bytes = session_of(self).to_bytes();
        return PyBytes_FromStringAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size()));
    });
}

constexpr Signature finish_sig{"Session.finish", nullptr, 0, 0};

PyObject* session_finish(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!parse_args(finish_sig, args, nargs, kwnames, nullptr)) return nullptr;
    return session_entry([&]() -> PyObject* { return new_rule_failure_list(session_of(self).finish()); });
}

constexpr Signature explain_sig{"Session.explain", nullptr, 0, 0};

PyObject* session_explain(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!parse_args(explain_sig, args, nargs, kwnames, nullptr)) return nullptr;
    return session_entry([&]() -> PyObject* {
        const auto report = session_of(self).explain_json();
        if (!report) {
            PyErr_SetString(PyExc_RuntimeError,
                            "Session.explain() needs the session's calls: create the session with keep=True");
            return nullptr;
        }
        return str_from_utf8(*report).release();
    });
}

// The wrappers live in ostik.guarding; the module is imported on first use
// and kept.
// `name` is "wrap" or "decorator".
PyObject* guarding_function(const char* name) {
    static PyObject* module = nullptr;
    if (!module) {
        PyObject* imported = PyImport_ImportModule("ostik.guarding");
        if (!imported) return nullptr;
        // The import may have let another thread import it meanwhile.
        if (module) Py_DECREF(imported);
        else module = imported;
    }
    static PyObject* wrap_name = nullptr;
    static PyObject* decorator_name = nullptr;
    const bool wrap = std::string_view(name) == "wrap";
    PyObject* attribute = interned_name(name, wrap ? wrap_name : decorator_name);
    if (!attribute) return nullptr;
    return PyObject_GetAttr(module, attribute);
}

PyObject* on_error_of(PyObject* self) {
    return PyUnicode_FromString(on_error_name(session_of(self).guard().policy().on_error));
}

// guarding.wrap(session, fn, name, on_error), or without `fn`
// guarding.decorator(session, name, on_error).
PyObject* call_guarding(PyObject* self, PyObject* fn, PyObject* name) {
    OwnedRef f = OwnedRef::steal(guarding_function(fn ? "wrap" : "decorator"));
    if (!f) return nullptr;
    OwnedRef on_error = OwnedRef::steal(on_error_of(self));
    if (!on_error) return nullptr;
    if (!name) name = Py_None;
    if (fn) {
        PyObject* call_args[] = {self, fn, name, on_error.get()};
        return PyObject_Vectorcall(f.get(), call_args, 4, nullptr);
    }
    PyObject* call_args[] = {self, name, on_error.get()};
    return PyObject_Vectorcall(f.get(), call_args, 3, nullptr);
}

constexpr const char* guarded_params[] = {"fn", "name"};
constexpr Signature guarded_sig{"Session.guarded", guarded_params, 2, 1};

PyObject* session_guarded(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* argv[2];
    if (!parse_args(guarded_sig, args, nargs, kwnames, argv)) return nullptr;
    return call_guarding(self, argv[0], argv[1]);
}

constexpr Signature tool_sig{"Session.tool", guarded_params, 2, 0};

PyObject* session_tool(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* argv[2];
    if (!parse_args(tool_sig, args, nargs, kwnames, argv)) return nullptr;
    PyObject* fn = argv[0];
    PyObject* name = argv[1];
    // @session.tool("name") names the tool; @session.tool and
    // @session.tool(name=...) do not.
    if (fn && PyUnicode_Check(fn)) {
        if (name && name != Py_None) {
            PyErr_SetString(PyExc_TypeError, "Session.tool() got a tool name twice: as 'fn' and as 'name'");
            return nullptr;
        }
        return call_guarding(self, nullptr, fn);
    }
    if (!fn || fn == Py_None) return call_guarding(self, nullptr, name);
    return call_guarding(self, fn, name);
}

constexpr const char* refusal_params[] = {"reason", "tool"};
constexpr Signature refusal_sig{"Session._refusal", refusal_params, 2, 1};

// The Decision of a call of `tool` refused because it could not be judged, at
// the step it would have taken. Nothing is entered.
PyObject* session_refusal(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* argv[2];
    if (!parse_args(refusal_sig, args, nargs, kwnames, argv)) return nullptr;
    PyObject* reason = argv[0];
    PyObject* tool = argv[1];
    const auto text = str_argument(reason, "reason");
    if (!text) return nullptr;
    std::optional<std::string_view> tool_text{std::in_place};
    if (tool && tool != Py_None && !(tool_text = str_argument(tool, "tool"))) return nullptr;
    return session_entry([&]() -> PyObject* {
        ostik::GuardDecision d;
        d.verdict = Verdict::blocked;
        d.step = session_of(self).steps();
        d.tool.assign(*tool_text);
        ostik::RuleEvaluation& e = d.failures.emplace_back();
        e.rule_id = "on_error";
        e.rule_type = "on_error";
        e.passed = false;
        e.explanation.assign(*text);
        d.message = "The arguments of '" + d.tool + "' cannot be checked (" + e.explanation + "); call it with other values.";
        return new_decision(std::move(d));
    });
}

PyObject* session_steps(PyObject* self, void*) {
    return session_entry([&]() -> PyObject* { return PyLong_FromUnsignedLongLong(session_of(self).steps()); });
}

PyObject* session_refused(PyObject* self, void*) {
    return session_entry([&]() -> PyObject* { return PyLong_FromUnsignedLongLong(session_of(self).refused()); });
}

PyObject* session_mode(PyObject* self, void*) {
    return PyUnicode_FromString(session_of(self).mode() == GuardMode::enforce ? "enforce" : "observe");
}

PyMethodDef session_methods[] = {
    {"check", fastcall(session_check), METH_FASTCALL | METH_KEYWORDS,
     "check($self, tool, args=None, *, call_id=None)\n--\n\n"
     "Judges a call of `tool` with `args` as the next step of the run and returns\n"
     "the Decision. Enforcing, the call counts only when allowed; observing,\n"
     "blocked or not. A call_id already decided gives that decision again,\n"
     "judging and counting nothing (ValueError when it was decided for another\n"
     "tool or other args)."},
    {"peek", fastcall(session_peek), METH_FASTCALL | METH_KEYWORDS,
     "peek($self, tool, args=None, *, call_id=None)\n--\n\n"
     "The Decision check() would give, without counting the call."},
    {"to_bytes", fastcall(session_to_bytes), METH_FASTCALL | METH_KEYWORDS,
     "to_bytes($self)\n--\n\n"
     "The session as compact bytes (the policy's fingerprint, the mode, the rule\n"
     "state, the remembered call ids), for Guard.resume. Neither the trace file\n"
     "nor kept calls are in them."},
    {"_unjudged", fastcall(session_unjudged), METH_FASTCALL | METH_KEYWORDS, "_unjudged($self, tool, reason)\n--\n\n"},
    {"finish", fastcall(session_finish), METH_FASTCALL | METH_KEYWORDS,
     "finish($self)\n--\n\n"
     "The end-of-trace checks on the run so far, as a list of RuleFailure:\n"
     "require rules whose tool was never called (also on a run with no calls),\n"
     "after rules whose trigger was never answered."},
    {"explain", fastcall(session_explain), METH_FASTCALL | METH_KEYWORDS,
     "explain($self)\n--\n\n"
     "The explanation report of the run so far (JSON text), as\n"
     "TraceExplainer.explain gives it for the same calls, with the failed\n"
     "argument rules of each step after its allow/deny entry (byte for byte\n"
     "the same when no argument rule failed). Needs keep=True."},
    {"guarded", fastcall(session_guarded), METH_FASTCALL | METH_KEYWORDS,
     "guarded($self, fn, name=None)\n--\n\n"
     "`fn` wrapped so that every call is checked first and refused with\n"
     "PolicyViolation when blocked. The tool name is `name` or fn.__name__."},
    {"tool", fastcall(session_tool), METH_FASTCALL | METH_KEYWORDS,
     "tool($self, fn=None, name=None)\n--\n\n"
     "Decorator form of guarded(): @session.tool, @session.tool(\"name\") or\n"
     "@session.tool(name=\"name\")."},
    {"_refusal", fastcall(session_refusal), METH_FASTCALL | METH_KEYWORDS, "_refusal($self, reason, tool=None)\n--\n\n"},
    {"record_result", fastcall(session_record_result), METH_FASTCALL | METH_KEYWORDS,
     "record_result($self, call_id_or_step, result, *, is_error=False)\n--\n\n"
     "Records the result of a call that ran (by its call id or its step) for the\n"
     "policy's flows: a str, bytes (UTF-8, bad sequences replaced) or any JSON-able\n"
     "value, whose strings are followed. ValueError for an unknown call, one that\n"
     "waits for approval or, enforcing, one that was refused."},
    {"approve", fastcall(session_approve), METH_FASTCALL | METH_KEYWORDS,
     "approve($self, call_id)\n--\n\n"
     "Approves the call waiting under call_id (its verdict was \"ask\"): it runs and\n"
     "counts, and its Decision, returned, is allowed from now on. ValueError when no\n"
     "call waits under the id."},
    {"deny", fastcall(session_deny), METH_FASTCALL | METH_KEYWORDS,
     "deny($self, call_id, reason=None)\n--\n\n"
     "Refuses the call waiting under call_id: its Decision, returned, is blocked by\n"
     "the ask entry, with a reason that says it was denied (and `reason`)."},
    {nullptr, nullptr, 0, nullptr},
};


PyGetSetDef session_getset[] = {
    {"steps", session_steps, nullptr,
     "The number of calls counted so far: enforcing, the allowed calls; observing, every checked call.", nullptr},
    {"refused", session_refused, nullptr,
     "The number of checked calls that were blocked (observing, they count all the same).", nullptr},
    {"mode", session_mode, nullptr, "\"enforce\" or \"observe\".", nullptr},
    {"pending", session_pending, nullptr, "The call ids waiting for approval, oldest first (a new list).", nullptr},
    {"approver", session_approver, nullptr,
     "The callable the wrappers ask about a call whose verdict is \"ask\" (given the\n"
     "Decision, returning a bool or an awaitable of one), or None.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot session_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(session_dealloc)},
    {Py_tp_methods, session_methods},
    {Py_tp_getset, session_getset},
    {Py_tp_doc, const_cast<char*>("One agent run under a Guard; made by Guard.session().")},
    {0, nullptr},
};

PyType_Spec session_spec = {
    "ostik._engine.Session",
    sizeof(SessionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    session_slots,
};

}  // namespace

// A result as the core takes it: a str as its text, bytes as UTF-8 (bad
// sequences replaced), anything else as a JSON-able value.
std::optional<ostik::Value> result_value(PyObject* obj) {
    if (PyBytes_Check(obj) || PyByteArray_Check(obj)) {
        const char* data = PyBytes_Check(obj) ? PyBytes_AS_STRING(obj) : PyByteArray_AS_STRING(obj);
        const Py_ssize_t size = PyBytes_Check(obj) ? PyBytes_GET_SIZE(obj) : PyByteArray_GET_SIZE(obj);
        OwnedRef text = OwnedRef::steal(PyUnicode_DecodeUTF8(data, size, "replace"));
        if (!text) return std::nullopt;
        Py_ssize_t len = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &len);
        if (!utf8) return std::nullopt;
        return ostik::Value(std::string_view(utf8, static_cast<std::size_t>(len)));
    }
    auto value = to_value(obj, Dialect::engine);
    if (!value) {
        set_error(PyExc_ValueError, "the result cannot be recorded: " + argument_failure_text(value.error()));
        return std::nullopt;
    }
    return std::move(*value);
}

PyObject* new_session(std::shared_ptr<const Guard> guard, std::unique_ptr<TraceWriter> writer, bool keep_calls,
                      GuardMode mode, PyObject* clock, PyObject* approver) {
    return wrap_session(std::make_unique<ostik::GuardSession>(std::move(guard), std::move(writer), keep_calls, mode),
                        clock, approver);
}

PyObject* wrap_session(std::unique_ptr<GuardSession> session, PyObject* clock, PyObject* approver) {
    PyObject* self = session_type->tp_alloc(session_type, 0);
    if (!self) return nullptr;
    auto* s = reinterpret_cast<SessionObject*>(self);
    s->session = session.release();
    s->clock = clock && clock != Py_None ? Py_NewRef(clock) : nullptr;
    s->approver = approver && approver != Py_None ? Py_NewRef(approver) : nullptr;
    s->tools = nullptr;
    for (SessionObject::RecentTool& r : s->recent) r = {nullptr, 0};
    new (&s->spare) ostik::Value();
    return self;
}

PyObject* create_session_type(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &session_spec, nullptr);
    if (type) session_type = reinterpret_cast<PyTypeObject*>(type);
    return type;
}

}  // namespace ostik::py::engine
