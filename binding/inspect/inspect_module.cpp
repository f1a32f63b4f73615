// ostik._inspect: a loaded policy's records as plain Python data, for the
// command line and for users who want to look at what the loader read. It
// shares the loader with ostik._native, so both always agree on a file.
#include <Python.h>

#include "../common/args.hpp"
#include "../common/policy_source.hpp"
#include "../common/python_value.hpp"
#include "../common/ref.hpp"
#include "../common/util.hpp"
#include "ostik/guard.hpp"
#include "ostik/rule_ids.hpp"

#include <optional>
#include <vector>

namespace {

using ostik::py::from_value;
using ostik::py::make_str;
using ostik::py::make_str_list;
using ostik::py::OwnedRef;

bool set_item(PyObject* dict, const char* key, OwnedRef value) {
    return value && PyDict_SetItemString(dict, key, value.get()) == 0;
}

template <class Map, class Convert>
OwnedRef from_map(const Map& map, Convert&& convert) {
    OwnedRef dict = OwnedRef::steal(PyDict_New());
    if (!dict) return dict;
    for (const auto& [key, value] : map) {
        OwnedRef k = make_str(key);
        OwnedRef v = convert(value);
        if (!k || !v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return {};
    }
    return dict;
}

struct RuleToDict {
    PyObject* d;
    bool text(const char* key, const std::string& s) { return set_item(d, key, make_str(s)); }
    bool number(const char* key, std::uint32_t n) { return set_item(d, key, OwnedRef::steal(PyLong_FromUnsignedLong(n))); }
    bool operator()(const ostik::rule::Require& r) { return text("tool", r.tool); }
    bool operator()(const ostik::rule::Eventually& r) { return text("tool", r.tool) && number("within", r.within); }
    bool operator()(const ostik::rule::MaxCalls& r) { return text("tool", r.tool) && number("max", r.max); }
    bool operator()(const ostik::rule::Before& r) { return text("first", r.first) && text("then", r.then); }
    bool operator()(const ostik::rule::After& r) {
        return text("trigger", r.trigger) && text("then", r.then) && number("within", r.within);
    }
    bool operator()(const ostik::rule::NeverAfter& r) { return text("trigger", r.trigger) && text("forbidden", r.forbidden); }
    bool operator()(const ostik::rule::Sequence& r) {
        return set_item(d, "tools", make_str_list(r.tools)) && set_item(d, "strict", OwnedRef::borrow(r.strict ? Py_True : Py_False));
    }
    bool operator()(const ostik::rule::Blocklist& r) { return text("pattern", r.pattern); }
};

template <class T, class F>
OwnedRef optional_of(const std::optional<T>& v, F&& convert) {
    if (!v) return OwnedRef::borrow(Py_None);
    return convert(*v);
}

OwnedRef policy_to_dict(const ostik::Policy& p) {
    using namespace ostik;
    OwnedRef d = OwnedRef::steal(PyDict_New());
    if (!d) return d;
    OwnedRef tools = OwnedRef::steal(PyDict_New());
    OwnedRef rules = OwnedRef::steal(PyList_New(0));
    if (!tools || !rules) return {};
    auto names = [](const NameList& n) { return make_str_list(n); };
    auto name_map = [&](const auto& m) { return from_map(m, names); };
    auto constraints = [&](const auto& m) {
        return from_map(m, [](const auto& inner) { return from_map(inner, [](const Value& v) { return from_value(v); }); });
    };
    if (!set_item(tools.get(), "allow", optional_of(p.tools.allow, names)) ||
        !set_item(tools.get(), "deny", optional_of(p.tools.deny, names)) ||
        !set_item(tools.get(), "require_args", optional_of(p.tools.require_args, name_map)) ||
        !set_item(tools.get(), "arg_constraints", optional_of(p.tools.arg_constraints, constraints)))
        return {};
    for (const SequenceRule& r : p.sequences) {
        OwnedRef rd = OwnedRef::steal(PyDict_New());
        if (!rd || !set_item(rd.get(), "type", make_str(kind_name(r)))) return {};
        if (!std::visit(RuleToDict{rd.get()}, r)) return {};
        if (PyList_Append(rules.get(), rd.get()) < 0) return {};
    }
    if (!set_item(d.get(), "version", make_str(p.version)) || !set_item(d.get(), "name", make_str(p.name)) ||
        !set_item(d.get(), "metadata", optional_of(p.metadata, [](const Value& v) { return from_value(v); })) ||
        !set_item(d.get(), "tools", std::move(tools)) || !set_item(d.get(), "sequences", std::move(rules)) ||
        !set_item(d.get(), "aliases", name_map(p.aliases)) ||
        !set_item(d.get(), "on_error", make_str(p.on_error == ErrorPolicy::block ? "block" : "allow")))
        return {};
    // The whole language's sections, only in a policy that has them.
    if (!p.ask.empty()) {
        OwnedRef asks = OwnedRef::steal(PyList_New(0));
        if (!asks) return {};
        for (const AskEntry& e : p.ask) {
            OwnedRef ad = OwnedRef::steal(PyDict_New());
            if (!ad || !set_item(ad.get(), "tool", make_str_list(e.tools)) ||
                !set_item(ad.get(), "args", optional_of(e.args, [](const auto& m) {
                    return from_map(m, [](const Value& v) { return from_value(v); });
                })) ||
                !set_item(ad.get(), "after", optional_of(e.after, names)) || PyList_Append(asks.get(), ad.get()) < 0)
                return {};
        }
        if (!set_item(d.get(), "ask", std::move(asks))) return {};
    }
    if (!p.limits.empty()) {
        OwnedRef limits = OwnedRef::steal(PyList_New(0));
        if (!limits) return {};
        for (const LimitEntry& e : p.limits) {
            OwnedRef ld = OwnedRef::steal(PyDict_New());
            auto count = [](std::uint64_t n) { return OwnedRef::steal(PyLong_FromUnsignedLongLong(n)); };
            if (!ld || !set_item(ld.get(), "tool", make_str_list(e.tools.empty() ? NameList{"*"} : e.tools)) ||
                !set_item(ld.get(), "max", optional_of(e.max, count)) ||
                !set_item(ld.get(), "per", e.per ? make_str(e.per_text) : OwnedRef::borrow(Py_None)) ||
                !set_item(ld.get(), "repeat", optional_of(e.repeat, count)) || PyList_Append(limits.get(), ld.get()) < 0)
                return {};
        }
        if (!set_item(d.get(), "limits", std::move(limits))) return {};
    }
    if (!p.labels.empty() && !set_item(d.get(), "labels", name_map(p.labels))) return {};
    if (!p.taint.empty()) {
        OwnedRef taints = OwnedRef::steal(PyList_New(0));
        if (!taints) return {};
        for (const TaintEntry& e : p.taint) {
            OwnedRef td = OwnedRef::steal(PyDict_New());
            if (!td || !set_item(td.get(), "label", make_str(e.label)) ||
                !set_item(td.get(), "matches", make_str(e.matches)) ||
                !set_item(td.get(), "tool", optional_of(e.tools, names)) || PyList_Append(taints.get(), td.get()) < 0)
                return {};
        }
        if (!set_item(d.get(), "taint", std::move(taints))) return {};
    }
    if (!p.flows.empty()) {
        OwnedRef flows = OwnedRef::steal(PyList_New(0));
        if (!flows) return {};
        for (const FlowEntry& e : p.flows) {
            OwnedRef fd = OwnedRef::steal(PyDict_New());
            auto count = [](std::uint64_t n) { return OwnedRef::steal(PyLong_FromUnsignedLongLong(n)); };
            if (!fd || !set_item(fd.get(), "from", make_str_list(e.from)) || !set_item(fd.get(), "to", make_str_list(e.to)) ||
                !set_item(fd.get(), "min_length", optional_of(e.min_length, count)) ||
                !set_item(fd.get(), "args", optional_of(e.args, names)) ||
                !set_item(fd.get(), "effect", make_str(e.ask ? "ask" : "block")) ||
                PyList_Append(flows.get(), fd.get()) < 0)
                return {};
        }
        if (!set_item(d.get(), "flows", std::move(flows))) return {};
    }
    return d;
}

constexpr const char* records_params[] = {"path"};
constexpr ostik::py::Signature records_sig{"policy_records", records_params, 1, 1};

PyObject* policy_records(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* path_obj;
    if (!ostik::py::parse_args(records_sig, args, nargs, kwnames, &path_obj)) return nullptr;
    try {
        auto loaded = ostik::py::load_policy_argument(path_obj, nullptr, nullptr, ostik::Language::whole);
        if (!loaded) return nullptr;
        return policy_to_dict(*loaded).release();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

constexpr ostik::py::Signature ignored_sig{"ignored_keys", records_params, 1, 1};

// One dict per dropped key: {"rule", "type", "key", "line", "column"}.
OwnedRef ignored_to_list(const ostik::Policy& p, const std::vector<ostik::IgnoredKey>& keys) {
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(keys.size())));
    if (!list) return list;
    auto number = [](std::size_t n) { return OwnedRef::steal(PyLong_FromSize_t(n)); };
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const ostik::IgnoredKey& k = keys[i];
        OwnedRef d = OwnedRef::steal(PyDict_New());
        if (!d || !set_item(d.get(), "rule", number(k.rule)) ||
            !set_item(d.get(), "type", make_str(ostik::kind_name(p.sequences[k.rule]))) ||
            !set_item(d.get(), "key", make_str(k.key)) || !set_item(d.get(), "line", number(k.line)) ||
            !set_item(d.get(), "column", number(k.column)))
            return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), d.release());
    }
    return list;
}

