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
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "flow_index.hpp"
#include "language_plan.hpp"
#include "pattern_budget.hpp"
#include "ostik/policy_encoding.hpp"
#include "ostik/value.hpp"

namespace ostik::detail {

// A call as the entries see it. `ts` is the session clock's time of the call
// (seconds), absent when unknown; `args_hash` is value_fingerprint of the
// arguments and `has_args` whether it has any, needed only when the plan
// repeats (they are what a repeat compares). `args` holds at least the
// members the ask entries' conditions of the tool read, and all of them when
// a value flow follows the tool. `slot` is the tool's slot (a TraceState
// slot index) when it has one, else no_slot.
inline constexpr std::uint32_t no_slot = ~std::uint32_t{0};
struct LanguageCall {
    std::string_view tool;
    const std::optional<Value>* args = nullptr;
    std::optional<double> ts;
    std::uint64_t args_hash = 0;
    bool has_args = false;
    std::uint32_t slot = no_slot;
};

inline std::uint64_t call_args_hash(const LanguagePlan& plan, const std::optional<Value>& args) {
    return plan.repeats() && args ? value_fingerprint(*args) : 0;
}

// What the entries made of a call, besides the failures given to the sink.
struct LanguageVerdict {
    std::optional<std::uint32_t> ask;  // the ask entry that applies, when nothing blocks
    bool flow_ask = false;             // else an ask flow applies
    bool windows_unjudged = false;     // a windowed limit met the call, which had no time
};

// Why a flow applies to a call: the result it traces (its step and tool) and,
// for a value flow, the argument and the text of it that came from there.
// `untracked`: a value flow's results passed the session's bound, so the call
// cannot be cleared.
struct FlowMatch {
    bool ask = false;
    bool untracked = false;
    std::uint64_t source_step = 0;
    std::string_view source_tool;
    std::string argument;  // "recipient", "payment.iban", "to[0]"
    std::string matched;
};

// The bound on the text a session's value flows track, by default.
inline constexpr std::uint64_t default_max_tracked_bytes = std::uint64_t{64} << 20;
// What the index's positions can address.
inline constexpr std::uint64_t most_tracked_bytes = (std::uint64_t{1} << 32) - 2;

// The strings of a value, depth first, with where each is.
template <class F>
void for_each_string(const Value& v, std::string& path, F&& f) {
    if (v.is<std::string>()) {
        f(path, v.as<std::string>());
    } else if (v.is<Array>()) {
        const Array& a = v.as<Array>();
        const std::size_t at = path.size();
        for (std::size_t i = 0; i < a.size(); ++i) {
            path += '[';
            path += std::to_string(i);
            path += ']';
            for_each_string(a[i], path, f);
            path.resize(at);
        }
    } else if (v.is<Object>()) {
        const std::size_t at = path.size();
        for (const Member& m : v.as<Object>()) {
            if (at) path += '.';
            path += m.key;
            for_each_string(m.value, path, f);
            path.resize(at);
        }
    }
}

// A result that is one string, as for_each_string walks Value(s).
template <class F>
void for_each_string(std::string_view s, std::string& path, F&& f) {
    f(path, s);
}

class LanguageState {
public:
    explicit LanguageState(const LanguagePlan& plan, std::uint64_t max_tracked_bytes = default_max_tracked_bytes)
        : plan_(&plan),
          after_seen_(plan.asks().size(), 0),
          counts_(plan.limits().size(), 0),
          times_(plan.limits().size()),
          tainted_(plan.flows().size()),
          untracked_((plan.value_flows() + 63) / 64, 0),
          max_tracked_(std::min(max_tracked_bytes, most_tracked_bytes)) {
        if (plan.value_flows()) index_ = std::make_unique<FlowIndex>(plan.min_lengths(), plan.value_flows());
    }

    const LanguagePlan& plan() const { return *plan_; }

    // The entries of a tool's slot (a TraceState slot index), worked out on
    // its first call.
    const ToolEntries& entries(std::uint32_t slot, std::string_view tool) {
        if (slot < known_.size() && known_[slot]) [[likely]] return by_slot_[slot];
        return learn_entries(slot, tool);
    }


