// Randomised checks that a guard session judges as the explainer does, on
// the policies and traces of random_traces.hpp:
//  1. the i-th decision of check() is step i of explain(): verdict, and the
//     failed entries of rules_evaluated (the tool check first) as failures;
//  2. peek() before each check() gives the same decision and changes nothing;
//  3. finish() gives the end-of-trace entries of the last step, and on an
//     empty run the failure of every require rule;
//  4. a session that keeps its calls writes explain_json() of them;
//  5. the trace file holds one step line per checked call;
//  6. a TraceJudgement of the same calls gives every decision of check(),
//     finish() as its end failures, and the report's totals and blocking
//     rules (on an empty trace: the failing require rules).
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "ostik/explain.hpp"
#include "ostik/guard.hpp"
#include "ostik/json_writer.hpp"
#include "ostik/trace_judgement.hpp"
#include "random_traces.hpp"

using namespace ostik;
using namespace ostik::testing;

namespace {

int failures = 0;

void fail(const std::string& what) {
    if (++failures <= 10) std::fprintf(stderr, "FAIL: %s\n", what.c_str());
}

std::string json_of(const std::optional<Value>& v) {
    std::string s;
    if (v) json::write_value(s, *v);
    return s;
}

bool same(const RuleEvaluation& a, const RuleEvaluation& b) {
    return a.rule_id == b.rule_id && a.rule_type == b.rule_type && a.passed == b.passed &&
           a.explanation == b.explanation && json_of(a.context) == json_of(b.context);
}

bool same(const std::vector<RuleEvaluation>& a, const std::vector<RuleEvaluation>& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!same(a[i], b[i])) return false;
    }
    return true;
}

bool same(const GuardDecision& a, const GuardDecision& b) {
    return a.verdict == b.verdict && a.step == b.step && a.tool == b.tool && same(a.failures, b.failures);
}

std::string report_of(const GuardSession& session) {
    const auto report = session.explain_json();
    return report ? *report : std::string("(not kept)");
}

std::vector<std::string> lines_of(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string step_line(const ToolCall& call) {
    std::string s = "{";
    if (call.args) {
        s += "\"args\":";
        json::write_value(s, *call.args);
        s += ',';
    }
    s += "\"tool\":";
    json::write_string(s, call.tool);
    return s + "}";
}

void check(const Policy& policy, const std::vector<ToolCall>& steps, int round, const std::string& path) {
    const std::string where = "round " + std::to_string(round);
    const auto guard = std::make_shared<const Guard>(Policy(policy));
    const TraceExplanation x = guard->explainer().explain(steps);

    ::unlink(path.c_str());
    auto writer = TraceWriter::open(path);
    if (!writer) {
        fail(where + ": cannot open " + path + ": " + writer.error());
        return;
    }
    GuardSession session(guard, std::move(*writer), true);
    TraceJudgement judgement(guard);
    for (const ToolCall& call : steps) judgement.add_step(call.tool);
    judgement.finish();
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const GuardDecision peeked = session.peek(steps[i]);
        if (session.steps() != i) fail(where + ": peek advanced the session");
        auto decision = session.check(steps[i]);
        if (!decision) {
            fail(where + ": check failed: " + decision.error().message);
            return;
        }
        if (!same(peeked, *decision)) fail(where + ": peek differs from check at step " + std::to_string(i));
        if (decision->tool != steps[i].tool) fail(where + ": the decision names another tool");
        if (!same(judgement.decision(i), *decision) || judgement.tool(i) != steps[i].tool)
            fail(where + ": the judgement differs from check at step " + std::to_string(i));

        const ExplainedStep& step = x.steps[i];
        const bool gated = !step.rules_evaluated.empty() &&
                           (step.rules_evaluated[0].rule_type == "deny" || step.rules_evaluated[0].rule_type == "allow");
        const std::size_t own = policy.sequences.size() + (gated ? 1 : 0);
        std::vector<RuleEvaluation> failed;
        for (std::size_t j = 0; j < own; ++j) {
            if (!step.rules_evaluated[j].passed) failed.push_back(step.rules_evaluated[j]);
        }
        if (decision->verdict != step.verdict || decision->step != i || !same(decision->failures, failed))
            fail(where + ": decision differs from explain at step " + std::to_string(i));

        if (i + 1 == steps.size()) {
            const std::vector<RuleEvaluation> end(step.rules_evaluated.begin() + static_cast<std::ptrdiff_t>(own),
                                                  step.rules_evaluated.end());
            if (!same(session.finish(), end)) fail(where + ": finish differs from the end-of-trace entries");
        }
    }
    if (steps.empty()) {
        std::vector<std::string> expected;
        for (const SequenceRule& rule : policy.sequences) {
            if (auto* r = std::get_if<rule::Require>(&rule)) expected.push_back("Required tool '" + r->tool + "' never called");
        }
        std::vector<std::string> got;
        for (const RuleEvaluation& e : session.finish()) got.push_back(e.explanation);
        if (got != expected) fail(where + ": finish on an empty run differs");
    }

    if (!same(judgement.end_failures(), session.finish())) fail(where + ": the judgement's end differs from finish");
    std::vector<std::string> blocking = x.blocking_rules;
    if (steps.empty()) {
        for (const RuleEvaluation& e : session.finish()) {
            if (std::find(blocking.begin(), blocking.end(), e.rule_id) == blocking.end()) blocking.push_back(e.rule_id);
        }
    }
    if (judgement.steps() != x.total_steps || judgement.blocked_steps() != x.blocked_steps ||
        judgement.first_block() != x.first_block_index || judgement.blocking_rules() != blocking ||
        judgement.passed() != (x.blocked_steps == 0 && session.finish().empty()))
        fail(where + ": the judgement's totals differ from explain");

    const std::string report = guard->explainer().explain_json(steps);
    if (report_of(session) != report) fail(where + ": the kept calls explain differently");

    const std::vector<std::string> lines = lines_of(path);
    bool lines_ok = lines.size() == steps.size();
    for (std::size_t i = 0; lines_ok && i < steps.size(); ++i) lines_ok = lines[i] == step_line(steps[i]);
    if (!lines_ok) fail(where + ": the trace file does not hold one line per call");
}

}  // namespace

int main() {
    char dir[] = "/tmp/ostik-guard-XXXXXX";
    if (!::mkdtemp(dir)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string path = std::string(dir) + "/trace.jsonl";

    std::mt19937 rng(20240612);
    const int rounds = 20000;
    for (int round = 0; round < rounds; ++round) check(random_policy(rng), random_trace(rng), round, path);

    // A session without kept calls explains nothing, and one without a trace
    // file judges all the same.
    {
        std::mt19937 r2(7);
        const auto guard = std::make_shared<const Guard>(random_policy(r2));
        GuardSession session(guard, nullptr, false);
        const auto steps = random_trace(r2);
        for (const ToolCall& call : steps) {
            if (!session.check(call)) fail("check without a trace file failed");
        }
        if (session.explain_json()) fail("explained without kept calls");
        if (session.steps() != steps.size()) fail("steps miscounted");
    }

    ::unlink(path.c_str());
    ::rmdir(dir);
    if (failures) {
        std::fprintf(stderr, "%d failures\n", failures);
        return 1;
    }
    std::printf("ok: %d random policy/trace pairs through guard sessions\n", rounds);
    return 0;
}
