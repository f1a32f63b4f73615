// A guard session as bytes, and back: what lets a run continue in another
// process (a hook run once per tool call, a run resumed after an approval).
// The form, after the magic "OSKS" and the version byte, all numbers varints
// unless said otherwise:
//
//   fingerprint    fixed64, of the policy's encoding
//   mode           byte: 0 enforce, 1 observe
//   steps, refused
//   name calls     count, then the calls of each name id the plan knows
//   rule entries   count (the plan's rules), then per rule: flags byte (1 open,
//                  2 then_called), step, deadline, progress
//   call ids       count (at most GuardSession::remembered_call_ids), oldest
//                  first: id, has_args byte (bit 1: the hash is a legacy one,
//                  see Remembered), args hash fixed64, and the
//                  decision: verdict byte, step, tool, its failures (count,
//                  then kind, check, gate, item, value + 1 or 0, and the
//                  outcome: passed, message, seen, is_then, count, deadline,
//                  trace_len) and the values they show (count, texts)
//   checksum       fixed64
//
// Reading checks every number against the plan, so that bytes that pass it
// can only make texts the session could have made: an index out of range or
// an outcome foreign to its rule's kind is "malformed".
#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <unordered_set>

#include "argument_plan.hpp"
#include "byte_codec.hpp"
#include "explain_plan.hpp"
#include "language_state.hpp"
#include "ostik/policy_encoding.hpp"
#include "ostik/guard.hpp"
#include "ostik/text.hpp"
#include "step_failure.hpp"
#include "trace_state.hpp"

namespace ostik {

using namespace detail;

namespace {

constexpr std::string_view magic = "OSKS";
// Format 1 held the arguments' hashes as legacy_value_fingerprint made them;
// it is still read (see read_language and the call ids).
constexpr std::uint8_t format_version = 2;
constexpr std::uint8_t oldest_format_version = 1;
// A remembered call id's has_args byte: bit 1 says its hash is a legacy one.
constexpr std::uint8_t legacy_hash_bit = 2;

constexpr std::uint8_t entry_open = 1;
constexpr std::uint8_t entry_then_called = 2;

// The rule kind each outcome's message belongs to.
int kind_of(Message m) {
    switch (m) {
        case Message::require_at_end:
        case Message::end_require_missing:
            return 0;
        case Message::eventually_seen:
        case Message::eventually_pending:
        case Message::eventually_missed:
            return 1;
        case Message::max_exceeded:
        case Message::max_call:
            return 2;
        case Message::before_not_then:
        case Message::before_ok:
        case Message::before_missing:
            return 3;
        case Message::after_satisfied:
        case Message::after_late:
        case Message::after_pending:
        case Message::after_missed:
        case Message::after_triggered:
        case Message::after_waiting:
        case Message::end_after_missing:
        case Message::after_due:
            return 4;
        case Message::never_after_violated:
        case Message::never_after_armed:
        case Message::never_after_triggered:
        case Message::never_after_waiting:
            return 5;
        case Message::sequence_complete:
        case Message::sequence_step:
        case Message::sequence_waiting_start:
        case Message::sequence_strict_mismatch:
        case Message::sequence_order_violated:
        case Message::sequence_waiting:
            return 6;
        case Message::blocklist_match:
        case Message::blocklist_clear:
            return 7;
    }
    return -1;
}

constexpr auto last_message = static_cast<std::uint8_t>(Message::after_due);

}  // namespace

struct SessionBytes {
    static void write_decision(ByteWriter& w, const SessionDecision& d) {
        w.byte(d.allowed() ? 0 : d.needs_approval() ? 2 : 1);
        w.varint(d.step_);
        w.text(d.tool_);
        w.varint(d.failures_.size());
        for (const StepFailure& f : d.failures_) {
            w.byte(static_cast<std::uint8_t>(f.kind));
            w.varint(f.check);
            w.byte(static_cast<std::uint8_t>(f.gate));
            w.varint(f.item);
            w.varint(f.value == StepFailure::no_value ? 0 : std::uint64_t{f.value} + 1);
            const Outcome& o = f.outcome;
            w.byte(o.passed ? 1 : 0);
            w.byte(static_cast<std::uint8_t>(o.message));
            w.byte(o.seen ? 1 : 0);
            w.byte(o.is_then ? 1 : 0);
            w.varint(o.count);
            w.varint(o.deadline);
            w.varint(o.trace_len);
        }
        w.varint(d.values_.size());
        for (const std::string& v : d.values_) w.text(v);
    }

