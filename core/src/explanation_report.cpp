// The explanation report as JSON: written from the records, or written
// directly while the driver runs. Both lay out the same keys in the same
// order and take their texts from rule_text.hpp.
#include <algorithm>
#include <charconv>
#include <utility>
#include <vector>

#include "argument_text.hpp"
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

// The highest byte of the strings and keys of a Value; everything else in
// its JSON text is ASCII.
unsigned char value_top(const Value& v) {
    if (v.is<std::string>()) return top_byte(v.as<std::string>());
    unsigned char top = 0;
    if (v.is<Array>()) {
        for (const Value& item : v.as<Array>()) top = std::max(top, value_top(item));
    } else if (v.is<Object>()) {
        for (const Member& m : v.as<Object>()) top = std::max({top, top_byte(m.key), value_top(m.value)});
    }
    return top;
}

std::size_t decimal_digits(std::uint64_t v) {
    std::size_t n = 1;
    while (v >= 10) {
        v /= 10;
        ++n;
    }
    return n;
}

// The first pass: decides every step and keeps only what the head, the
// verdicts and the width of the text need.
class OutlineRecorder {
public:
    OutlineRecorder(const ExplainPlan& plan, ReportOutline& out) : plan_(plan), out_(out) {}

    void begin(std::size_t n) {
        out_.total_steps = n;
        out_.blocked.assign(n, false);
        top_ = plan_.head_top;
        // Every rule is listed at every step, with its id and names.
        if (n) top_ = std::max(top_, plan_.rules_top);
    }

    void begin_step(std::uint64_t index, const ToolCall& call, const Slot& slot) {
        index_ = index;
        slot_ = slot.index;
        // Slots are made in order; a tool's name enters the text first with its slot.
        if (slot.index == digits_.size()) {
            digits_.push_back(0);
            top_ = std::max(top_, top_byte(slot.text.json));
        }
        if (call.args) top_ = std::max(top_, value_top(*call.args));
    }

    void tool_check(ToolVerdict, const Slot&) {}

    // Its texts are the rule's names and the argument's value.
    void argument(const ArgumentRule& r, const ArgumentFailure& f) {
        top_ = std::max({top_, top_byte(r.id.json), top_byte(r.tool.json), top_byte(failure_value(f).json)});
        for (const NameText& a : r.arguments) top_ = std::max(top_, top_byte(a.json));
    }

    void rule(const PlannedRule&, const Outcome& o, const Slot&, std::uint64_t) {
        check_mark_ = check_mark_ || has_check_mark(o.message);
    }

    void end_step(Verdict verdict, const TraceState& state) {
        if (verdict == Verdict::blocked) out_.blocked[index_] = true;
        // The snapshot's entries: "calls:name":"count" each, joined by commas.
        const Slot& slot = state.slot(slot_);
        const std::size_t digits = decimal_digits(slot.calls);
        if (digits_[slot_] == 0) snapshot_ += slot.snapshot_key.size() + 2;  // the closing quote, a comma
        snapshot_ += digits - digits_[slot_];
        digits_[slot_] = digits;
        out_.snapshot_bytes += snapshot_ + std::string_view(",\"state_snapshot\":{}").size() - 1;
    }

    void finish(const Totals& t) {
        out_.allowed_steps = t.allowed_steps;
        out_.blocked_steps = t.blocked_steps;
        out_.first_block_index = t.first_block_index;
        // U+2713 is E2 9C 93 in UTF-8.
        if (check_mark_) top_ = std::max(top_, static_cast<unsigned char>(0xE2));
        out_.top_byte = top_ >= 0x80 ? top_ : 0;
    }

private:
    const ExplainPlan& plan_;
    ReportOutline& out_;
    std::uint64_t index_ = 0;
    std::uint32_t slot_ = 0;
    std::vector<std::size_t> digits_;  // by slot: the length of its count
    std::uint64_t snapshot_ = 0;       // the current snapshot's entries, with a comma after each
    unsigned char top_ = 0;
    bool check_mark_ = false;
};

// The state snapshot's entries ("calls:name":"count", in name order, joined
// by commas) as one text, kept from step to step: a step changes one count
// or adds one tool, so its snapshot is the previous one with one entry
// edited, whatever the number of tools.
class SnapshotText {
public:
    const std::string& text() const { return text_; }

