// Randomised checks that a guard session judges as the explainer does, with
// the policy's argument rules besides, on the policies and traces of
// random_traces.hpp and the argument rules and arguments of
// random_arguments.hpp:
//  1. the i-th decision of check() is step i of explain(): verdict, and the
//     failed entries of rules_evaluated (the tool check first) as failures,
//     with the argument failures, and only those, right after the tool check;
//  2. peek() before each check() gives the same decision and changes nothing;
//  3. finish() gives the end-of-trace entries of the last step, and on an
//     empty run the failure of every require rule;
//  4. Guard::explain() is the explainer's explanation with those argument
//     failures in their place (and the verdicts, totals and blocking rules
//     they make); Guard::explain_json() writes exactly write_report() of it,
//     and exactly the explainer's report when no argument rule failed;
//  5. a session that keeps its calls writes Guard::explain_json() of them;
//  6. the trace file holds one step line per checked call;
//  7. a TraceJudgement of the same calls gives every decision of check(),
//     finish() as its end failures, and the report's totals and blocking
//     rules (on an empty trace: the failing require rules);
//  8. an ArgumentTally counts the argument failures of the decisions.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

#include "random_arguments.hpp"
#include "ostik/argument_rules.hpp"
#include "ostik/explain.hpp"
#include "ostik/explanation_report.hpp"
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

std::shared_ptr<const Guard> make_guard(const Policy& policy) {
    auto guard = Guard::create(Policy(policy));
    if (!guard) {
        fail("a random policy was refused: " + guard.error().text());
        return nullptr;
    }
    return std::make_shared<const Guard>(std::move(*guard));
}

