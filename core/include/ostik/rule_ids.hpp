// Rule ids: the kind prefix and the rule's names lower-cased, joined with "_".
// The one builder used by explanation and coverage alike, so their ids agree.
#pragma once

#include <string>

#include "ostik/policy.hpp"

namespace ostik {

std::string rule_id_for(const SequenceRule& rule);

}  // namespace ostik
