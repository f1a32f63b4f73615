// The live guard: a policy's verdicts on an agent's tool calls one at a time,
// before each call runs.
//
//   Guard            built once from a policy (the explainer's plan, and the
//                    policy's argument rules made ready); never changes, so any
//                    number of sessions and threads share it
//   GuardSession     one agent run: the rule state of the calls entered so far,
//                    optionally a trace file they are appended to and the calls
//                    themselves, and the decisions of the last call ids
//   SessionDecision  the judgement of one call as a session made it, compact;
//                    its texts are made when asked for
//   GuardDecision    the same judgement as records, texts made
//
// A session judges as TraceExplainer does, and also by the policy's argument
// rules (`tools.require_args`, `tools.arg_constraints`, see
// argument_rules.hpp), which the explainer leaves alone. How a blocked call
// counts is the session's mode:
//   enforce  a refused call never ran: it leaves the session as it was, so
//            the decision on a call is the last step of the judgement of the
//            calls allowed so far followed by it (with one exception: an
//            `after` window ends at its last position, see
//            step_judgement.hpp)
//   observe  every call counts, blocked or not, as a recorded trace's step
//            does: the i-th decision is step i of the explanation of the
//            same calls, with the failed argument rules after the tool check
// Its memory without kept calls is bounded by the policy, the number of
// distinct tool names and the call ids it remembers, whatever the number of
// calls.
#pragma once

#include <cstdint>
#include <deque>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ostik/argument_rules.hpp"
#include "ostik/explain.hpp"
#include "ostik/policy.hpp"
#include "ostik/session_lock.hpp"
#include "ostik/trace_writer.hpp"

namespace ostik {

struct GuardDecision {
    Verdict verdict = Verdict::allowed;
    std::uint64_t step = 0;  // the call's index in the run (or the one it would have had)
    std::string tool;        // the call's tool name
    std::optional<std::string> call_id;  // the framework's id of the call, when given
    // Every failed check of the step in report order: the tool check, then
    // the argument rules, then the sequence rules in policy order. The first
    // one blocked the step.
    // Empty for an allowed step.
    std::vector<RuleEvaluation> failures;
    // What a model is told of a blocked call: one sentence, no rule id
    // (decision_message.hpp). Empty for an allowed step.
    std::string message;

    bool allowed() const { return verdict == Verdict::allowed; }
    // The check that blocked the step (its rule id is the step's blocking
    // rule id), or null when the step is allowed.
    const RuleEvaluation* blocking() const { return failures.empty() ? nullptr : &failures.front(); }
    friend bool operator==(const GuardDecision&, const GuardDecision&) = default;
};

namespace detail {
class ArgumentPlan;
class LanguageState;
class TraceState;
struct StepFailure;
struct StepTool;
struct ToolEntries;
}  // namespace detail

enum class GuardMode : std::uint8_t { enforce, observe };

class Guard;

// A decision as a session made it: which checks failed and with what
// outcome, without their texts. Records, reason and message are made from
// that when asked for, by the functions the explanation report uses. It
// refers to its guard, which must outlive it.
class SessionDecision {
public:
    SessionDecision();
    ~SessionDecision();
    SessionDecision(const SessionDecision&);
    SessionDecision& operator=(const SessionDecision&);
    SessionDecision(SessionDecision&&) noexcept;
    SessionDecision& operator=(SessionDecision&&) noexcept;

    bool allowed() const { return verdict_ == Verdict::allowed; }
    // An ask entry applies and nothing blocks the call: it waits for a
    // person's approval (GuardSession::resolve).
    bool needs_approval() const { return verdict_ == Verdict::ask; }
    Verdict verdict() const { return verdict_; }
    std::uint64_t step() const { return step_; }
    const std::string& tool() const { return tool_; }
    const std::optional<std::string>& call_id() const { return call_id_; }
    // The id of the check that blocked the call, or null when allowed.
    const std::string* blocked_by() const;
    // The blocking check's explanation ("" when allowed).
    std::string reason() const;
    // GuardDecision::message.
    std::string message() const;
    GuardDecision record() const;

private:
    friend class GuardSession;
    friend struct SessionBytes;

