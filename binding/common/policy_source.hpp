// Loading a policy for a `path` argument: the argument check, the load and
// the exceptions, shared by Policy.from_file and ostik._inspect.
#pragma once

#include <Python.h>

#include <optional>
#include <vector>

#include "ostik/policy.hpp"
#include "ostik/policy_loader.hpp"

namespace ostik::py {

// The policy at `path_obj` (a str), or nothing with the exception set:
// TypeError for a non-str, FileNotFoundError when the file cannot be read,
// ValueError when it is not a valid policy. May throw std::bad_alloc. With
// `ignored_keys`, a successful load also lists the rule keys it dropped; with
// `constraint_marks`, the positions of the nodes under tools.arg_constraints.
std::optional<Policy> load_policy_argument(PyObject* path_obj, std::vector<IgnoredKey>* ignored_keys = nullptr,
                                           std::vector<NodeMark>* constraint_marks = nullptr,
                                           Language language = Language::specified);

}  // namespace ostik::py