    // Judges `call`, meeting `entries`, after the other checks: `blocked`
    // says whether they blocked it. Limit failures go to `sink.limit(k,
    // count)`; an ask to `sink.ask(k)`.
    template <class Sink>
    [[gnu::always_inline]] LanguageVerdict judge(const ToolEntries& entries, const LanguageCall& call, bool blocked,
                                                 Sink& sink) const {
        bool windows_unjudged = false;
        for (const std::uint32_t k : entries.limits) {
            const LimitPlan& l = plan_->limits()[k];
            std::uint64_t count = 0;
            if (l.repeats()) {
                if (!repeats_last(call)) continue;
                count = run_;
                if (count + 1 < l.repeat) continue;
            } else if (l.windowed()) {
                if (!call.ts) {
                    windows_unjudged = true;
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
        // Flows, rare beside asks and limits, keep their matches (strings)
        // out of this frame.
        if (!entries.flows.empty()) [[unlikely]] return judge_flows(entries, call, blocked, windows_unjudged, sink);
        if (blocked) return LanguageVerdict{std::nullopt, false, windows_unjudged};
        return LanguageVerdict{first_ask(entries, call, sink), false, windows_unjudged};
    }

    // Whether a call of the tool of `entries` may get a result someone records.
    static bool takes_results(const ToolEntries& entries) { return !entries.feeds.empty() || !entries.taints.empty(); }

    // Records the result of the call at `step`, of `tool` (meeting `entries`):
    // the labels it earns, the taint flows it starts, the text the value
    // flows it feeds track.
    // `result`: a Value, or the text of a string result.
    template <class Result>
    void record(const ToolEntries& entries, std::uint64_t step, std::string_view tool, const Result& result) {
        if (!takes_results(entries)) return;
        thread_local std::string path;
        std::vector<char> earned(plan_->taints().size(), 0);
        for (const std::uint32_t k : entries.taints) {
            const TaintPlan& t = plan_->taints()[k];
            path.clear();
            for_each_string(result, path, [&](const std::string&, std::string_view s) {
                if (!earned[k] && finds(*t.regex, s)) earned[k] = 1;
            });
        }
        std::vector<std::uint64_t> mask(untracked_.size(), 0);
        bool feeds_value = false;
        for (std::uint32_t k = 0; k < plan_->flows().size(); ++k) {
            const FlowPlan& f = plan_->flows()[k];
            const bool fed = std::binary_search(entries.feeds.begin(), entries.feeds.end(), k) ||
                             std::any_of(f.taints.begin(), f.taints.end(), [&](std::uint32_t t) { return earned[t] != 0; });
            if (!fed) continue;
            if (!f.value()) {
                if (!tainted_[k]) tainted_[k] = Source{step, std::string(tool)};
            } else {
                mask[f.value_index / 64] |= std::uint64_t{1} << (f.value_index % 64);
                feeds_value = true;
            }
        }
        if (!feeds_value) return;
        // The result's strings as they are when in NFC (as all ASCII text
        // is), else their NFC forms, kept here.
        std::deque<std::string> normalized;
        std::vector<std::string_view> pieces;
        std::uint64_t bytes = 0;
        path.clear();
        for_each_string(result, path, [&](const std::string&, std::string_view s) {
            thread_local std::string scratch;
            std::string_view piece = nfc_view(scratch, s);
            if (piece.data() == scratch.data()) piece = normalized.emplace_back(std::move(scratch));
            pieces.push_back(piece);
            bytes += piece.size();
        });
        if (bytes > max_tracked_ - tracked_) {
            for (std::size_t w = 0; w < mask.size(); ++w) untracked_[w] |= mask[w];
            return;
        }
        tracked_ += bytes;
        const std::uint32_t r = index_->add_result(step, tool, mask);
        for (const std::string_view piece : pieces) index_->add_piece(r, piece);
    }

    std::uint64_t tracked_bytes() const { return tracked_; }
    std::uint64_t max_tracked_bytes() const { return max_tracked_; }
    const FlowIndex* index() const { return index_.get(); }

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
                // A slot's name is kept with its entries: the last tool is
                // its slot, spelled out only for the session's bytes.
                last_slot_ = call.slot < known_.size() && known_[call.slot] ? call.slot : no_slot;
                if (last_slot_ == no_slot) last_tool_.assign(call.tool);
                last_has_args_ = call.has_args;
                last_hash_ = call.args_hash;
                run_ = 1;
            }
        }
    }