void check(const Policy& policy, const std::vector<ToolCall>& steps, int round, const std::string& path) {
    const std::string where = "round " + std::to_string(round);
    const auto guard = make_guard(policy);
    if (!guard) return;
    const TraceExplanation x = guard->explainer().explain(steps);
    const TraceExplanation gx = guard->explain(steps);
    const std::vector<ArgumentRuleInfo> argument_rules = guard->argument_rules();

    ::unlink(path.c_str());
    auto writer = TraceWriter::open(path);
    if (!writer) {
        fail(where + ": cannot open " + path + ": " + writer.error());
        return;
    }
    GuardSession session(guard, std::move(*writer), true);
    TraceJudgement judgement(guard);
    for (const ToolCall& call : steps) judgement.add_step(call.tool, call.args);
    judgement.finish();
    ArgumentTally tally(*guard);
    std::map<std::string, std::uint64_t> violations;  // by rule id
    bool any_argument_failure = false;
    std::vector<std::string> blocking;
    auto list = [&](const std::string& id) {
        if (std::find(blocking.begin(), blocking.end(), id) == blocking.end()) blocking.push_back(id);
    };
    std::uint64_t blocked_steps = 0;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const GuardDecision peeked = session.peek(steps[i]);
        if (session.steps() != i) fail(where + ": peek advanced the session");
        auto decision = session.check(steps[i]);
        if (!decision) {
            fail(where + ": check failed: " + decision.error().message);
            return;
        }
        tally.add(steps[i]);
        if (!same(peeked, *decision)) fail(where + ": peek differs from check at step " + std::to_string(i));
        if (decision->tool != steps[i].tool) fail(where + ": the decision names another tool");
        if (!same(judgement.decision(i), *decision) || judgement.tool(i) != steps[i].tool)
            fail(where + ": the judgement differs from check at step " + std::to_string(i));

        // The explainer's entries, and the decision's argument failures in their place.
        const ExplainedStep& step = x.steps[i];
        const bool gated = !step.rules_evaluated.empty() &&
                           (step.rules_evaluated[0].rule_type == "deny" || step.rules_evaluated[0].rule_type == "allow");
        const std::size_t own = policy.sequences.size() + (gated ? 1 : 0);
        std::vector<RuleEvaluation> arguments;
        for (const RuleEvaluation& f : decision->failures) {
            if (f.rule_type == "require_args" || f.rule_type == "arg_constraint") {
                arguments.push_back(f);
                ++violations[f.rule_id];
            }
        }
        any_argument_failure = any_argument_failure || !arguments.empty();
        std::vector<RuleEvaluation> entries(step.rules_evaluated.begin(), step.rules_evaluated.end());
        entries.insert(entries.begin() + (gated ? 1 : 0), arguments.begin(), arguments.end());
        std::vector<RuleEvaluation> failed;
        for (std::size_t j = 0; j < own + arguments.size(); ++j) {
            if (!entries[j].passed) failed.push_back(entries[j]);
        }
        const Verdict verdict = failed.empty() ? Verdict::allowed : Verdict::blocked;
        if (decision->verdict != verdict || decision->step != i || !same(decision->failures, failed))
            fail(where + ": decision differs from explain with the argument failures at step " + std::to_string(i));
        if (gx.steps[i].verdict != verdict || !same(gx.steps[i].rules_evaluated, entries))
            fail(where + ": Guard::explain differs at step " + std::to_string(i));
        if (!failed.empty()) {
            ++blocked_steps;
            list(failed.front().rule_id);
        }

        if (i + 1 == steps.size()) {
            const std::vector<RuleEvaluation> end(step.rules_evaluated.begin() + static_cast<std::ptrdiff_t>(own),
                                                  step.rules_evaluated.end());
            if (!same(session.finish(), end)) fail(where + ": finish differs from the end-of-trace entries");
            for (const RuleEvaluation& e : end) list(e.rule_id);
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
    if (gx.blocked_steps != blocked_steps || gx.allowed_steps + gx.blocked_steps != steps.size() ||
        gx.blocking_rules != blocking)
        fail(where + ": Guard::explain's totals differ");

    if (!same(judgement.end_failures(), session.finish())) fail(where + ": the judgement's end differs from finish");
    if (steps.empty()) {
        for (const RuleEvaluation& e : session.finish()) list(e.rule_id);
    }
    if (judgement.steps() != gx.total_steps || judgement.blocked_steps() != gx.blocked_steps ||
        judgement.first_block() != gx.first_block_index || judgement.blocking_rules() != blocking ||
        judgement.passed() != (gx.blocked_steps == 0 && session.finish().empty()))
        fail(where + ": the judgement's totals differ from explain");

    const std::string report = guard->explain_json(steps);
    std::string from_records;
    write_report(from_records, gx);
    if (report != from_records) fail(where + ": Guard::explain_json differs from its records");
    if (!any_argument_failure && report != guard->explainer().explain_json(steps))
        fail(where + ": without argument failures, the guard's report differs from the explainer's");
    if (report_of(session) != report) fail(where + ": the kept calls explain differently");

    std::map<std::string, std::uint64_t> tallied;
    bool counts_ok = tally.counts().size() == argument_rules.size();
    for (std::size_t k = 0; counts_ok && k < argument_rules.size(); ++k) {
        const ArgumentRuleCount& c = tally.counts()[k];
        counts_ok = c.violated <= c.reached && c.reached <= steps.size();
        if (c.violated) tallied[argument_rules[k].rule_id] += c.violated;
    }
    if (!counts_ok || tallied != violations) fail(where + ": the tally differs from the decisions");

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
    for (int round = 0; round < rounds; ++round) {
        Policy policy = random_policy(rng);
        std::vector<ToolCall> steps = random_trace(rng);
        // Half the rounds judge arguments too.
        if (round % 2) {
            add_argument_rules(rng, policy);
            add_random_arguments(rng, steps);
        }
        check(policy, steps, round, path);
    }

    // A session without kept calls explains nothing, and one without a trace
    // file judges all the same.
    {
        std::mt19937 r2(7);
        const auto guard = make_guard(random_policy(r2));
        if (!guard) return 1;
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
    std::printf("ok: %d random policy/trace pairs through guard sessions, half with argument rules\n", rounds);
    return 0;
}