    const Guard* guard_ = nullptr;
    Verdict verdict_ = Verdict::allowed;
    std::uint64_t step_ = 0;
    std::string tool_;
    std::optional<std::string> call_id_;
    std::vector<detail::StepFailure> failures_;  // in report order
    std::vector<std::string> values_;            // the values failed constraints show
};

class Guard {
public:
    // Fails when an argument constraint cannot be understood.
    static std::expected<Guard, ArgumentRuleError> create(Policy policy);
    ~Guard();
    Guard(Guard&&) noexcept;
    Guard& operator=(Guard&&) noexcept;

    const Policy& policy() const { return explainer_.policy(); }
    // The fingerprint of the policy's encoding (policy_encoding.hpp): what a
    // session's bytes are checked against.
    std::uint64_t fingerprint() const { return fingerprint_; }
    const TraceExplainer& explainer() const { return explainer_; }
    const detail::ArgumentPlan& arguments() const { return *arguments_; }

    // The argument rules in the order they are judged and listed.
    std::vector<ArgumentRuleInfo> argument_rules() const;

    // The ids of the policy's sequence rules, in policy order.
    std::vector<std::string> sequence_rule_ids() const;

    // The ask and limit entries and the flows, asks first, each in policy order.
    struct EntryInfo {
        std::string rule_id;
        const char* rule_type = "";  // "ask", "limit", "repeat" or "flow"
        NameList tools;              // as written ("*" for a limit on every tool; a flow's `to`)
    };
    std::vector<EntryInfo> entries() const;
    // Whether some limit counts calls in a window of time.
    bool windowed_limits() const;
    // Whether the policy has flows (so that results matter).
    bool has_flows() const;
    // Whether an ask, limit, label, taint or flow entry names `tool` (by
    // name, alias, label or a pattern other than a lone "*").
    bool entries_name(std::string_view tool) const;

    // The most result text (bytes, in NFC) a session's value flows track;
    // past it, their effects apply to every call they name. Set before the
    // guard is shared.
    std::uint64_t max_tracked_bytes() const { return max_tracked_bytes_; }
    void set_max_tracked_bytes(std::uint64_t bytes) { max_tracked_bytes_ = bytes; }

    // The explanation of `steps` as the guard judges them: the explainer's,
    // with the failed argument rules of each step after its tool check (and
    // so the verdicts, counters and blocking rules they make). Without
    // argument rules, byte for byte the explainer's.
    std::string explain_json(std::span<const ToolCall> steps) const;
    TraceExplanation explain(std::span<const ToolCall> steps) const;

private:
    Guard(TraceExplainer explainer, std::unique_ptr<const detail::ArgumentPlan> arguments);

    TraceExplainer explainer_;
    std::unique_ptr<const detail::ArgumentPlan> arguments_;
    std::uint64_t fingerprint_ = 0;
    std::uint64_t max_tracked_bytes_ = std::uint64_t{64} << 20;
};

// Every operation takes the session's own lock, so a session may be used from
// several threads; it runs no caller code while holding it.
class GuardSession {
public:
    // A session remembers the decisions of at least this many call ids, the
    // latest ones; an older id is judged afresh.
    static constexpr std::size_t remembered_call_ids = 4096;

    // `writer`, when given, receives one line per checked call; `keep_calls`
    // keeps the calls entered for explain_json().
    GuardSession(std::shared_ptr<const Guard> guard, std::unique_ptr<TraceWriter> writer, bool keep_calls,
                 GuardMode mode = GuardMode::enforce);
    ~GuardSession();
    GuardSession(const GuardSession&) = delete;
    GuardSession& operator=(const GuardSession&) = delete;