    static std::string write(const GuardSession& s) {
        std::lock_guard lock(s.mutex_);
        const TraceState& state = *s.state_;
        std::string out;
        ByteWriter w(out);
        w.raw(magic);
        w.byte(format_version);
        w.fixed64(s.guard_->fingerprint());
        w.byte(s.mode_ == GuardMode::enforce ? 0 : 1);
        w.varint(state.steps());
        w.varint(s.refused_);
        w.varint(state.name_calls().size());
        for (std::uint32_t n : state.name_calls()) w.varint(n);
        w.varint(state.entries().size());
        for (const RuleEntry& e : state.entries()) {
            w.byte((e.open ? entry_open : 0) | (e.then_called ? entry_then_called : 0));
            w.varint(e.step);
            w.varint(e.deadline);
            w.varint(e.progress);
        }
        w.varint(s.remembered_order_.size());
        for (const std::string& id : s.remembered_order_) {
            const GuardSession::Remembered& r = s.remembered_.at(id);
            w.text(id);
            w.byte((r.has_args ? 1 : 0) | (r.legacy_hash ? legacy_hash_bit : 0));
            w.fixed64(r.args_hash);
            write_decision(w, r.decision);
        }
        if (!s.language_->plan().empty()) write_language(w, s);
        w.seal();
        return out;
    }

    // The ask and limit entries' state, then the calls waiting for approval
    // (by call id, in the order ids are remembered: their decisions are there).
    static void write_language(ByteWriter& w, const GuardSession& s) {
        const LanguageState::Saved saved = s.language_->save();
        w.varint(saved.after_seen.size());
        for (std::uint8_t b : saved.after_seen) w.byte(b);
        w.varint(saved.counts.size());
        for (std::uint64_t n : saved.counts) w.varint(n);
        w.varint(saved.times.size());
        for (const auto& times : saved.times) {
            w.varint(times.size());
            for (double t : times) w.fixed64(std::bit_cast<std::uint64_t>(t));
        }
        w.byte(saved.has_last ? 1 : 0);
        w.text(saved.last_tool);
        w.byte(saved.last_has_args ? 1 : 0);
        w.fixed64(saved.last_hash);
        w.varint(saved.run);
        w.varint(s.asks_made_);
        std::vector<const std::string*> pending;
        for (const std::string& id : s.remembered_order_) {
            if (s.pending_.contains(id)) pending.push_back(&id);
        }
        w.varint(pending.size());
        for (const std::string* id : pending) {
            const ToolCall& call = s.pending_.at(*id).call;
            w.text(*id);
            w.byte(call.args ? 1 : 0);
            if (call.args) w.text(value_bytes(*call.args));
        }
        if (s.language_->plan().has_flows()) write_flows(w, s);
    }

    // The flows' state: the tool slot of every step, the first source of
    // each taint flow, the value flows past the bound, and the tracked
    // results with their pieces of text (the index is made again from them).
    static void write_flows(ByteWriter& w, const GuardSession& s) {
        // Slots are the session's own numbering: the tools are written by name,
        // each once, in order of first call.
        std::vector<std::uint32_t> number(s.step_slots_.empty() ? 0 : *std::max_element(s.step_slots_.begin(), s.step_slots_.end()) + 1,
                                          std::numeric_limits<std::uint32_t>::max());
        std::vector<std::uint32_t> order;
        for (const std::uint32_t slot : s.step_slots_) {
            if (number[slot] == std::numeric_limits<std::uint32_t>::max()) {
                number[slot] = static_cast<std::uint32_t>(order.size());
                order.push_back(slot);
            }
        }
        w.varint(order.size());
        for (const std::uint32_t slot : order) w.text(s.state_->slot(slot).text.raw);
        w.varint(s.step_slots_.size());
        for (const std::uint32_t slot : s.step_slots_) w.varint(number[slot]);
        const LanguageState::SavedFlows saved = s.language_->save_flows();
        w.varint(saved.tainted.size());
        for (const auto& source : saved.tainted) {
            w.byte(source ? 1 : 0);
            if (source) {
                w.varint(source->step);
                w.text(source->tool);
            }
        }
        w.varint(saved.untracked.size());
        for (const std::uint64_t word : saved.untracked) w.fixed64(word);
        w.varint(saved.results.size());
        for (const auto& result : saved.results) {
            w.varint(result.step);
            w.text(result.tool);
            for (const std::uint64_t word : result.mask) w.fixed64(word);
            w.varint(result.pieces.size());
            for (const std::string_view piece : result.pieces) w.text(piece);
        }
    }

