// Rule ids: the kind prefix and the rule's names lower-cased, joined with "_".
// The one builder used by explanation and coverage alike, so their ids agree.
#pragma once

#include <string>

#include "ostik/policy.hpp"

namespace ostik {

std::string rule_id_for(const SequenceRule& rule);

// A flow's id as its entry alone gives it: "flow_{from}_{to}", each side's
// names joined with "_". A policy whose ids collide numbers the later ones
// ("_2", "_3", ...), which takes the whole policy (Guard::entries).
std::string flow_rule_id_for(const FlowEntry& flow);

}  // namespace ostik