    // ---- for a session's bytes ----
    struct Source {
        std::uint64_t step = 0;
        std::string tool;
    };
    struct SavedFlows {
        std::vector<std::optional<Source>> tainted;
        std::vector<std::uint64_t> untracked;
        struct Result {
            std::uint64_t step = 0;
            std::string_view tool;
            std::vector<std::uint64_t> mask;
            std::vector<std::string_view> pieces;  // NFC text
        };
        std::vector<Result> results;  // viewing the state (saving) or the bytes (restoring)
    };
    SavedFlows save_flows() const {
        SavedFlows s{tainted_, untracked_, {}};
        if (!index_) return s;
        for (std::size_t r = 0; r < index_->results(); ++r) {
            const FlowIndex::Result& result = index_->result(static_cast<std::uint32_t>(r));
            s.results.push_back({result.step, result.tool, index_->masks()[result.mask], {}});
        }
        for (const FlowIndex::Piece& p : index_->pieces()) s.results[p.result].pieces.push_back(index_->text(p));
        return s;
    }
    // False when the saved state is not one this plan could have made.
    bool restore_flows(SavedFlows s) {
        if (s.tainted.size() != tainted_.size() || s.untracked.size() != untracked_.size()) return false;
        if (!index_ && !s.results.empty()) return false;
        const std::uint32_t flows = plan_->value_flows();
        auto stray = [&](const std::vector<std::uint64_t>& mask) {
            for (std::size_t w = 0; w < mask.size(); ++w) {
                const std::uint32_t used = w + 1 < mask.size() || flows % 64 == 0 ? 64 : flows % 64;
                if (used < 64 && (mask[w] >> used)) return true;
            }
            return false;
        };
        if (stray(s.untracked)) return false;
        tainted_ = std::move(s.tainted);
        untracked_ = std::move(s.untracked);
        for (const auto& result : s.results) {
            if (stray(result.mask) || std::all_of(result.mask.begin(), result.mask.end(), [](auto w) { return w == 0; })) {
                return false;
            }
            const std::uint32_t r = index_->add_result(result.step, result.tool, result.mask);
            for (const std::string_view piece : result.pieces) {
                tracked_ += piece.size();
                index_->add_piece(r, piece);
            }
        }
        return true;
    }

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
        Saved s{after_seen_, counts_, {}, has_last_, std::string(last_tool()), last_has_args_, last_hash_, run_};
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
        last_slot_ = no_slot;
        last_has_args_ = s.last_has_args;
        last_hash_ = s.last_hash;
        run_ = s.run;
    }

private:
    // The rest of judge() for a tool that some flows meet: the flows, then
    // (when nothing blocks) the asks, and last an ask flow.
    template <class Sink>
    [[gnu::noinline]] LanguageVerdict judge_flows(const ToolEntries& entries, const LanguageCall& call, bool blocked,
                                                  bool windows_unjudged, Sink& sink) const {
        LanguageVerdict v;
        v.windows_unjudged = windows_unjudged;
        std::optional<std::pair<std::uint32_t, FlowMatch>> flow_ask;
        for (const std::uint32_t k : entries.flows) {
            const FlowPlan& f = plan_->flows()[k];
            if (f.ask && (blocked || flow_ask)) continue;
            std::optional<FlowMatch> m = match(f, call);
            if (!m) continue;
            if (f.ask) {
                flow_ask.emplace(k, std::move(*m));
            } else {
                sink.flow(k, *m);
                blocked = true;
            }
        }
        if (blocked) return v;
        v.ask = first_ask(entries, call, sink);
        if (v.ask) return v;
        if (flow_ask) {
            sink.flow(flow_ask->first, flow_ask->second);
            v.flow_ask = true;
        }
        return v;
    }

    // The first ask entry that applies to a call nothing blocks, given to the sink.
    template <class Sink>
    std::optional<std::uint32_t> first_ask(const ToolEntries& entries, const LanguageCall& call, Sink& sink) const {
        for (const std::uint32_t k : entries.asks) {
            const AskPlan& a = plan_->asks()[k];
            if (a.after && !after_seen_[k]) continue;
            if (!conditions_hold(a, call)) continue;
            sink.ask(k);
            return k;
        }
        return std::nullopt;
    }

