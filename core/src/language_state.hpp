// The state the ask and limit entries keep over a session or a trace, and
// their judgement of one call. A call is judged by them after the tool
// check, the argument rules and the sequence rules (step_judgement.hpp):
// every limit it breaks is a failure and the first failure blocks it; when
// nothing blocks it, the first ask entry that applies makes it an ask. Only
// calls that are entered (that ran) count.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "language_plan.hpp"
#include "ostik/policy_encoding.hpp"
#include "ostik/value.hpp"

namespace ostik::detail {

// A call as the entries see it. `ts` is the session clock's time of the call
// (seconds), absent when unknown; `args_hash` is value_fingerprint of the
// arguments, needed only when the plan repeats.
struct LanguageCall {
    std::string_view tool;
    const std::optional<Value>* args = nullptr;
    std::optional<double> ts;
    std::uint64_t args_hash = 0;
};

inline std::uint64_t call_args_hash(const LanguagePlan& plan, const std::optional<Value>& args) {
    return plan.repeats() && args ? value_fingerprint(*args) : 0;
}

// What the entries made of a call, besides the failures given to the sink.
struct LanguageVerdict {
    std::optional<std::uint32_t> ask;  // the ask entry that applies, when nothing blocks
    bool windows_unjudged = false;     // a windowed limit met the call, which had no time
};

class LanguageState {
public:
    explicit LanguageState(const LanguagePlan& plan)
        : plan_(&plan),
          after_seen_(plan.asks().size(), 0),
          counts_(plan.limits().size(), 0),
          times_(plan.limits().size()) {}

    const LanguagePlan& plan() const { return *plan_; }

    // The entries of a tool's slot (a TraceState slot index), worked out on
    // its first call.
    const ToolEntries& entries(std::uint32_t slot, std::string_view tool) {
        if (slot >= by_slot_.size()) {
            by_slot_.resize(slot + 1);
            known_.resize(slot + 1, 0);
        }
        if (!known_[slot]) {
            by_slot_[slot] = plan_->entries_for(tool);
            known_[slot] = 1;
        }
        return by_slot_[slot];
    }

    // Judges `call`, meeting `entries`, after the other checks: `blocked`
    // says whether they blocked it. Limit failures go to `sink.limit(k,
    // count)`; an ask to `sink.ask(k)`.
    template <class Sink>
    LanguageVerdict judge(const ToolEntries& entries, const LanguageCall& call, bool blocked, Sink& sink) const {
        LanguageVerdict v;
        for (const std::uint32_t k : entries.limits) {
            const LimitPlan& l = plan_->limits()[k];
            std::uint64_t count = 0;
            if (l.repeats()) {
                if (!repeats_last(call)) continue;
                count = run_;
                if (count + 1 < l.repeat) continue;
            } else if (l.windowed()) {
                if (!call.ts) {
                    v.windows_unjudged = true;
                    continue;
                }
                count = in_window(k, at(k, *call.ts));
                if (count < l.max) continue;
            } else {
                count = counts_[k];
                if (count < l.max) continue;
            }
            sink.limit(k, count);
            blocked = true;
        }
        if (blocked) return v;
        for (const std::uint32_t k : entries.asks) {
            const AskPlan& a = plan_->asks()[k];
            if (a.after && !after_seen_[k]) continue;
            if (!conditions_hold(a, call)) continue;
            sink.ask(k);
            v.ask = k;
            break;
        }
        return v;
    }

    // Counts an entered call.
    void advance(const ToolEntries& entries, const LanguageCall& call) {
        for (const std::uint32_t k : entries.limits) {
            const LimitPlan& l = plan_->limits()[k];
            if (l.repeats()) continue;
            if (!l.windowed()) {
                ++counts_[k];
            } else if (call.ts) {
                // In order, and only those that can still decide a later
                // call: the latest `max`, within the window of the latest.
                std::deque<double>& t = times_[k];
                t.push_back(at(k, *call.ts));
                while (t.size() > l.max) t.pop_front();
                while (!t.empty() && t.front() <= t.back() - l.per) t.pop_front();
            }
        }
        for (const std::uint32_t k : entries.afters) after_seen_[k] = 1;
        if (plan_->repeats()) {
            if (repeats_last(call)) {
                ++run_;
            } else {
                has_last_ = true;
                last_tool_.assign(call.tool);
                last_has_args_ = call.args && call.args->has_value();
                last_hash_ = call.args_hash;
                run_ = 1;
            }
        }
    }

    // ---- for a session's bytes ----
    struct Saved {
        std::vector<std::uint8_t> after_seen;
        std::vector<std::uint64_t> counts;
        std::vector<std::vector<double>> times;
        bool has_last = false;
        std::string last_tool;
        bool last_has_args = false;
        std::uint64_t last_hash = 0;
        std::uint64_t run = 0;
    };
    Saved save() const {
        Saved s{after_seen_, counts_, {}, has_last_, last_tool_, last_has_args_, last_hash_, run_};
        for (const auto& t : times_) s.times.emplace_back(t.begin(), t.end());
        return s;
    }
    void restore(Saved s) {
        after_seen_ = std::move(s.after_seen);
        counts_ = std::move(s.counts);
        times_.clear();
        for (auto& t : s.times) times_.emplace_back(t.begin(), t.end());
        has_last_ = s.has_last;
        last_tool_ = std::move(s.last_tool);
        last_has_args_ = s.last_has_args;
        last_hash_ = s.last_hash;
        run_ = s.run;
    }

private:
    bool repeats_last(const LanguageCall& call) const {
        return has_last_ && last_tool_ == call.tool && last_has_args_ == (call.args && call.args->has_value()) &&
               last_hash_ == call.args_hash;
    }
    // The time limit `k` takes a call at: its own, or the latest the limit
    // counted when that is later. A window's clock does not run backwards:
    // a replayed trace whose times go back (hosts' clocks apart, a line out
    // of order) has each step counted once, in a window that only moves on,
    // and a limit keeps only the times that can still decide a call.
    double at(std::uint32_t k, double ts) const {
        const std::deque<double>& t = times_[k];
        return t.empty() ? ts : std::max(ts, t.back());
    }
    // The entered calls of limit `k` less than its window before `now` (at(k, ...)).
    std::uint64_t in_window(std::uint32_t k, double now) const {
        const std::deque<double>& t = times_[k];
        const double start = now - plan_->limits()[k].per;
        // The usual case: what is kept lies in the window.
        if (t.empty() || t.front() > start) return t.size();
        return static_cast<std::uint64_t>(t.end() - std::upper_bound(t.begin(), t.end(), start));
    }
    static bool conditions_hold(const AskPlan& a, const LanguageCall& call) {
        if (a.conditions.empty()) return true;
        const Object* object = call.args && *call.args && (*call.args)->is<Object>() ? &(*call.args)->as<Object>() : nullptr;
        if (!object) return false;
        for (const AskCondition& c : a.conditions) {
            const Value* value = object->find(c.argument.raw);
            if (!value || !meets(c.ops, *value)) return false;
        }
        return true;
    }

    const LanguagePlan* plan_;
    std::vector<ToolEntries> by_slot_;
    std::vector<char> known_;
    std::vector<std::uint8_t> after_seen_;
    std::vector<std::uint64_t> counts_;
    std::vector<std::deque<double>> times_;
    bool has_last_ = false;
    std::string last_tool_;
    bool last_has_args_ = false;
    std::uint64_t last_hash_ = 0;
    std::uint64_t run_ = 0;
};

}  // namespace ostik::detail