    struct CheckError {
        enum class Kind {
            broken_lock,   // the trace file's writer lock
            write,         // the trace file could not be written: `message` is the OS error text
            call_id_reused,  // the call id was decided for another call: `message` is the id
            not_pending,     // resolve(): no call waits for approval under the id: `message` is the id
            needs_arguments,  // check() of a call given in part (with a fingerprint) that waits for
                              // approval, which keeps the call: nothing was changed; give it again whole
        } kind;
        std::string message;
    };

    // Judges the call as the next step. Enforcing, it is entered only when
    // allowed; observing, blocked or not. A call id the session remembers
    // gives its decision again, judging and entering nothing (an error when
    // the id was decided for another tool or other arguments); a new one is
    // remembered with the decision. With a trace file, the call's line is
    // written first (a step line when entered, a "refused" line otherwise);
    // if that fails the session is left as it was and the error is returned.
    //
    // A call an ask entry makes wait (enforcing) is not entered and no line
    // is written: it is pending under its call id (one is made, "ask-N",
    // when none was given) until resolve(). Observing, it is entered as any
    // call, and its line records the ask.
    //
    // `now` is the session clock's time of the call in seconds, which its
    // trace line carries as "ts"; without it, a session of a policy with ask
    // or limit entries that needs one (a trace file, windowed limits) reads
    // the steady clock, and any other writes no time.
    //
    // `slot`, when given, is what tool_slot() gave for the call's tool name;
    // one that is not is ignored (the name is looked up).
    //
    // `fingerprint`, when given, says that `call.args` holds only what the
    // tool's slot needs of the arguments (ToolSlot: the members of its keys)
    // and is what the repeat limits compare the call by, made by the caller
    // from the arguments as given; without it, `call.args` are the
    // arguments and the fingerprint is made from them. Such a call that
    // waits for approval fails with needs_arguments, since a waiting call is
    // kept (and stored with the session) whole.
    struct CallFingerprint {
        bool has_args = false;
        std::uint64_t hash = 0;  // value_fingerprint of the arguments; 0 for none
    };
    std::expected<SessionDecision, CheckError> check(ToolCall call,
                                                     const std::optional<std::string>& call_id = std::nullopt,
                                                     std::optional<double> now = std::nullopt,
                                                     std::optional<std::uint32_t> slot = std::nullopt,
                                                     std::optional<CallFingerprint> fingerprint = std::nullopt);
    // The same, deciding into `out` (as its default constructor made it),
    // for a caller that keeps the decision where it is; on an error `out`
    // is to be dropped.
    std::expected<void, CheckError> check(SessionDecision& out, ToolCall&& call,
                                          const std::optional<std::string>& call_id = std::nullopt,
                                          std::optional<double> now = std::nullopt,
                                          std::optional<std::uint32_t> slot = std::nullopt,
                                          std::optional<CallFingerprint> fingerprint = std::nullopt);

    // Resolves the call waiting for approval under `call_id`: approved, it is
    // entered (it runs and counts) and its decision becomes allowed; denied,
    // it is refused, blocked by the ask entry with a reason that says so (and
    // `reason`, when given). Its line is written then. The resolved decision
    // is the id's from now on.
    std::expected<SessionDecision, CheckError> resolve(const std::string& call_id, bool approved,
                                                       const std::optional<std::string>& reason = std::nullopt,
                                                       std::optional<double> now = std::nullopt);
    // A call a result is recorded for: by its call id, or its step.
    struct CallRef {
        std::optional<std::string> call_id;
        std::uint64_t step = 0;
    };
    struct ResultError {
        enum class Kind {
            unknown_call,  // no call of the session has the id or step
            pending,       // the call waits for approval: it has not run
            refused,       // enforcing, the call was refused: it never ran
            write,         // the trace file could not be written
        } kind;
        std::optional<CheckError> write_error = std::nullopt;
    };
    // Records the result of a call that ran, for the flows: the labels it
    // earns, the taint flows it starts, the text value flows track. With a
    // trace file, a result line is written first (result_of: the step).
    std::expected<void, ResultError> record_result(const CallRef& call, const Value& result, bool is_error = false);
    // The same for a result that is one string, Value(text), read where it
    // lies: only a trace file's result line needs the Value built.
    std::expected<void, ResultError> record_text_result(const CallRef& call, std::string_view text,
                                                        bool is_error = false);
    // Whether record_result has a use for a result of `tool` (a flow follows
    // it, or a trace file records it); when not, it only checks the call.
    bool takes_results(std::string_view tool) const;

