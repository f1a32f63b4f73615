// Randomised checks of the explainer's core, on policies and traces that
// stress its shortcuts (interned names, alias member lists long and short,
// duplicate members, names that need JSON escaping):
//  1. explain_json() writes exactly write_report(explain()).
//  2. ExplainerState::evaluate_rule, driven step by step, gives the records
//     of explain().
//  3. A plain re-statement of the rules over the string history (no ids, no
//     precomputation) reaches the same verdicts and explanations.
#include <algorithm>
#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "ostik/explain.hpp"
#include "ostik/explanation_report.hpp"
#include "ostik/json_writer.hpp"
#include "random_traces.hpp"
#include "check_failures.hpp"

using namespace ostik;
using namespace ostik::testing;

namespace {

// The rules restated over the string history, as plainly as possible.
struct Oracle {
    const Policy& policy;
    std::vector<std::string> history;
    std::map<std::size_t, std::pair<std::uint64_t, std::uint64_t>> after_pending;
    std::map<std::size_t, std::uint64_t> never_after;
    std::map<std::size_t, std::size_t> progress;

    NameList names(const std::string& n) const {
        auto it = policy.aliases.find(n);
        return it == policy.aliases.end() ? NameList{n} : it->second;
    }
    bool matches(const std::string& tool, const std::string& n) const {
        for (const auto& x : names(n)) if (x == tool) return true;
        return false;
    }
    std::uint64_t count(const std::string& tool) const {
        std::uint64_t c = 0;
        for (const auto& h : history) c += h == tool;
        return c;
    }
    static std::string q(const std::string& s) { return "'" + s + "'"; }

    std::pair<bool, std::string> judge(std::size_t k, const std::string& t, std::uint64_t i) const {
        const SequenceRule& rule = policy.sequences[k];
        const std::string ok = " \u2713";
        if (auto* r = std::get_if<rule::Require>(&rule)) return {true, "Require '" + r->tool + "' (checked at end)"};
        if (auto* r = std::get_if<rule::Eventually>(&rule)) {
            bool seen = matches(t, r->tool);
            for (const auto& h : history) seen = seen || matches(h, r->tool);
            const std::string w = std::to_string(r->within);
            if (seen) return {true, q(r->tool) + " already seen" + ok};
            if (i < r->within) return {true, q(r->tool) + " required within " + w + " calls (at " + std::to_string(i + 1) + "/" + w + ")"};
            return {false, q(r->tool) + " not seen within first " + w + " calls"};
        }
        if (auto* r = std::get_if<rule::MaxCalls>(&rule)) {
            std::uint64_t c = 0;
            if (matches(t, r->tool)) c = count(t) + 1;
            else for (const auto& n : names(r->tool)) c += count(n);
            if (c > r->max) return {false, q(r->tool) + " exceeded max calls (" + std::to_string(c) + " > " + std::to_string(r->max) + ")"};
            return {true, q(r->tool) + " call " + std::to_string(c) + "/" + std::to_string(r->max)};
        }
        if (auto* r = std::get_if<rule::Before>(&rule)) {
            bool first_seen = count(r->first) > 0;
            for (const auto& h : history) first_seen = first_seen || matches(h, r->first);
            if (!matches(t, r->then)) return {true, "Not '" + r->then + "', rule not applicable"};
            if (first_seen) return {true, q(r->first) + " was called first" + ok};
            return {false, q(r->then) + " requires " + q(r->first) + " first"};
        }
        if (auto* r = std::get_if<rule::After>(&rule)) {
            const bool is_then = matches(t, r->then);
            if (auto it = after_pending.find(k); it != after_pending.end()) {
                auto [ts, d] = it->second;
                if (is_then && i <= d) return {true, q(r->then) + " satisfies after " + q(r->trigger) + ok};
                if (is_then) return {false, q(r->then) + " called too late after " + q(r->trigger) + " (at " + std::to_string(i) + ", deadline " + std::to_string(d) + ")"};
                if (i <= d) return {true, "Pending: " + q(r->then) + " needed within " + std::to_string(d - i) + " more calls"};
                return {false, q(r->then) + " required within " + std::to_string(r->within) + " calls after " + q(r->trigger) + " (triggered at " + std::to_string(ts) + ")"};
            }
            if (matches(t, r->trigger)) return {true, q(r->trigger) + " triggered, " + q(r->then) + " required within " + std::to_string(r->within)};
            return {true, "After rule: waiting for " + q(r->trigger)};
        }
        if (auto* r = std::get_if<rule::NeverAfter>(&rule)) {
            if (auto it = never_after.find(k); it != never_after.end()) {
                const std::string T = std::to_string(it->second);
                if (matches(t, r->forbidden)) return {false, q(r->forbidden) + " forbidden after " + q(r->trigger) + " (triggered at index " + T + ")"};
                return {true, q(r->forbidden) + " forbidden (trigger at " + T + ")"};
            }
            if (matches(t, r->trigger)) return {true, q(r->trigger) + " triggered, " + q(r->forbidden) + " now forbidden"};
            return {true, "Waiting for trigger " + q(r->trigger)};
        }
        if (auto* r = std::get_if<rule::Sequence>(&rule)) {
            auto it = progress.find(k);
            const std::size_t p = it == progress.end() ? 0 : it->second, n = r->tools.size();
            if (p >= n) return {true, "Sequence complete" + ok};
            const std::string& e = r->tools[p];
            const bool is_expected = matches(t, e);
            const std::string step = "Sequence step " + std::to_string(p + 1) + "/" + std::to_string(n) + ": " + q(t) + ok;
            if (r->strict) {
                if (is_expected) return {true, step};
                if (p == 0) return {true, "Waiting for sequence start: " + q(e)};
                return {false, "Strict sequence: expected " + q(e) + " but got " + q(t)};
            }
            for (std::size_t j = p + 1; j < n; ++j)
                if (matches(t, r->tools[j])) return {false, "Sequence order violated: " + q(t) + " before " + q(e)};
            if (is_expected) return {true, step};
            return {true, "Sequence: waiting for " + q(e) + " (" + std::to_string(p) + "/" + std::to_string(n) + ")"};
        }
        auto* r = std::get_if<rule::Blocklist>(&rule);
        if (t.find(r->pattern) != std::string::npos) return {false, q(t) + " matches blocklist pattern " + q(r->pattern)};
        return {true, q(t) + " does not match blocklist " + q(r->pattern)};
    }

