// Taking a method argument as a sequence of items (the `traces` argument of
// explain and analyze, and each trace inside analyze's list).
//
// In this order:
//   1. a str (or subclass) is refused:  TypeError "argument 'NAME': Can't extract `str` to `Vec`"
//   2. anything that fails the interpreter's sequence check (dicts, sets,
//      iterators, generators ...) is refused:
//      TypeError "argument 'NAME': 'T' object cannot be converted to 'Sequence'"
//   3. the items are collected by iterating the object; its length, read
//      first, only sizes the collection (a failure to read it is ignored).
//      An error while iterating is raised as it is, except that a TypeError
//      gets the prefix "argument 'NAME': ".
// Lists, tuples, ranges and bytes pass (the items of bytes are ints).
#pragma once

#include <Python.h>

#include <optional>
#include <vector>

#include "ref.hpp"

namespace ostik::py {

// The items of `obj` (borrowed), each held by its own reference, or nullopt
// with the Python exception set.
std::optional<std::vector<OwnedRef>> extract_sequence(PyObject* obj, const char* name);

}  // namespace ostik::py