PyObject* ignored_keys(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* path_obj;
    if (!ostik::py::parse_args(ignored_sig, args, nargs, kwnames, &path_obj)) return nullptr;
    try {
        std::vector<ostik::IgnoredKey> keys;
        auto loaded = ostik::py::load_policy_argument(path_obj, &keys, nullptr, ostik::Language::whole);
        if (!loaded) return nullptr;
        return ignored_to_list(*loaded, keys).release();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

constexpr ostik::py::Signature rule_error_sig{"argument_rule_error", records_params, 1, 1};

PyObject* argument_rule_error(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* path_obj;
    if (!ostik::py::parse_args(rule_error_sig, args, nargs, kwnames, &path_obj)) return nullptr;
    try {
        std::vector<ostik::NodeMark> marks;
        auto loaded = ostik::py::load_policy_argument(path_obj, nullptr, &marks, ostik::Language::whole);
        if (!loaded) return nullptr;
        // The guard's own check of the rules, so that both always agree.
        auto guard = ostik::Guard::create(std::move(*loaded));
        if (guard) Py_RETURN_NONE;
        return make_str(guard.error().located_text(marks)).release();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

// A rule record's field, as the record has it: a str, an int or a list of str.
bool record_text(PyObject* record, const char* key, std::string& out) {
    PyObject* v = PyDict_GetItemString(record, key);
    if (!v || !PyUnicode_Check(v)) return false;
    Py_ssize_t n = 0;
    const char* t = PyUnicode_AsUTF8AndSize(v, &n);
    if (!t) return false;
    out.assign(t, static_cast<std::size_t>(n));
    return true;
}

bool record_number(PyObject* record, const char* key, std::uint32_t& out) {
    PyObject* v = PyDict_GetItemString(record, key);
    if (!v || !PyLong_Check(v)) return false;
    const unsigned long n = PyLong_AsUnsignedLong(v);
    if (PyErr_Occurred() || n > 0xFFFFFFFFul) return false;
    out = static_cast<std::uint32_t>(n);
    return true;
}

bool record_texts(PyObject* record, const char* key, ostik::NameList& out) {
    PyObject* v = PyDict_GetItemString(record, key);
    if (!v || !PyList_Check(v)) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(v); ++i) {
        PyObject* item = PyList_GET_ITEM(v, i);
        if (!PyUnicode_Check(item)) return false;
        const char* t = PyUnicode_AsUTF8(item);
        if (!t) return false;
        out.emplace_back(t);
    }
    return true;
}

// The flow a record of policy_records()["flows"] stands for (it has "from"
// and "to" and no "type"), or nothing.
std::optional<ostik::FlowEntry> flow_of_record(PyObject* record) {
    if (!PyDict_Check(record) || PyDict_GetItemString(record, "type")) return std::nullopt;
    ostik::FlowEntry f;
    if (!record_texts(record, "from", f.from) || !record_texts(record, "to", f.to)) return std::nullopt;
    return f;
}

// The rule a record of policy_records() stands for, or nothing.
std::optional<ostik::SequenceRule> rule_of_record(PyObject* record) {
    namespace rule = ostik::rule;
    std::string type;
    if (!PyDict_Check(record) || !record_text(record, "type", type)) return std::nullopt;
    if (type == "require") {
        rule::Require r;
        if (record_text(record, "tool", r.tool)) return r;
    } else if (type == "eventually") {
        rule::Eventually r;
        if (record_text(record, "tool", r.tool) && record_number(record, "within", r.within)) return r;
    } else if (type == "max_calls") {
        rule::MaxCalls r;
        if (record_text(record, "tool", r.tool) && record_number(record, "max", r.max)) return r;
    } else if (type == "before") {
        rule::Before r;
        if (record_text(record, "first", r.first) && record_text(record, "then", r.then)) return r;
    } else if (type == "after") {
        rule::After r;
        if (record_text(record, "trigger", r.trigger) && record_text(record, "then", r.then)) return r;
    } else if (type == "never_after") {
        rule::NeverAfter r;
        if (record_text(record, "trigger", r.trigger) && record_text(record, "forbidden", r.forbidden)) return r;
    } else if (type == "sequence") {
        rule::Sequence r;
        if (record_texts(record, "tools", r.tools)) return r;
    } else if (type == "blocklist") {
        rule::Blocklist r;
        if (record_text(record, "pattern", r.pattern)) return r;
    }
    return std::nullopt;
}

constexpr const char* rule_id_params[] = {"rule"};
constexpr ostik::py::Signature rule_id_sig{"rule_id", rule_id_params, 1, 1};

PyObject* rule_id(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* record;
    if (!ostik::py::parse_args(rule_id_sig, args, nargs, kwnames, &record)) return nullptr;
    try {
        if (const auto flow = flow_of_record(record)) return make_str(ostik::flow_rule_id_for(*flow)).release();
        if (PyErr_Occurred()) return nullptr;
        const auto rule = rule_of_record(record);
        if (!rule) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "rule_id() needs a rule record of policy_records()");
            return nullptr;
        }
        return make_str(ostik::rule_id_for(*rule)).release();
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
}

PyMethodDef inspect_methods[] = {
    {"rule_id", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rule_id)), METH_FASTCALL | METH_KEYWORDS,
     "rule_id(rule)\n--\n\n"
     "The id that the explainer, the guard and the coverage analyzer give the rule of a\n"
     "record of policy_records()[\"sequences\"], made by the same code; or the id of a\n"
     "record of policy_records()[\"flows\"] (\"flow_{from}_{to}\"), before a policy whose\n"
     "flows' ids collide numbers the later ones (Guard.entries has the ids as judged)."},
    {"policy_records", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(policy_records)),
     METH_FASTCALL | METH_KEYWORDS,
     "policy_records(path)\n--\n\n"
     "Load the policy file at `path` and return its records as plain Python data.\n\n"
     "Raises the same exceptions as Policy.from_file."},
    {"ignored_keys", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(ignored_keys)),
     METH_FASTCALL | METH_KEYWORDS,
     "ignored_keys(path)\n--\n\n"
     "Load the policy file at `path` and list the keys of its rules that name no field of the rule's\n"
     "kind, which loading ignores: one dict per key with the rule's index in `sequences` and its\n"
     "type, the key as written, and the key's 1-based line and column, rule by rule.\n\n"
     "Raises the same exceptions as Policy.from_file."},
    {"argument_rule_error", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(argument_rule_error)),
     METH_FASTCALL | METH_KEYWORDS,
     "argument_rule_error(path)\n--\n\n"
     "Load the policy file at `path` and check its argument constraints as Guard(policy) does: None\n"
     "when they are all understood, otherwise the text of the ValueError that Guard(policy) raises,\n"
     "followed by the position of the constraint in the file (\" at line L column C\").\n\n"
     "Raises the same exceptions as Policy.from_file."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef inspect_module = {
    PyModuleDef_HEAD_INIT, "_inspect", "A loaded policy's records as plain Python data.", -1, inspect_methods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__inspect(void) { return PyModule_Create(&inspect_module); }