    void advance(const std::string& t) {
        const std::uint64_t i = history.size();
        for (std::size_t k = 0; k < policy.sequences.size(); ++k) {
            const SequenceRule& rule = policy.sequences[k];
            if (auto* r = std::get_if<rule::After>(&rule)) {
                auto it = after_pending.find(k);
                if (it != after_pending.end() && matches(t, r->then) && i <= it->second.second) after_pending.erase(it);
                if (matches(t, r->trigger)) after_pending[k] = {i, i + r->within};
            } else if (auto* r = std::get_if<rule::NeverAfter>(&rule)) {
                if (matches(t, r->trigger) && !never_after.contains(k)) never_after[k] = i;
            } else if (auto* r = std::get_if<rule::Sequence>(&rule)) {
                std::size_t& p = progress[k];
                if (p < r->tools.size() && matches(t, r->tools[p])) ++p;
            }
        }
        history.push_back(t);
    }

    // Explanations of the failing end-of-trace checks.
    std::vector<std::string> end_checks() const {
        std::vector<std::string> out;
        for (std::size_t k = 0; k < policy.sequences.size(); ++k) {
            const SequenceRule& rule = policy.sequences[k];
            if (auto* r = std::get_if<rule::Require>(&rule)) {
                bool seen = false;
                for (const auto& h : history) seen = seen || matches(h, r->tool);
                if (!seen) out.push_back("Required tool '" + r->tool + "' never called");
            } else if (auto* r = std::get_if<rule::After>(&rule)) {
                auto it = after_pending.find(k);
                if (it == after_pending.end()) continue;
                bool seen = false;
                for (std::size_t h = it->second.first + 1; h < history.size(); ++h) seen = seen || matches(history[h], r->then);
                if (!seen)
                    out.push_back(q(r->trigger) + " triggered at " + std::to_string(it->second.first) + ", but " + q(r->then) +
                                  " never called within " + std::to_string(r->within) + " steps (trace ended)");
            }
        }
        return out;
    }
};

std::string json_of(const std::optional<Value>& v) {
    std::string s;
    if (v) json::write_value(s, *v);
    return s;
}

// The two-pass writer, in pieces of every size: the pieces join to the same
// text, each holds whole characters, and the outline names the text's
// highest byte.
struct Pieces final : ReportSink {
    std::string text;
    bool split_character = false;
    void take(std::string_view piece) override {
        if (!piece.empty() && (static_cast<unsigned char>(piece.front()) & 0xC0) == 0x80) split_character = true;
        text += piece;
    }
};

void check_pieces(const TraceExplainer& explainer, const std::vector<ToolCall>& steps, const std::string& direct,
                  int round) {
    const ReportOutline outline = explainer.outline_json(steps);
    unsigned char top = 0;
    for (char c : direct) top = std::max(top, static_cast<unsigned char>(c));
    if (top < 0x80) top = 0;
    if (outline.top_byte != top)
        fail("round " + std::to_string(round) + ": outline top byte " + std::to_string(outline.top_byte) +
             ", text's " + std::to_string(top) + "\n" + direct);
    std::uint64_t snapshot_bytes = 0;
    for (std::size_t at = direct.find(",\"state_snapshot\":{"); at != std::string::npos;
         at = direct.find(",\"state_snapshot\":{", at + 1)) {
        snapshot_bytes += direct.find('}', at) + 1 - at;
    }
    if (outline.snapshot_bytes != snapshot_bytes)
        fail("round " + std::to_string(round) + ": snapshot bytes " + std::to_string(outline.snapshot_bytes) +
             ", text's " + std::to_string(snapshot_bytes));
    Pieces pieces;
    std::string buffer = "leftover bytes from an earlier report";
    explainer.write_json(steps, outline, buffer, pieces, 1 + static_cast<std::size_t>(round % 300));
    if (pieces.text != direct) fail("round " + std::to_string(round) + ": pieces differ\n" + pieces.text + "\n" + direct);
    if (pieces.split_character) fail("round " + std::to_string(round) + ": a piece splits a character");
}

void check(const Policy& policy, const std::vector<ToolCall>& steps, int round) {
    const TraceExplainer explainer{Policy(policy)};
    const TraceExplanation x = explainer.explain(steps);
    std::string written;
    write_report(written, x);
    const std::string direct = explainer.explain_json(steps);
    if (written != direct) fail("round " + std::to_string(round) + ": direct JSON differs\n" + written + "\n" + direct);
    check_pieces(explainer, steps, direct, round);

    ExplainerState state(explainer);
    Oracle oracle{explainer.policy(), {}, {}, {}, {}};
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const auto& records = x.steps[i].rules_evaluated;
        const bool checked = !records.empty() && (records[0].rule_type == "deny" || records[0].rule_type == "allow");
        const std::size_t offset = checked ? 1 : 0;
        for (std::size_t k = 0; k < policy.sequences.size(); ++k) {
            const RuleEvaluation e = state.evaluate_rule(k, steps[i].tool, i);
            const RuleEvaluation& r = records[offset + k];
            if (e.rule_id != r.rule_id || e.passed != r.passed || e.explanation != r.explanation ||
                json_of(e.context) != json_of(r.context))
                fail("round " + std::to_string(round) + ": evaluate_rule differs at step " + std::to_string(i));
            const auto [passed, text] = oracle.judge(k, steps[i].tool, i);
            if (passed != r.passed || text != r.explanation)
                fail("round " + std::to_string(round) + ": oracle says " + text + " / got " + r.explanation);
        }
        state.advance(steps[i].tool);
        oracle.advance(steps[i].tool);
    }
    if (!steps.empty()) {
        const auto& last = x.steps.back().rules_evaluated;
        const auto expected = oracle.end_checks();
        std::vector<std::string> got;
        for (std::size_t j = last.size() - std::min(last.size(), expected.size()); j < last.size(); ++j)
            got.push_back(last[j].explanation);
        if (got != expected) fail("round " + std::to_string(round) + ": end-of-trace checks differ");
    }
}

}  // namespace

int main() {
    std::mt19937 rng(20240611);
    const int rounds = 20000;
    for (int round = 0; round < rounds; ++round) {
        ascii_only = round % 3 == 0;
        check(random_policy(rng), random_trace(rng), round);
    }

    // The state's own alias helpers.
    Policy p;
    p.aliases = make_aliases();
    const TraceExplainer explainer{std::move(p)};
    const ExplainerState state(explainer);
    if (state.resolve_alias("k") != NameList{"c", "c", "d"}) fail("resolve_alias k");
    if (state.resolve_alias("x") != NameList{"x"}) fail("resolve_alias x");
    if (!state.resolve_alias("h").empty()) fail("resolve_alias h");
    if (!state.matches("a", "g") || state.matches("g", "g") || state.matches("A", "a") || state.matches("a", "h"))
        fail("matches");

    if (failures) {
        std::fprintf(stderr, "%d failures\n", failures);
        return 1;
    }
    std::printf("ok: %d random policy/trace pairs\n", rounds);
    return 0;
}