    // Enters the call of slot `s` that the step just counted.
    void update(const TraceState& state, std::uint32_t s) {
        const Slot& slot = state.slot(s);
        char digits[24];
        const auto digits_end = std::to_chars(digits, digits + sizeof digits, slot.calls).ptr;
        const std::string_view count(digits, static_cast<std::size_t>(digits_end - digits));
        if (s < entries_.size()) {
            Entry& e = entries_[s];
            const std::size_t at = e.at + slot.snapshot_key.size();
            if (count.size() == e.digits) {
                text_.replace(at, count.size(), count);
            } else {
                text_.replace(at, e.digits, count);
                shift(at, count.size() - e.digits);
                e.digits = count.size();
            }
            return;
        }
        // A new tool: its entry goes before the next name's, or last.
        const auto order = state.slots_by_name();
        const auto rank = std::lower_bound(order.begin(), order.end(), slot.text.raw,
                                           [&](std::uint32_t l, const std::string& name) {
                                               return state.slot(l).text.raw < name;
                                           }) - order.begin();
        std::string entry = slot.snapshot_key;
        entry += count;
        entry += '"';
        std::size_t at;
        if (static_cast<std::size_t>(rank) + 1 < order.size()) {
            at = entries_[order[rank + 1]].at;
            entry += ',';
            text_.insert(at, entry);
            shift(at, entry.size());
        } else if (text_.empty()) {
            at = 0;
            text_ = entry;
        } else {
            text_ += ',';
            at = text_.size();
            text_ += entry;
        }
        entries_.push_back(Entry{at, count.size()});
    }

private:
    // Moves the entries from `at` on by `delta` bytes (modulo 2^64: it may shrink).
    void shift(std::size_t at, std::size_t delta) {
        for (Entry& e : entries_) {
            if (e.at >= at) e.at += delta;
        }
    }

    struct Entry {
        std::size_t at = 0;      // where its text starts
        std::size_t digits = 0;  // length of its count
    };
    std::string text_;
    std::vector<Entry> entries_;  // by slot
};

// The second pass: writes the report in order, the head first (its totals and
// every step's verdict come from the outline), handing the text to the sink
// whenever the buffer holds a piece's worth.
class JsonRecorder {
    struct Entry;  // an entry kept for reuse

public:
    JsonRecorder(const ExplainPlan& plan, const ArgumentPlan* arguments, const ReportOutline& outline,
                 std::string& out, ReportSink& sink, std::size_t piece_bytes)
        : plan_(plan), arguments_(arguments), outline_(outline), out_(out), sink_(sink), piece_bytes_(piece_bytes) {}

    void begin(std::size_t) {
        last_entries_.assign(plan_.rules.size(), Entry{});
        tool_entries_.assign(plan_.rules.size(), {});
        out_.clear();
        out_.reserve(std::min(piece_bytes_, std::size_t{4} << 20) + 4096);
        out_ += plan_.report_head;
        write_counters(out_, outline_.total_steps, outline_.allowed_steps, outline_.blocked_steps,
                       outline_.first_block_index);
        out_ += ",\"steps\":[";
    }

