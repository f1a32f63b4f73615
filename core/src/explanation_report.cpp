// The explanation report as JSON: written from the records, or written
// directly while the driver runs. Both lay out the same keys in the same
// order and take their texts from rule_text.hpp.
#include <algorithm>
#include <utility>
#include <vector>

#include "explain_driver.hpp"
#include "explain_plan.hpp"
#include "ostik/explanation_report.hpp"
#include "ostik/json_writer.hpp"
#include "rule_text.hpp"

namespace ostik {

namespace {

void write_counters(std::string& out, std::uint64_t total, std::uint64_t allowed, std::uint64_t blocked,
                    const std::optional<std::uint64_t>& first_block) {
    // Follows the `"total_steps":` that the caller wrote.
    json::write_uint(out, total);
    out += ",\"allowed_steps\":";
    json::write_uint(out, allowed);
    out += ",\"blocked_steps\":";
    json::write_uint(out, blocked);
    if (first_block) {
        out += ",\"first_block_index\":";
        json::write_uint(out, *first_block);
    }
}

void write_evaluation(std::string& out, const RuleEvaluation& e) {
    out += "{\"rule_id\":";
    json::write_string(out, e.rule_id);
    out += ",\"rule_type\":";
    json::write_string(out, e.rule_type);
    out += ",\"passed\":";
    json::write_bool(out, e.passed);
    out += ",\"explanation\":";
    json::write_string(out, e.explanation);
    if (e.context) {
        out += ",\"context\":";
        json::write_value(out, *e.context);
    }
    out += '}';
}

void write_step(std::string& out, const ExplainedStep& step) {
    out += "{\"index\":";
    json::write_uint(out, step.index);
    out += ",\"tool\":";
    json::write_string(out, step.tool);
    if (step.args) {
        out += ",\"args\":";
        json::write_value(out, *step.args);
    }
    out += ",\"verdict\":\"";
    out += verdict_name(step.verdict);
    out += "\",\"rules_evaluated\":[";
    for (std::size_t i = 0; i < step.rules_evaluated.size(); ++i) {
        if (i) out += ',';
        write_evaluation(out, step.rules_evaluated[i]);
    }
    out += ']';
    if (!step.state_snapshot.empty()) {
        std::vector<const std::pair<const std::string, std::string>*> entries;
        entries.reserve(step.state_snapshot.size());
        for (const auto& entry : step.state_snapshot) entries.push_back(&entry);
        std::sort(entries.begin(), entries.end(), [](auto* l, auto* r) { return l->first < r->first; });
        out += ",\"state_snapshot\":";
        char sep = '{';
        for (const auto* entry : entries) {
            out += sep;
            sep = ',';
            json::write_string(out, entry->first);
            out += ':';
            json::write_string(out, entry->second);
        }
        out += '}';
    }
    out += '}';
}

using namespace detail;

// Writes the report while the driver runs. The verdict and the trace totals
// come before the lists they summarise: the verdict is patched in place (all
// verdict names have seven letters), and the head goes into a gap left in
// front of the steps, so the report never has to move.
class JsonRecorder {
public:
    JsonRecorder(const ExplainPlan& plan, std::string& out) : plan_(plan), out_(out) {}

    // Where the report starts in the buffer, once finished.
    std::size_t start() const { return start_; }

    void begin(std::size_t n) {
        steps_ = n;
        last_entries_.assign(plan_.rules.size(), Entry{});
        // The head's widest form: four numbers of at most 20 digits and their keys.
        gap_ = plan_.report_head.size() + 4 * 20 + 64;
        out_.clear();
        out_.reserve(gap_ + 4096);
        out_.append(gap_, ' ');
        out_ += ",\"steps\":[";
    }

    void begin_step(std::uint64_t index, const ToolCall& call, const Slot& slot) {
        index_ = index;
        if (index) out_ += ',';
        out_ += "{\"index\":";
        json::write_uint(out_, index);
        out_ += ",\"tool\":\"";
        out_ += slot.text.json;
        out_ += '"';
        if (call.args) {
            out_ += ",\"args\":";
            json::write_value(out_, *call.args);
        }
        out_ += ",\"verdict\":\"";
        verdict_at_ = out_.size();
        out_ += "allowed\",\"rules_evaluated\":[";
        first_entry_ = true;
    }

    void tool_check(ToolVerdict v, const Slot& slot) {
        separate();
        out_ += v == ToolVerdict::denied
                    ? "{\"rule_id\":\"deny_list\",\"rule_type\":\"deny\",\"passed\":false,\"explanation\":\""
                    : "{\"rule_id\":\"allow_list\",\"rule_type\":\"allow\",\"passed\":false,\"explanation\":\"";
        JsonText text{out_};
        write_tool_check_explanation(text, v, slot.text);
        out_ += "\"}";
    }