    // The call ids waiting for approval, oldest first.
    std::vector<std::string> pending() const;
    // Whether a call needs the session clock's time (to judge windowed
    // limits, or for its trace line).
    bool needs_time() const;

    // The judgement check() would give, leaving the session as it is (a new
    // call id is not remembered).
    std::expected<SessionDecision, CheckError> peek(const ToolCall& call,
                                                    const std::optional<std::string>& call_id = std::nullopt,
                                                    std::optional<double> now = std::nullopt,
                                                    std::optional<std::uint32_t> slot = std::nullopt,
                                                    std::optional<CallFingerprint> fingerprint = std::nullopt) const;

    // Writes a line saying that a call of `tool` ran without being judged,
    // and why: `{"tool":...,"unjudged":REASON}`. Nothing is entered. Without
    // a trace file, nothing happens.
    std::expected<void, CheckError> note_unjudged(std::string_view tool, std::string_view reason);

    // The end-of-trace checks on the calls entered: a require rule whose tool
    // was never called (also when nothing was called at all), an after rule
    // whose trigger was not answered.
    std::vector<RuleEvaluation> finish() const;

    // Whether a call of `tool` is judged, written or kept with its arguments
    // (or would be remembered under a call id). When not, check() and peek()
    // give the same decision for the call without them.
    bool needs_arguments(std::string_view tool, bool call_id) const;

    // A tool name's slot in the session (made on first sight, it counts
    // nothing until a call of the tool is entered), and what of its
    // arguments a call of it needs without a call id, worked out once per
    // slot. A caller that keeps them per name pays neither the name's lookup
    // nor that question on later calls.
    //
    // `needs_arguments`: the Value of all of them (it is judged by argument
    // rules or a value flow, written or kept). Otherwise the call is judged
    // the same when it carries only the members of `keys` (argument names
    // some ask entry's conditions read, ascending) of an arguments dict, and
    // with `fingerprint`, a CallFingerprint made from the arguments (some
    // limit refuses repeated calls).
    struct ToolSlot {
        std::uint32_t slot = 0;
        bool needs_arguments = false;
        bool fingerprint = false;
        std::vector<std::string> keys;
    };
    ToolSlot tool_slot(std::string_view tool);
    // The same for a name the session has a slot for already; none for a
    // new name, for which nothing is made (peek leaves no trace of a tool).
    std::optional<ToolSlot> known_tool_slot(std::string_view tool) const;

    std::uint64_t steps() const;
    // The checked calls that were blocked (enforcing: refused, not entered;
    // observing: entered all the same). Replays of a call id do not count.
    std::uint64_t refused() const;
    GuardMode mode() const { return mode_; }
    bool keeps_calls() const { return keep_calls_; }
    const Guard& guard() const { return *guard_; }

    // The explanation report of the calls entered, as Guard::explain_json()
    // gives it for them. Nothing when the session does not keep its calls.
    std::optional<std::string> explain_json() const;

    // The session as bytes: the policy's fingerprint, the mode, the rule
    // state and the remembered call ids with their decisions (not the trace
    // file, not kept calls). Versioned and checksummed.
    std::string to_bytes() const;
    // The session whose to_bytes() gave `bytes`, on `guard`, writing to
    // `writer` when given; or what is wrong with the bytes ("made with
    // another policy", "damaged (checksum mismatch)", "malformed", ...).
    static std::expected<std::unique_ptr<GuardSession>, std::string> from_bytes(std::shared_ptr<const Guard> guard,
                                                                                 std::string_view bytes,
                                                                                 std::unique_ptr<TraceWriter> writer);

private:
    friend struct SessionBytes;

