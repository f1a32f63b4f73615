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
// Those are observing sessions. An enforcing session is checked against the
// judgement of the calls it allowed:
//  9. the decision on each call is the last step of the judgement of the
//     allowed calls followed by it, but for an after rule at its window's last
//     position, which fails unless the call is its `then` or its trigger; the
//     call is entered only when allowed, and a blocked one has a message;
// 10. finish(), steps(), refused() and the kept calls' report are those of the
//     allowed calls, and the trace file has a step line per allowed call and a
//     refused line per refused one;
// 11. a session resumed from its bytes, cut before any call, decides every
//     later call as the uninterrupted one, finishes alike and gives the same
//     bytes at the end.
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
#include "ostik/policy_encoding.hpp"
#include "ostik/trace_judgement.hpp"
#include "random_traces.hpp"
#include "check_failures.hpp"

using namespace ostik;
using namespace ostik::testing;

namespace {

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
    return a.verdict == b.verdict && a.step == b.step && a.tool == b.tool && same(a.failures, b.failures) &&
           a.message == b.message && a.call_id == b.call_id;
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
    GuardSession session(guard, std::move(*writer), true, GuardMode::observe);
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
        const auto peek = session.peek(steps[i]);
        if (!peek) {
            fail(where + ": peek failed");
            return;
        }
        const GuardDecision peeked = peek->record();
        if (session.steps() != i) fail(where + ": peek advanced the session");
        auto checked = session.check(steps[i]);
        if (!checked) {
            fail(where + ": check failed: " + checked.error().message);
            return;
        }
        const std::optional<GuardDecision> decision = checked->record();
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

std::string refused_line(const ToolCall& call, const GuardDecision& d) {
    std::string s = "{";
    if (call.args) {
        s += "\"args\":";
        json::write_value(s, *call.args);
        s += ',';
    }
    s += "\"refused\":{\"reason\":";
    json::write_string(s, d.failures.front().explanation);
    s += ",\"rule_id\":";
    json::write_string(s, d.failures.front().rule_id);
    s += "},\"tool\":";
    json::write_string(s, call.tool);
    return s + "}";
}

bool is_argument_failure(const RuleEvaluation& e) {
    return e.rule_type == "require_args" || e.rule_type == "arg_constraint" || e.rule_type == "on_error";
}

// What an enforcing session must decide on `call` after `executed`.
GuardDecision enforced_decision(const std::shared_ptr<const Guard>& guard, const std::vector<ToolCall>& executed,
                                const ToolCall& call) {
    std::vector<ToolCall> with = executed;
    with.push_back(call);
    TraceJudgement judgement(guard);
    for (const ToolCall& c : with) judgement.add_step(c.tool, c.args);
    GuardDecision judged = judgement.decision(executed.size());
    // The after rules at their window's last position.
    const TraceExplanation x = guard->explain(with);
    const std::vector<RuleEvaluation>& entries = x.steps.back().rules_evaluated;
    const bool gated = !entries.empty() && (entries[0].rule_type == "deny" || entries[0].rule_type == "allow");
    std::size_t first_rule = gated ? 1 : 0;
    while (first_rule < entries.size() && is_argument_failure(entries[first_rule])) ++first_rule;
    const ExplainerState names(guard->explainer());
    const std::vector<SequenceRule>& rules = guard->policy().sequences;
    std::vector<RuleEvaluation> failures;
    for (std::size_t i = 0; i < first_rule; ++i) {
        if (!entries[i].passed) failures.push_back(entries[i]);
    }
    for (std::size_t k = 0; k < rules.size(); ++k) {
        const RuleEvaluation& e = entries[first_rule + k];
        const auto* after = std::get_if<rule::After>(&rules[k]);
        if (after && e.explanation == "Pending: '" + after->then + "' needed within 0 more calls" &&
            !names.matches(call.tool, after->trigger)) {
            RuleEvaluation due = e;
            due.passed = false;
            // The trigger's step is not in the entry: only the text up to it is compared.
            due.explanation = "'" + after->then + "' must be called now: required within " +
                              std::to_string(after->within) + " calls after '" + after->trigger + "' (triggered at ";
            failures.push_back(due);
        } else if (!e.passed) {
            failures.push_back(e);
        }
    }
    judged.failures = failures;
    judged.verdict = failures.empty() ? Verdict::allowed : Verdict::blocked;
    judged.message.clear();
    return judged;
}

bool same_enforced(const GuardDecision& got, const GuardDecision& expected) {
    if (got.verdict != expected.verdict || got.step != expected.step || got.tool != expected.tool ||
        got.failures.size() != expected.failures.size() || got.message.empty() != got.allowed())
        return false;
    for (std::size_t i = 0; i < got.failures.size(); ++i) {
        const RuleEvaluation& a = got.failures[i];
        const RuleEvaluation& b = expected.failures[i];
        const bool due = b.explanation.ends_with("(triggered at ");
        if (due ? !(a.rule_id == b.rule_id && a.explanation.starts_with(b.explanation) && a.explanation.ends_with(")") &&
                    json_of(a.context) == json_of(b.context))
                : !same(a, b))
            return false;
    }
    return true;
}

void check_enforced(const Policy& policy, const std::vector<ToolCall>& steps, int round, const std::string& path) {
    const std::string where = "enforcing, round " + std::to_string(round);
    const auto guard = make_guard(policy);
    if (!guard) return;
    ::unlink(path.c_str());
    auto writer = TraceWriter::open(path);
    if (!writer) {
        fail(where + ": cannot open " + path + ": " + writer.error());
        return;
    }
    GuardSession session(guard, std::move(*writer), true);
    std::vector<ToolCall> executed;
    std::vector<std::string> lines;
    std::vector<std::string> before;  // the session's bytes before each call
    std::vector<GuardDecision> decisions;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        before.push_back(session.to_bytes());
        const GuardDecision expected = enforced_decision(guard, executed, steps[i]);
        auto peeked = session.peek(steps[i]);
        auto checked = session.check(steps[i]);
        if (!peeked || !checked) {
            fail(where + ": check failed");
            return;
        }
        const GuardDecision got = checked->record();
        if (!same(peeked->record(), got)) fail(where + ": peek differs from check at call " + std::to_string(i));
        if (!same_enforced(got, expected)) {
            fail(where + ": call " + std::to_string(i) + " (" + steps[i].tool + ") decided otherwise than the judgement of the allowed calls" +
                 (got.failures.empty() ? "" : ": " + got.failures.front().explanation));
        }
        decisions.push_back(got);
        if (got.allowed()) {
            executed.push_back(steps[i]);
            lines.push_back(step_line(steps[i]));
        } else {
            lines.push_back(refused_line(steps[i], got));
        }
    }
    TraceJudgement judged(guard);
    for (const ToolCall& c : executed) judged.add_step(c.tool, c.args);
    judged.finish();
    if (!same(session.finish(), judged.end_failures())) fail(where + ": finish differs from the allowed calls' end");
    if (session.steps() != executed.size() || session.refused() != steps.size() - executed.size())
        fail(where + ": steps or refused miscounted");
    if (report_of(session) != guard->explain_json(executed)) fail(where + ": the kept calls are not the allowed ones");
    if (lines_of(path) != lines) fail(where + ": the trace file's lines differ");

