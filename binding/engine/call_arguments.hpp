// What a session is given of a call's arguments when its judgement reads only
// part of them (GuardSession::ToolSlot): their fingerprint, read from the
// Python objects, and the members some ask entries' conditions read.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "ostik/value.hpp"

namespace ostik::py::engine {

// value_fingerprint of the Value that converting `obj` gives, read from the
// objects without building it, when `obj` is made of the built-in types
// only (dict with str keys, list, tuple, str, int within 64 bits, float,
// bool, None), whose reading runs no code of the caller's. Nothing for
// anything else (a subclass, a mapping of the caller's, a str that has no
// UTF-8 form, nesting past the conversion's bound), which the conversion
// itself must read; no Python exception is left set either way.
std::optional<std::uint64_t> plain_fingerprint(PyObject* obj);
// The same of a plain dict, with the members selected_members(dict, keys,
// selected) puts in `selected`, from the one reading of the dict; nothing
// for anything else (`selected` then holds some of them, or others, to be
// dropped). Here the str of `keys` must be interned.
std::optional<std::uint64_t> plain_fingerprint(PyObject* dict, PyObject* keys, Object& selected);

// Puts in `selected`, in place of what it held, those members of `dict` (a
// plain dict of plain values, as plain_fingerprint or check_value found it)
// whose keys are in `keys` (a tuple of str, ascending by their UTF-8): the
// object a judgement that reads only them is given. False (and no exception
// left set) when a value fails to convert, which the whole conversion then
// reports.
bool selected_members(PyObject* dict, PyObject* keys, Object& selected);

// A Value holding an object for selected members: `spare` (a session's),
// with the members of the call given back last, when it holds one. The
// members are refilled in place (Object::set_at), so calls given back
// allocate nothing for their keys (nor for the object) while they fit.
Value spare_object(Value& spare);
// Keeps `args`, when it is an object (as spare_object gave), in `spare` for
// the next call.
void give_back(std::optional<Value>& args, Value& spare);

}  // namespace ostik::py::engine
