// What a model is told of a blocked call: one sentence it can act on, made
// from the check that blocked the call, with no rule id. Written per rule
// kind, and per operator for argument constraints:
//
//   deny list       "'force_push' is not allowed."
//   max_calls       "'read_file' may be called at most 2 times in this run and
//                   has been called 2 times; do not call it again."
//   before          "'git_commit' needs 'run_tests' to be called first."
//   not_matches     "Argument 'command' of 'shell' must not match 'rm\s+-rf'."
//
// Names are shown as written; the subject is the called tool where the rule
// is about the call itself, the rule's own name (perhaps an alias) where it
// is about the run.
#pragma once

#include <string>
#include <vector>

#include "argument_plan.hpp"
#include "explain_plan.hpp"
#include "step_failure.hpp"

namespace ostik::detail {

// The message of failure `f` of a call of `tool`; `values` as the failure
// sink kept them.
std::string decision_message(const ExplainPlan& plan, const ArgumentPlan* arguments, const StepFailure& f,
                             const NameText& tool, const std::vector<std::string>& values);

}  // namespace ostik::detail