    // The entries of a slot met for the first time.
    [[gnu::noinline]] const ToolEntries& learn_entries(std::uint32_t slot, std::string_view tool) {
        if (slot >= by_slot_.size()) {
            by_slot_.resize(slot + 1);
            known_.resize(slot + 1, 0);
        }
        if (!known_[slot]) {
            by_slot_[slot] = plan_->entries_for(tool);
            if (plan_->repeats()) {
                if (slot >= slot_names_.size()) slot_names_.resize(slot + 1);
                slot_names_[slot].assign(tool);
            }
            known_[slot] = 1;
        }
        return by_slot_[slot];
    }

    bool repeats_last(const LanguageCall& call) const {
        if (!has_last_ || last_has_args_ != call.has_args || last_hash_ != call.args_hash) return false;
        // Slots and names go one to one: a slot compares for its name.
        if (last_slot_ != no_slot && call.slot != no_slot) return last_slot_ == call.slot;
        return last_tool() == call.tool;
    }
    std::string_view last_tool() const { return last_slot_ != no_slot ? slot_names_[last_slot_] : last_tool_; }
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
    // Why flow `f` applies to the call, if it does.
    std::optional<FlowMatch> match(const FlowPlan& f, const LanguageCall& call) const {
        const std::size_t k = static_cast<std::size_t>(&f - plan_->flows().data());
        if (!f.value()) {
            if (!tainted_[k]) return std::nullopt;
            FlowMatch m;
            m.ask = f.ask;
            m.source_step = tainted_[k]->step;
            m.source_tool = tainted_[k]->tool;
            return m;
        }
        if (untracked_[f.value_index / 64] & (std::uint64_t{1} << (f.value_index % 64))) {
            FlowMatch m;
            m.ask = f.ask;
            m.untracked = true;
            return m;
        }
        if (!index_ || index_->results() == 0 || !call.args || !*call.args) return std::nullopt;
        std::optional<FlowMatch> found;
        thread_local std::string path;
        thread_local std::string nfc;
        path.clear();
        auto look = [&](const std::string& where, std::string_view s) {
            if (found || s.size() < f.min_length) return;
            if (!f.args.empty() && !names_argument(f, where)) return;
            const std::string_view text = nfc_view(nfc, s);
            const auto hit = index_->find(text, f.min_length, f.value_index);
            if (!hit) return;
            const FlowIndex::Result& r = index_->result(hit->result);
            FlowMatch& m = found.emplace();
            m.ask = f.ask;
            m.source_step = r.step;
            m.source_tool = r.tool;
            m.argument = where;
            m.matched = std::string(text.substr(hit->begin, hit->end - hit->begin));
        };
        for_each_string(**call.args, path, look);
        return found;
    }
    // Whether the argument at `path` ("a.b[2].c") is under a key `f` names.
    static bool names_argument(const FlowPlan& f, std::string_view path) {
        std::size_t i = 0;
        while (i < path.size()) {
            std::size_t j = path.find_first_of(".[", i);
            if (j == std::string_view::npos) j = path.size();
            const std::string_view key = path.substr(i, j - i);
            if (std::find(f.args.begin(), f.args.end(), key) != f.args.end()) return true;
            i = j;
            while (i < path.size() && path[i] == '[') {
                i = path.find(']', i);
                i = i == std::string_view::npos ? path.size() : i + 1;
            }
            if (i < path.size() && path[i] == '.') ++i;
        }
        return false;
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
    std::vector<std::string> slot_names_;  // by slot, when the plan repeats
    bool has_last_ = false;
    std::uint32_t last_slot_ = no_slot;  // the last tool's slot, else last_tool_ names it
    std::string last_tool_;
    bool last_has_args_ = false;
    std::uint64_t last_hash_ = 0;
    std::uint64_t run_ = 0;
    // The flows': by flow, the first result that fed a taint flow; the
    // tracked text of the value flows' results, and the value flows (a mask)
    // a result fed past the bound.
    std::vector<std::optional<Source>> tainted_;
    std::unique_ptr<FlowIndex> index_;
    std::vector<std::uint64_t> untracked_;
    std::uint64_t tracked_ = 0;
    std::uint64_t max_tracked_ = default_max_tracked_bytes;
};

}  // namespace ostik::detail