    static bool read_flows(ByteReader& r, GuardSession& s, const LanguagePlan& plan, const char*& why) {
        const auto tools = r.count();
        if (!tools) return false;
        std::vector<std::uint32_t> slot_of;
        for (std::size_t i = 0; i < *tools; ++i) {
            const auto tool = r.text();
            if (!tool || !is_valid_utf8(*tool)) return false;
            slot_of.push_back(s.state_->enter(std::string(*tool)));
        }
        const auto slots = r.count();
        if (!slots || *slots != s.state_->steps()) return false;
        for (std::size_t i = 0; i < *slots; ++i) {
            const auto number = r.varint();
            if (!number || *number >= slot_of.size()) return false;
            s.step_slots_.push_back(slot_of[*number]);
        }
        LanguageState::SavedFlows saved;
        const auto flows = r.count();
        if (!flows || *flows != plan.flows().size()) return false;
        for (std::size_t i = 0; i < *flows; ++i) {
            const auto present = r.byte();
            if (!present || *present > 1) return false;
            auto& source = saved.tainted.emplace_back();
            if (*present) {
                const auto step = r.varint();
                const auto tool = r.text();
                if (!step || *step >= *slots || !tool || !is_valid_utf8(*tool) || plan.flows()[i].value()) return false;
                source = LanguageState::Source{*step, std::string(*tool)};
            }
        }
        const std::size_t words = (plan.value_flows() + 63) / 64;
        const auto untracked = r.count(8);
        if (!untracked || *untracked != words) return false;
        for (std::size_t i = 0; i < words; ++i) {
            const auto word = r.fixed64();
            if (!word) return false;
            saved.untracked.push_back(*word);
        }
        const auto results = r.count();
        if (!results) return false;
        std::uint64_t bytes = 0;
        for (std::size_t i = 0; i < *results; ++i) {
            auto& result = saved.results.emplace_back();
            const auto step = r.varint();
            const auto tool = r.text();
            if (!step || *step >= *slots || !tool || !is_valid_utf8(*tool)) return false;
            result.step = *step;
            result.tool = *tool;
            for (std::size_t k = 0; k < words; ++k) {
                const auto word = r.fixed64();
                if (!word) return false;
                result.mask.push_back(*word);
            }
            const auto pieces = r.count();
            if (!pieces) return false;
            for (std::size_t k = 0; k < *pieces; ++k) {
                const auto piece = r.text();
                if (!piece || piece->empty() || !is_valid_utf8(*piece)) return false;
                bytes += piece->size();
                result.pieces.push_back(*piece);
            }
        }
        // A guard with a smaller bound than the one that made the bytes
        // cannot hold this text: refused, not cut.
        if (bytes > s.language_->max_tracked_bytes()) {
            why = "tracking more result text than the guard's max_tracked_bytes";
            return false;
        }
        return s.language_->restore_flows(std::move(saved));
    }