    const std::string end = session.to_bytes();
    for (std::size_t cut = 0; cut < before.size(); ++cut) {
        auto resumed = GuardSession::from_bytes(guard, before[cut], nullptr);
        if (!resumed) {
            fail(where + ": bytes of the session do not read: " + resumed.error());
            return;
        }
        if ((*resumed)->to_bytes() != before[cut]) fail(where + ": the bytes read as something else");
        for (std::size_t j = cut; j < steps.size(); ++j) {
            auto d = (*resumed)->check(steps[j]);
            if (!d || !same(d->record(), decisions[j])) {
                fail(where + ": resumed before call " + std::to_string(cut) + ", call " + std::to_string(j) +
                     " decided otherwise");
                break;
            }
        }
        if (!same((*resumed)->finish(), session.finish()) || (*resumed)->to_bytes() != end)
            fail(where + ": resumed before call " + std::to_string(cut) + ", it ends otherwise");
    }
    // Bytes of another policy are refused.
    Policy other = policy;
    other.name += "'";
    if (const auto other_guard = make_guard(other)) {
        auto refused = GuardSession::from_bytes(other_guard, end, nullptr);
        if (refused || refused.error() != "made with another policy") fail(where + ": another policy's bytes were read");
    }
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
        check_enforced(policy, steps, round, path);
    }

    // A session without kept calls explains nothing, and one without a trace
    // file judges all the same.
    {
        std::mt19937 r2(7);
        const auto guard = make_guard(random_policy(r2));
        if (!guard) return 1;
        GuardSession session(guard, nullptr, false, GuardMode::observe);
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
    std::printf("ok: %d random policy/trace pairs through observing and enforcing guard sessions (resumed at every "
                "call), half with argument rules\n", rounds);
    return 0;
}
