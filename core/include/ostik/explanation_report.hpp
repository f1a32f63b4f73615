// The explanation report: a TraceExplanation as compact JSON text.
#pragma once

#include <string>

#include "ostik/explain.hpp"

namespace ostik {

// Appends the report to `out`. Optional fields are left out when absent; the
// state snapshot is written in ascending byte order of its keys.
// TraceExplainer::explain_json writes the same bytes without the records.
void write_report(std::string& out, const TraceExplanation& explanation);

}  // namespace ostik