    // `legacy`: bytes of format 1.
    static bool read_language(ByteReader& r, GuardSession& s, const LanguagePlan& plan, bool legacy,
                              const char*& why) {
        LanguageState::Saved saved;
        const auto asks = r.count();
        if (!asks || *asks != plan.asks().size()) return false;
        for (std::size_t i = 0; i < *asks; ++i) {
            const auto b = r.byte();
            if (!b || *b > 1) return false;
            saved.after_seen.push_back(*b);
        }
        const auto limits = r.count();
        if (!limits || *limits != plan.limits().size()) return false;
        for (std::size_t i = 0; i < *limits; ++i) {
            const auto n = r.varint();
            if (!n) return false;
            saved.counts.push_back(*n);
        }
        const auto windows = r.count();
        if (!windows || *windows != plan.limits().size()) return false;
        for (std::size_t i = 0; i < *windows; ++i) {
            const auto n = r.count(8);
            if (!n || *n > plan.limits()[i].max) return false;
            auto& times = saved.times.emplace_back();
            for (std::size_t j = 0; j < *n; ++j) {
                const auto bits = r.fixed64();
                if (!bits || !std::isfinite(std::bit_cast<double>(*bits))) return false;
                times.push_back(std::bit_cast<double>(*bits));
            }
        }
        const auto has_last = r.byte();
        const auto last_tool = r.text();
        const auto last_has_args = r.byte();
        const auto last_hash = r.fixed64();
        const auto run = r.varint();
        const auto asks_made = r.varint();
        if (!has_last || *has_last > 1 || !last_tool || !is_valid_utf8(*last_tool) || !last_has_args ||
            *last_has_args > 1 || !last_hash || !run || !asks_made) {
            return false;
        }
        // A run of equal calls is compared by the hash of their arguments,
        // which format 1 made otherwise: a run it holds starts over.
        if (!legacy) {
            saved.has_last = *has_last == 1;
            saved.last_tool = *last_tool;
            saved.last_has_args = *last_has_args == 1;
            saved.last_hash = *last_hash;
            saved.run = *run;
        }
        s.asks_made_ = *asks_made;
        s.language_->restore(std::move(saved));
        const auto pending = r.count();
        if (!pending) return false;
        for (std::size_t i = 0; i < *pending; ++i) {
            const auto id = r.text();
            const auto has_args = r.byte();
            if (!id || !has_args || *has_args > 1) return false;
            const auto it = s.remembered_.find(std::string(*id));
            if (it == s.remembered_.end() || !it->second.decision.needs_approval()) return false;
            GuardSession::Pending p{ToolCall{it->second.decision.tool_, std::nullopt}, it->second.decision, {}};
            if (*has_args) {
                const auto bytes = r.text();
                if (!bytes) return false;
                auto args = value_from_bytes(*bytes);
                GuardSession::Remembered& remembered = it->second;
                // Only format 1 leaves a waiting call a legacy hash.
                if (!args || (remembered.legacy_hash && !legacy)) return false;
                const std::uint64_t hash =
                    remembered.legacy_hash ? legacy_value_fingerprint(*args) : value_fingerprint(*args);
                if (hash != remembered.args_hash) return false;
                // Its arguments are here: its hash is made anew.
                remembered.args_hash = value_fingerprint(*args);
                remembered.legacy_hash = false;
                p.call.args = std::move(*args);
            }
            p.fingerprint = s.fingerprint_of(p.call);
            if (!s.pending_.emplace(it->first, std::move(p)).second) return false;
        }
        return !plan.has_flows() || read_flows(r, s, plan, why);
    }

    // Reads one stored failure; false when it is not one the session could
    // have made.
    static bool read_failure(ByteReader& r, const ExplainPlan& plan, const ArgumentPlan& arguments, StepFailure& f,
                             std::uint64_t& value_plus_one) {
        // In the order write_decision writes them.
        const auto kind = r.byte();
        const auto check = r.varint();
        const auto gate = r.byte();
        const auto item = r.varint(), value = r.varint();
        const auto passed = r.byte(), message = r.byte(), seen = r.byte(), is_then = r.byte();
        const auto count = r.varint(), deadline = r.varint(), trace_len = r.varint();
        if (!r.ok() || *kind > 7 || *gate > 2 || *passed > 1 || *message > last_message || *seen > 1 || *is_then > 1) {
            return false;
        }
        f.kind = static_cast<StepFailure::Kind>(*kind);
        f.gate = static_cast<ToolVerdict>(*gate);
        if (*check > std::numeric_limits<std::uint32_t>::max() || *item > std::numeric_limits<std::uint32_t>::max()) {
            return false;
        }
        f.check = static_cast<std::uint32_t>(*check);
        f.item = static_cast<std::uint32_t>(*item);
        value_plus_one = *value;
        f.outcome.passed = *passed == 1;
        f.outcome.message = static_cast<Message>(*message);
        f.outcome.seen = *seen == 1;
        f.outcome.is_then = *is_then == 1;
        f.outcome.count = *count;
        f.outcome.deadline = *deadline;
        f.outcome.trace_len = *trace_len;
        // Only a rule's failure carries an outcome; the others leave it as made.
        const Outcome blank;
        switch (f.kind) {
            case StepFailure::Kind::tool_check:
                return f.gate != ToolVerdict::pass && f.check == 0 && f.item == 0 && *value == 0 && f.outcome == blank;
            case StepFailure::Kind::argument: {
                if (f.gate != ToolVerdict::pass || f.check >= arguments.rules().size() || !(f.outcome == blank)) {
                    return false;
                }
                const ArgumentRule& rule = arguments.rules()[f.check];
                if (rule.required) return f.item < rule.arguments.size() && *value == 0;
                return f.item < rule.ops.size() && *value != 0;
            }
            case StepFailure::Kind::unjudged:
                return f.gate == ToolVerdict::pass && f.check == 0 && f.item == 0 && *value != 0 && f.outcome == blank;
            case StepFailure::Kind::limit:
                return f.gate == ToolVerdict::pass && f.check < arguments.language().limits().size() && f.item == 0 &&
                       *value == 0;
            case StepFailure::Kind::ask:
                return f.gate == ToolVerdict::pass && f.check < arguments.language().asks().size() && f.item == 0 &&
                       *value == 0;
            case StepFailure::Kind::denied:
                return f.gate == ToolVerdict::pass && f.check < arguments.language().asks().size() && f.item == 0;
            case StepFailure::Kind::flow:
                return f.gate == ToolVerdict::pass && f.check < arguments.language().flows().size() && f.item <= 7 &&
                       *value != 0;
            case StepFailure::Kind::rule:
                break;
        }
        if (f.gate != ToolVerdict::pass || f.item != 0 || *value != 0 || f.check >= plan.rules.size()) return false;
        const PlannedRule& rule = plan.rules[f.check];
        const Outcome& o = f.outcome;
        if (o.passed || kind_of(o.message) != static_cast<int>(rule.kind)) return false;
        // A sequence's texts name the element at its progress.
        if (rule.kind == 6 && o.count >= rule.elements.size()) return false;
        return true;
    }