    void rule(const PlannedRule& r, const Outcome& o, const Slot& slot, std::uint64_t index) {
        separate();
        // Most rules say the same thing step after step ("waiting for ...",
        // "checked at end"): an entry equal to the rule's previous one is
        // copied from it rather than written again.
        Entry& last = last_entries_[static_cast<std::size_t>(&r - plan_.rules.data())];
        const bool reusable = !reads_step_index(r, o);
        const std::uint32_t tool = reads_step_tool(o) ? slot.index : no_slot;
        if (reusable && last.valid && last.outcome == o && last.tool == tool) {
            out_ += last.json;
            return;
        }
        const std::size_t at = out_.size();
        write_entry(r, o, slot, index);
        if (reusable) {
            last.valid = true;
            last.outcome = o;
            last.tool = tool;
            last.json.assign(out_, at);
        }
    }

    void end_step(Verdict verdict, const TraceState& state) {
        if (verdict != Verdict::allowed) out_.replace(verdict_at_, 7, verdict_name(verdict));
        out_ += ']';
        const auto slots = state.slots_by_name();
        if (!slots.empty()) {
            out_ += ",\"state_snapshot\":";
            char sep = '{';
            for (std::uint32_t s : slots) {
                const Slot& slot = state.slot(s);
                out_ += sep;
                sep = ',';
                out_ += slot.snapshot_key;
                json::write_uint(out_, slot.calls);
                out_ += '"';
            }
            out_ += '}';
        }
        out_ += '}';
        if (index_ == 0 && steps_ > 1) {
            // Sized from the first step, to spare most regrowth copies (the
            // snapshots grow a little as new tools appear).
            const std::size_t first = out_.size() - gap_;
            out_.reserve(out_.size() + first * (steps_ - 1) / 4 * 5 + 4096);
        }
    }

    void finish(const Totals& t) {
        out_ += "],\"blocking_rules\":[";
        for (std::size_t i = 0; i < t.blocking_rules.size(); ++i) {
            if (i) out_ += ',';
            out_ += '"';
            out_ += plan_.ids[t.blocking_rules[i]].json;
            out_ += '"';
        }
        out_ += "]}";
        std::string head = plan_.report_head;
        write_counters(head, t.total_steps, t.allowed_steps, t.blocked_steps, t.first_block_index);
        start_ = gap_ - head.size();
        out_.replace(start_, head.size(), head);
    }

private:
    void write_entry(const PlannedRule& r, const Outcome& o, const Slot& slot, std::uint64_t index) {
        out_ += r.json_head;
        out_ += o.passed ? "true,\"explanation\":\"" : "false,\"explanation\":\"";
        JsonText text{out_};
        write_explanation(text, r, o, slot.text, index);
        out_ += '"';
        if (has_context(r, o)) {
            out_ += ",\"context\":";
            JsonContext context{out_};
            write_context(context, r, o, index);
            out_ += '}';
        }
        out_ += '}';
    }

    void separate() {
        if (!first_entry_) out_ += ',';
        first_entry_ = false;
    }

    static constexpr std::uint32_t no_slot = UINT32_MAX;
    struct Entry {
        bool valid = false;
        Outcome outcome;
        std::uint32_t tool = no_slot;  // the step's tool, when the entry names it
        std::string json;
    };

    const ExplainPlan& plan_;
    std::string& out_;
    std::vector<Entry> last_entries_;  // by rule index
    std::size_t steps_ = 0;
    std::size_t gap_ = 0;
    std::size_t start_ = 0;
    std::uint64_t index_ = 0;
    std::size_t verdict_at_ = 0;
    bool first_entry_ = true;
};

}  // namespace

void write_report(std::string& out, const TraceExplanation& x) {
    out += "{\"policy_name\":";
    json::write_string(out, x.policy_name);
    out += ",\"policy_version\":";
    json::write_string(out, x.policy_version);
    out += ",\"total_steps\":";
    write_counters(out, x.total_steps, x.allowed_steps, x.blocked_steps, x.first_block_index);
    out += ",\"steps\":[";
    for (std::size_t i = 0; i < x.steps.size(); ++i) {
        if (i) out += ',';
        write_step(out, x.steps[i]);
    }
    out += "],\"blocking_rules\":[";
    for (std::size_t i = 0; i < x.blocking_rules.size(); ++i) {
        if (i) out += ',';
        json::write_string(out, x.blocking_rules[i]);
    }
    out += "]}";
}

std::size_t TraceExplainer::explain_json_into(std::string& buffer, std::span<const ToolCall> steps) const {
    JsonRecorder recorder(*plan_, buffer);
    drive(*plan_, steps, recorder);
    return recorder.start();
}

std::string TraceExplainer::explain_json(std::span<const ToolCall> steps) const {
    std::string out;
    out.erase(0, explain_json_into(out, steps));
    return out;
}

}  // namespace ostik