    void begin_step(std::uint64_t index, const ToolCall& call, const Slot& slot) {
        slot_ = slot.index;
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
        out_ += outline_.blocked[index] ? ",\"verdict\":\"blocked\",\"rules_evaluated\":["
                                        : ",\"verdict\":\"allowed\",\"rules_evaluated\":[";
        first_entry_ = true;
        entries_in_step_ = 0;
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

    // Failures are few: each is written afresh.
    void argument(const ArgumentRule& r, const ArgumentFailure& f) {
        separate();
        out_ += "{\"rule_id\":\"";
        out_ += r.id.json;
        out_ += "\",\"rule_type\":\"";
        out_ += r.rule_type();
        out_ += "\",\"passed\":false,\"explanation\":\"";
        JsonText text{out_};
        write_argument_explanation(text, r, f.item, failure_value(f));
        out_ += "\",\"context\":";
        JsonContext context{out_};
        write_argument_context(context, r, f.item);
        out_ += "}}";
    }

    void rule(const PlannedRule& r, const Outcome& o, const Slot& slot, std::uint64_t index) {
        separate();
        // Most rules say the same thing step after step ("waiting for ...",
        // "checked at end"): an entry equal to the rule's previous one is
        // copied from it rather than written again. One whose only change is
        // a number taken from the step index ("(at 3/5)") is copied around
        // its numbers, which are written anew.
        const std::uint32_t tool = reads_step_tool(o) ? slot.index : no_slot;
        Entry& last = entry_for(static_cast<std::size_t>(&r - plan_.rules.data()), tool);
        const bool by_index = reads_step_index(r, o);
        if (last.valid && last.outcome == o && last.tool == tool) {
            if (by_index) write_around_numbers(last, r, o, slot, index);
            else out_ += last.json;
        } else {
            const std::size_t at = out_.size();
            numbers_.clear();
            write_entry(r, o, slot, index);
            last.valid = true;
            last.outcome = o;
            last.tool = tool;
            last.json.assign(out_, at);
            last.numbers.clear();
            if (by_index) {
                for (const auto& [from, to] : numbers_) last.numbers.emplace_back(from - at, to - at);
            }
        }
        ++entries_in_step_;
        if (out_.size() >= piece_bytes_) hand_over();
    }

    void end_step(Verdict, const TraceState& state) {
        out_ += ']';
        snapshot_.update(state, slot_);
        const std::size_t before = out_.size();
        out_ += ",\"state_snapshot\":{";
        out_ += snapshot_.text();
        out_ += '}';
        snapshots_ += out_.size() - before;
        out_ += '}';
        entries_in_step_ = plan_.rules.size() + 1;
        if (out_.size() >= piece_bytes_) hand_over();
    }

    void finish(const Totals& t) {
        out_ += "],\"blocking_rules\":[";
        for (std::size_t i = 0; i < t.blocking_rules.size(); ++i) {
            if (i) out_ += ',';
            out_ += '"';
            out_ += id_text(plan_, arguments_, t.blocking_rules[i]).json;
            out_ += '"';
        }
        out_ += "]}";
        sink_.take_last(out_);
        out_.clear();
    }

private:
    void hand_over() {
        if (handed_ == 0) {
            // The snapshots' share is known; the rest is taken to go on as in
            // the steps written so far.
            const double done = static_cast<double>(index_) + static_cast<double>(entries_in_step_) /
                                                                  static_cast<double>(plan_.rules.size() + 1);
            const double rest = static_cast<double>(out_.size() - std::min<std::size_t>(out_.size(), snapshots_));
            const double steps = static_cast<double>(outline_.total_steps);
            sink_.expect(static_cast<std::uint64_t>(rest / done * steps * 1.1) + outline_.snapshot_bytes + 4096);
        }
        handed_ += out_.size();
        sink_.take(out_);
        out_.clear();
    }

    // Writes the entry, noting where each of its numbers went.
    void write_entry(const PlannedRule& r, const Outcome& o, const Slot& slot, std::uint64_t index) {
        out_ += r.json_head;
        out_ += o.passed ? "true,\"explanation\":\"" : "false,\"explanation\":\"";
        NotedText text{{out_}, numbers_};
        write_explanation(text, r, o, slot.text, index);
        out_ += '"';
        if (has_context(r, o)) {
            out_ += ",\"context\":";
            NotedContext context{{out_}, numbers_};
            write_context(context, r, o, index);
            out_ += '}';
        }
        out_ += '}';
    }

    // The entry `last`, with the numbers of this step in place of its own:
    // the same templates give the numbers in the same order.
    void write_around_numbers(const Entry& last, const PlannedRule& r, const Outcome& o, const Slot& slot,
                              std::uint64_t index) {
        values_.clear();
        NumbersText text{values_};
        write_explanation(text, r, o, slot.text, index);
        if (has_context(r, o)) {
            NumbersContext context{values_};
            write_context(context, r, o, index);
        }
        std::size_t from = 0;
        for (std::size_t i = 0; i < last.numbers.size(); ++i) {
            out_.append(last.json, from, last.numbers[i].first - from);
            json::write_uint(out_, values_[i]);
            from = last.numbers[i].second;
        }
        out_.append(last.json, from, std::string::npos);
    }

    void separate() {
        if (!first_entry_) out_ += ',';
        first_entry_ = false;
    }

    // The entry to reuse for rule `k`: an entry that names the step's tool
    // ("'x' does not match blocklist ...") is kept per tool, up to a bound,
    // since steps take turns between a few tools; any other, the rule's last.
    Entry& entry_for(std::size_t k, std::uint32_t tool) {
        if (tool == no_slot) return last_entries_[k];
        std::vector<Entry>& by_tool = tool_entries_[k];
        if (tool < by_tool.size()) return by_tool[tool];
        const std::size_t more = tool + 1 - by_tool.size();
        if (tool_entry_count_ + more > max_tool_entries) return last_entries_[k];
        tool_entry_count_ += more;
        by_tool.resize(tool + 1);
        return by_tool[tool];
    }

    static constexpr std::uint32_t no_slot = UINT32_MAX;
    struct Entry {
        bool valid = false;
        Outcome outcome;
        std::uint32_t tool = no_slot;  // the step's tool, when the entry names it
        std::string json;
        std::vector<std::pair<std::size_t, std::size_t>> numbers;  // when it reads the step index: each number's place
    };

    // Sinks that write like the JSON ones and note where numbers go, and
    // sinks that only collect the numbers.
    struct NotedText : JsonText {
        std::vector<std::pair<std::size_t, std::size_t>>& numbers;
        void num(std::uint64_t v) {
            const std::size_t at = out.size();
            json::write_uint(out, v);
            numbers.emplace_back(at, out.size());
        }
    };
    struct NotedContext : JsonContext {
        std::vector<std::pair<std::size_t, std::size_t>>& numbers;
        void number(const char* k, std::uint64_t v) {
            key(k);
            const std::size_t at = out.size();
            json::write_uint(out, v);
            numbers.emplace_back(at, out.size());
        }
    };
    struct NumbersText {
        std::vector<std::uint64_t>& values;
        void lit(std::string_view) {}
        void name(const NameText&) {}
        void num(std::uint64_t v) { values.push_back(v); }
    };
    struct NumbersContext {
        std::vector<std::uint64_t>& values;
        void text(const char*, const NameText&) {}
        void number(const char*, std::uint64_t v) { values.push_back(v); }
        void boolean(const char*, bool) {}
        void texts(const char*, const std::vector<NameText>&) {}
    };

    const ExplainPlan& plan_;
    const ArgumentPlan* arguments_;
    const ReportOutline& outline_;
    std::string& out_;
    ReportSink& sink_;
    const std::size_t piece_bytes_;
    std::vector<Entry> last_entries_;               // by rule index
    std::vector<std::vector<Entry>> tool_entries_;  // by rule index, then slot
    std::size_t tool_entry_count_ = 0;
    std::vector<std::pair<std::size_t, std::size_t>> numbers_;  // where the entry being written put its numbers
    std::vector<std::uint64_t> values_;                         // the numbers of an entry written around
    static constexpr std::size_t max_tool_entries = std::size_t{1} << 16;
    SnapshotText snapshot_;
    std::uint64_t handed_ = 0;     // bytes handed to the sink so far
    std::uint64_t snapshots_ = 0;  // bytes of the snapshots written so far
    std::uint64_t index_ = 0;
    std::size_t entries_in_step_ = 0;  // rule entries of the current step written so far
    std::uint32_t slot_ = 0;
    bool first_entry_ = true;
};

// Collects the pieces into one string.
class StringSink final : public ReportSink {
public:
    explicit StringSink(std::string& out) : out_(out) {}
    void take(std::string_view piece) override { out_ += piece; }

private:
    std::string& out_;
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

namespace {

ReportOutline outline_of(const ExplainPlan& plan, const ArgumentPlan* arguments, std::span<const ToolCall> steps) {
    ReportOutline outline;
    OutlineRecorder recorder(plan, outline);
    drive(plan, steps, recorder, arguments);
    return outline;
}

void write_report_json(const ExplainPlan& plan, const ArgumentPlan* arguments, std::span<const ToolCall> steps,
                       const ReportOutline& outline, std::string& buffer, ReportSink& sink, std::size_t piece_bytes) {
    JsonRecorder recorder(plan, arguments, outline, buffer, sink, piece_bytes);
    drive(plan, steps, recorder, arguments);
}

}  // namespace

std::string detail::explanation_json(const ExplainPlan& plan, const ArgumentPlan* arguments,
                                     std::span<const ToolCall> steps) {
    std::string out;
    std::string buffer;
    StringSink sink(out);
    write_report_json(plan, arguments, steps, outline_of(plan, arguments, steps), buffer, sink,
                      TraceExplainer::default_piece_bytes);
    return out;
}

ReportOutline TraceExplainer::outline_json(std::span<const ToolCall> steps) const {
    return outline_of(*plan_, nullptr, steps);
}

void TraceExplainer::write_json(std::span<const ToolCall> steps, const ReportOutline& outline, std::string& buffer,
                                ReportSink& sink, std::size_t piece_bytes) const {
    write_report_json(*plan_, nullptr, steps, outline, buffer, sink, piece_bytes);
}

std::string TraceExplainer::explain_json(std::span<const ToolCall> steps) const {
    return explanation_json(*plan_, nullptr, steps);
}

}  // namespace ostik