    struct Remembered {
        std::uint64_t args_hash = 0;  // value_fingerprint of the arguments; 0 for none
        bool has_args = false;
        bool legacy_hash = false;     // args_hash is legacy_value_fingerprint (resumed from format 1)
        SessionDecision decision;
    };

    struct Pending {
        ToolCall call;
        SessionDecision decision;
        CallFingerprint fingerprint;
    };

    // `args_hash` is what the ask and limit entries compare calls by
    // (call_args_hash), made once per call.
    // Into `d`, as its default constructor made it.
    void judge(SessionDecision& d, std::uint32_t slot, const ToolCall& call, std::optional<double> now,
               CallFingerprint print);
    SessionDecision judge_unentered(std::uint32_t slot, const ToolCall& call, std::optional<double> now,
                                    CallFingerprint print) const;
    SessionDecision judge_unentered(const ToolCall& call, std::optional<double> now, CallFingerprint print) const;
    SessionDecision judge_unentered(detail::StepTool tool, const detail::ToolEntries* entries, std::uint32_t slot,
                                    const ToolCall& call,
                                    std::optional<double> now, CallFingerprint print) const;
    // The fingerprint of `call` made from its arguments' Value.
    CallFingerprint fingerprint_of(const ToolCall& call) const;
    // The slot of the call's tool: `hint` when it is that name's, else looked
    // up (made on first sight). Under the lock.
    std::uint32_t slot_for(std::string_view tool, std::optional<std::uint32_t> hint) const;
    const ToolSlot& slot_arguments(std::uint32_t slot) const;
    void enter(std::uint32_t slot, ToolCall&& call, std::optional<double> now, CallFingerprint print);
    std::optional<double> time_of(std::optional<double> now) const;
    // The same for a check of a call in `slot`, which reads no clock when
    // nothing would see its time.
    std::optional<double> time_of(std::optional<double> now, std::uint32_t slot, std::string_view tool) const;
    // The remembered decision of `call_id` for `call`, null when the id is
    // new, or the error of an id decided for another call.
    std::expected<const Remembered*, CheckError> recall(const std::optional<std::string>& call_id,
                                                        const ToolCall& call) const;
    void remember(const std::string& call_id, const ToolCall& call, const SessionDecision& decision);
    std::expected<void, CheckError> write(const std::string& line);
    // The step of the call a result is recorded for (mutex_ held).
    std::expected<std::uint64_t, ResultError> result_step(const CallRef& call) const;
    // Records a result (a Value, or a string's text) at `step` for the flows.
    template <class Result>
    void record_flows(std::uint64_t step, const Result& result);

    const std::shared_ptr<const Guard> guard_;
    const std::unique_ptr<TraceWriter> writer_;
    const bool keep_calls_;
    const GuardMode mode_;

    mutable SessionLock mutex_;
    // Guarded by mutex_:
    std::unique_ptr<detail::TraceState> state_;
    std::unique_ptr<detail::LanguageState> language_;
    std::unordered_map<std::string, Pending> pending_;  // every id in it is remembered
    std::uint64_t asks_made_ = 0;                       // for the ids made for asks
    std::uint64_t refused_ = 0;
    std::vector<ToolCall> calls_;  // only when keeping calls
    std::vector<std::uint32_t> step_slots_;  // the tool slot of each step, when the policy has flows
    std::string line_;             // the line being written, reused
    // By slot, worked out on first need: what a call needs of its arguments
    // (without a call id).
    mutable std::vector<std::optional<ToolSlot>> slot_arguments_;
    std::unordered_map<std::string, Remembered> remembered_;
    std::deque<std::string> remembered_order_;  // oldest first
};

}  // namespace ostik