    static std::optional<SessionDecision> read_decision(ByteReader& r, const Guard& guard, std::uint64_t steps) {
        const ExplainPlan& plan = guard.explainer().plan();
        const auto verdict = r.byte();
        const auto step = r.varint();
        const auto tool = r.text();
        const auto failures = r.count(12);  // each failure takes 12 bytes at least
        if (!verdict || *verdict > 2 || !step || *step > steps || !tool || !failures || !is_valid_utf8(*tool)) {
            return std::nullopt;
        }
        SessionDecision d;
        d.guard_ = &guard;
        d.verdict_ = *verdict == 0 ? Verdict::allowed : *verdict == 1 ? Verdict::blocked : Verdict::ask;
        d.step_ = *step;
        d.tool_ = *tool;
        // A blocked call names the check that blocked it; an allowed one has none.
        if ((*failures == 0) != d.allowed()) return std::nullopt;
        std::vector<std::uint64_t> value_refs;
        for (std::size_t i = 0; i < *failures; ++i) {
            StepFailure& f = d.failures_.emplace_back();
            std::uint64_t value = 0;
            if (!read_failure(r, plan, guard.arguments(), f, value)) return std::nullopt;
            f.step = d.step_;
            value_refs.push_back(value);
        }
        const auto values = r.count();
        if (!values) return std::nullopt;
        for (std::size_t i = 0; i < *values; ++i) {
            const auto v = r.text();
            if (!v || !is_valid_utf8(*v)) return std::nullopt;
            d.values_.emplace_back(*v);
        }
        for (std::size_t i = 0; i < d.failures_.size(); ++i) {
            StepFailure& f = d.failures_[i];
            if (value_refs[i] == 0) continue;
            const std::uint64_t index = value_refs[i] - 1;
            // An unjudged failure shows two values: the argument and the problem.
            // A flow's three: the source tool, the argument, the matched text.
            const std::uint64_t needed = f.kind == StepFailure::Kind::unjudged ? 2 : f.kind == StepFailure::Kind::flow ? 3 : 1;
            if (index > d.values_.size() || d.values_.size() - index < needed) return std::nullopt;
            f.value = static_cast<std::uint32_t>(index);
        }
        return d;
    }

