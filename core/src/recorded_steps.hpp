// The judgement of a recorded trace's steps, shared by the trace judgement
// and the accumulators: each step through the step judgement (tool check,
// argument rules, sequence rules), then through the ask and limit entries
// and the flows (language_state.hpp), and entered whatever its verdict,
// since a recorded step ran; then the step's result, when it has one, is
// recorded for the flows, which the steps after it see. Judging by the
// entries and recording a result are one function each, so a step gets the
// same verdict from Guard.judge, the audit, the diff and the coverage of
// entries.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "argument_plan.hpp"
#include "explain_plan.hpp"
#include "language_state.hpp"
#include "ostik/argument_rules.hpp"
#include "ostik/value.hpp"
#include "step_judgement.hpp"
#include "trace_state.hpp"

namespace ostik::detail {

// What the entries made of one recorded step, besides its verdict.
struct EntryStep {
    std::optional<std::uint32_t> ask;       // the ask entry that applies (the step was not blocked)
    std::optional<std::uint32_t> ask_flow;  // or the flow whose effect asks for it
    bool windows_unjudged = false;     // a windowed limit met the step, which had no time
};

// Judges a recorded step by the entries after the other checks gave
// `judged`, and enters it. A limit it breaks goes to `sink.limit(k, count)`
// when the sink takes limits; the first one blocks the step when nothing
// else did (`judged` is updated). With `counts` (one per entry, asks first),
// every entry the step meets is reached, and the ask that applies or a limit
// that refuses it is violated.
template <class Sink>
EntryStep judge_recorded_entries(LanguageState& language, std::uint32_t slot, std::string_view tool,
                                 const std::optional<Value>& args, std::optional<double> ts, StepVerdict& judged,
                                 Sink& sink, ArgumentRuleCount* counts) {
    struct Entries {
        Sink& inner;
        const LanguagePlan& plan;
        std::optional<std::size_t> first_block;  // the id of the first limit or flow that blocks the step
        std::optional<std::uint32_t> asked;
        std::optional<std::uint32_t> asked_flow;
        ArgumentRuleCount* counts;
        std::size_t asks;
        std::size_t flows_at;
        void limit(std::uint32_t k, std::uint64_t count) {
            if (!first_block) first_block = plan.limits()[k].id_index;
            if (counts) ++counts[asks + k].violated;
            if constexpr (requires { inner.limit(k, count); }) inner.limit(k, count);
        }
        void ask(std::uint32_t k) { asked = k; }
        // A flow that applies: it blocks the step, or (its effect ask) asks for it. Both go to the
        // sink when it takes flows; an asking one is the sink's last failure, for the caller to keep apart.
        void flow(std::uint32_t k, const FlowMatch& m) {
            if (m.ask) asked_flow = k;
            else if (!first_block) first_block = plan.flows()[k].id_index;
            if (counts) ++counts[flows_at + k].violated;
            if constexpr (requires { inner.flow(k, m); }) inner.flow(k, m);
        }
    };
    const LanguagePlan& plan = language.plan();
    const LanguageCall call{tool, &args, ts, call_args_hash(plan, args), args.has_value(), slot};
    const ToolEntries& entries = language.entries(slot, tool);
    const std::size_t asks = plan.asks().size();
    Entries out{sink, plan, std::nullopt, std::nullopt, std::nullopt, counts, asks, asks + plan.limits().size()};
    const LanguageVerdict v = language.judge(entries, call, judged.blocked(), out);
    if (!judged.blocked() && out.first_block) {
        judged.verdict = Verdict::blocked;
        judged.blocked_by = *out.first_block;
    }
    if (counts) {
        for (const std::uint32_t k : entries.asks) ++counts[k].reached;
        for (const std::uint32_t k : entries.limits) ++counts[out.asks + k].reached;
        for (const std::uint32_t k : entries.flows) ++counts[out.flows_at + k].reached;
        if (out.asked) ++counts[*out.asked].violated;
    }
    language.advance(entries, call);
    return EntryStep{out.asked, out.asked_flow, v.windows_unjudged};
}

// Records the result of the step at `step`, a call of `tool` in slot `slot`,
// for the flows: as GuardSession::record_result does once the call ran.
inline void record_step_result(LanguageState& language, std::uint32_t slot, std::uint64_t step, std::string_view tool,
                               const Value& result) {
    if (!language.plan().has_flows()) return;
    language.record(language.entries(slot, tool), step, tool, result);
}

// A recorded trace as the accumulators take it: each step's tool and, where
// the guard reads them, its arguments, its time and its result.
struct RecordedSteps {
    std::span<const std::string_view> tools;
    std::span<const std::optional<Value>> args;    // empty, or one per step
    std::span<const std::optional<double>> times;  // empty, or one per step (seconds)
    std::span<const std::uint64_t> unjudged;       // ascending: the steps whose arguments could not be read
    std::span<const UnjudgedArguments> why;        // why, one per `unjudged` step, or empty
    std::span<const std::optional<Value>> results = {};  // empty, or one per step (none: no result recorded)
};

// Why a step's arguments could not be read, when the caller did not say.
inline const UnjudgedArguments& unread_arguments() {
    static const UnjudgedArguments reason;
    return reason;
}

// Judges every step of `steps` in order, from `state` and `language` fresh
// (`language` null when the guard has no entries): `make_sink(step)` gives
// the step judgement's sink, `on_step(step, slot, verdict, entry_step)` is
// told each step's outcome once it is entered. A step's result is recorded
// after it, before the next step is judged. `counts` as
// judge_recorded_entries takes it.
template <class MakeSink, class OnStep>
void judge_recorded_steps(const ArgumentPlan& arguments, TraceState& state, LanguageState* language,
                          const RecordedSteps& steps, MakeSink&& make_sink, OnStep&& on_step,
                          ArgumentRuleCount* counts = nullptr) {
    static const std::optional<Value> none;
    const ExplainPlan& plan = state.plan();
    const ArgumentPlan* judged_arguments = steps.args.empty() ? nullptr : &arguments;
    std::size_t next_unjudged = 0;
    for (std::size_t i = 0; i < steps.tools.size(); ++i) {
        const std::uint64_t step = state.steps();
        const std::uint32_t slot = state.enter(steps.tools[i]);
        CallArguments call = judged_arguments ? CallArguments{judged_arguments, &steps.args[i]} : CallArguments{};
        if (judged_arguments && next_unjudged < steps.unjudged.size() && steps.unjudged[next_unjudged] == i) {
            call.unjudged = next_unjudged < steps.why.size() ? &steps.why[next_unjudged] : &unread_arguments();
            ++next_unjudged;
        }
        decltype(auto) sink = make_sink(step);
        StepVerdict verdict = judge_step(plan, state, state.step_tool(slot), step, sink, call);
        EntryStep entry;
        if (language) {
            const std::optional<Value>& args = call.args && !call.unjudged ? *call.args : none;
            const std::optional<double> ts = steps.times.empty() ? std::nullopt : steps.times[i];
            entry = judge_recorded_entries(*language, slot, steps.tools[i], args, ts, verdict, sink, counts);
        }
        state.advance(slot);
        on_step(step, slot, verdict, entry);
        if (language && !steps.results.empty() && steps.results[i]) {
            record_step_result(*language, slot, step, steps.tools[i], *steps.results[i]);
        }
    }
}

}  // namespace ostik::detail