    static std::expected<std::unique_ptr<GuardSession>, std::string> read(std::shared_ptr<const Guard> guard,
                                                                          std::string_view bytes,
                                                                          std::unique_ptr<TraceWriter> writer) {
        using Failure = std::unexpected<std::string>;
        const Failure malformed("malformed");
        auto opened = ByteReader::open(bytes, magic, format_version, "a session's", oldest_format_version);
        if (!opened) return Failure(std::move(opened.error()));
        ByteReader& r = *opened;
        const bool legacy = static_cast<std::uint8_t>(bytes[magic.size()]) < format_version;
        const auto fingerprint = r.fixed64();
        if (fingerprint && *fingerprint != guard->fingerprint()) return Failure("made with another policy");
        const ExplainPlan& plan = guard->explainer().plan();

        const auto mode = r.byte();
        const auto steps = r.varint(), refused = r.varint();
        if (!mode || *mode > 1 || !steps || !refused) return malformed;

        const auto names = r.count();
        if (!names || *names != plan.name_count()) return malformed;
        std::vector<std::uint32_t> name_calls(*names, 0);
        std::uint64_t called = 0;
        for (std::uint32_t& n : name_calls) {
            const auto v = r.varint();
            // Each step counts one call of one name at most.
            if (!v || *v > std::numeric_limits<std::uint32_t>::max() || __builtin_add_overflow(called, *v, &called)) {
                return malformed;
            }
            n = static_cast<std::uint32_t>(*v);
        }
        if (called > *steps) return malformed;

        const auto rules = r.count();
        if (!rules || *rules != plan.rules.size()) return malformed;
        std::vector<RuleEntry> entries(*rules);
        for (std::size_t k = 0; k < entries.size(); ++k) {
            RuleEntry& e = entries[k];
            const auto flags = r.byte();
            const auto step = r.varint(), deadline = r.varint(), progress = r.varint();
            if (!flags || *flags > 3 || !step || !deadline || !progress) return malformed;
            e.open = *flags & entry_open;
            e.then_called = *flags & entry_then_called;
            e.step = *step;
            e.deadline = *deadline;
            const PlannedRule& rule = plan.rules[k];
            const std::size_t elements = rule.kind == 6 ? rule.elements.size() : 0;
            if (*progress > elements) return malformed;
            e.progress = static_cast<std::uint32_t>(*progress);
            switch (rule.kind) {
                case 4:
                    // A window is opened at a step that was entered, with its deadline
                    // `within` calls later.
                    if (e.open && (e.step >= *steps || e.deadline - e.step != rule.number || e.deadline < e.step)) {
                        return malformed;
                    }
                    break;
                case 5:
                    if (e.then_called || (e.open && e.step >= *steps) || e.deadline != 0) return malformed;
                    break;
                default:
                    if (*flags != 0 || e.step != 0 || e.deadline != 0) return malformed;
            }
        }

        auto session = std::make_unique<GuardSession>(guard, std::move(writer), false,
                                                      *mode == 0 ? GuardMode::enforce : GuardMode::observe);
        session->state_->restore(*steps, std::move(name_calls), std::move(entries));
        session->refused_ = *refused;

        const auto ids = r.count(11);
        if (!ids || *ids > GuardSession::remembered_call_ids) return malformed;
        for (std::size_t i = 0; i < *ids; ++i) {
            const auto id = r.text();
            const auto flags = r.byte();
            const auto hash = r.fixed64();
            if (!id || !is_valid_utf8(*id) || !flags || *flags > (legacy ? 1 : 1 | legacy_hash_bit) || !hash) {
                return malformed;
            }
            const bool has_args = *flags & 1;
            const bool legacy_hash = legacy ? has_args : (*flags & legacy_hash_bit) != 0;
            // A call without arguments has no hash of them.
            if (!has_args && (*hash != 0 || legacy_hash)) return malformed;
            auto decision = read_decision(r, *guard, *steps);
            if (!decision) return malformed;
            std::string key(*id);
            decision->call_id_ = key;
            GuardSession::Remembered remembered{*hash, has_args, legacy_hash, std::move(*decision)};
            if (!session->remembered_.emplace(key, std::move(remembered)).second) return malformed;
            session->remembered_order_.push_back(std::move(key));
        }
        if (!guard->arguments().language().empty()) {
            const char* why = nullptr;
            if (!read_language(r, *session, guard->arguments().language(), legacy, why)) {
                return why ? Failure(why) : malformed;
            }
        }
        if (!r.at_end()) return malformed;
        return session;
    }
};

std::string GuardSession::to_bytes() const { return SessionBytes::write(*this); }

std::expected<std::unique_ptr<GuardSession>, std::string> GuardSession::from_bytes(std::shared_ptr<const Guard> guard,
                                                                                   std::string_view bytes,
                                                                                   std::unique_ptr<TraceWriter> writer) {
    return SessionBytes::read(std::move(guard), bytes, std::move(writer));
}

}  // namespace ostik
