// Fuzzes the binary forms that arrive from other processes: a policy's bytes,
// a coverage accumulator's, an audit accumulator's, a diff accumulator's and
// a guard session's. The first input byte picks the form (with bit 3 set a
// session's, of the policy with flows below when bit 4 is set too, otherwise
// its two low bits: policy, coverage, audit, diff) and
// whether the rest is taken as it is or, with bit 2 set, sealed with a valid
// checksum first, so that the structure behind the checksum is reached. The
// seeds in fuzz/corpus/bytes are forms made for the policies below (a diff's
// of the first and the second; session_flows a session of the flows' policy
// with recorded results, made by Guard.from_file of the same text).
// Whatever decodes must encode again to bytes that decode to the same thing,
// an accumulator must still report, merge and judge without failing (a diff's
// changed traces must be listed too), and a session must still judge, replay
// its call ids, finish and make every text; a session with flows must also
// take new results and judge by them, and travel as bytes again.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../core/src/byte_codec.hpp"
#include "ostik/audit_accumulator.hpp"
#include "ostik/coverage_accumulator.hpp"
#include "ostik/diff_accumulator.hpp"
#include "ostik/diff_listing.hpp"
#include "ostik/guard.hpp"
#include "ostik/policy_encoding.hpp"
#include "ostik/policy_loader.hpp"

using namespace ostik;

namespace {

Policy fixed_policy() {
    Policy p;
    p.version = "1";
    p.name = "fuzz";
    p.tools.allow = NameList{"a", "b", "fs"};
    p.tools.deny = NameList{"rm"};
    p.sequences.push_back(rule::Require{"a"});
    p.sequences.push_back(rule::MaxCalls{"b", 2});
    p.sequences.push_back(rule::After{"b", "a", 2});
    p.sequences.push_back(rule::NeverAfter{"a", "rm"});
    p.aliases["fs"] = {"read_file", "write_file"};
    return p;
}

// The policy a diff compares the first with: a tighter max, a new deny, a rule gone.
Policy next_policy() {
    Policy p = fixed_policy();
    p.tools.deny = NameList{"rm", "x"};
    p.sequences[1] = rule::MaxCalls{"b", 1};
    p.sequences.pop_back();
    return p;
}

// Labels, taint, a taint flow and value flows of two lengths, one on a named
// argument: results recorded for read_file and fetch reach send and post.
constexpr std::string_view flows_policy_text = R"(version: "1"
labels:
  private: [read_file]
  outside: [send, post]
taint:
  - label: secret
    result: {matches: 'AKIA[0-9A-Z]{4}'}
flows:
  - {from: fetch, to: post, effect: ask}
  - {from: [private, secret], to: outside, min_length: 8}
  - {from: fetch, to: send, min_length: 12, args: [to], effect: ask}
)";

Guard flows_guard() {
    return Guard::create(parse_policy(flows_policy_text, nullptr, nullptr, Language::whole).value()).value();
}

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "%s\n", what);
        std::abort();
    }
}

// Session bytes of the former format, which are read and then written in the
// current one (the same session, other bytes).
bool former_session(std::string_view bytes) { return bytes.size() > 4 && bytes[4] == 1; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Policy policy = fixed_policy();
    static const auto coverage = std::make_shared<const CoverageBasis>(policy, PolicyKey(encode_policy(policy)));
    static const auto audit = AuditBasis::create(policy, PolicyKey(encode_policy(policy))).value();
    static const Policy next = next_policy();
    static const auto diff = std::make_shared<const DiffBasis>(
        audit, AuditBasis::create(next, PolicyKey(encode_policy(next))).value());
    if (size == 0) return 0;
    std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (data[0] & 4) detail::ByteWriter(bytes).seal();
    static const std::vector<std::string_view> tools = {"a", "b", "rm", "read_file", "x"};
    static const auto guard = std::make_shared<const Guard>(Guard::create(Policy(policy)).value());

    static const auto with_flows = std::make_shared<const Guard>(flows_guard());
    if ((data[0] & 24) == 24) {
        auto session = GuardSession::from_bytes(with_flows, bytes, nullptr);
        if (!session) return 0;
        GuardSession& s = **session;
        check(former_session(bytes) || s.to_bytes() == bytes, "session bytes with flows read as something else");
        // Results for the calls it has and for one it has not; calls judged
        // by what was recorded before and now.
        const Value text(std::string("AKIAQQQQ sends é to DE89370400440532013000"));
        for (std::uint64_t step = 0; step <= s.steps(); ++step) (void)s.record_result({std::nullopt, step}, text);
        for (const char* tool : {"read_file", "fetch", "send", "post", "other"}) {
            Object args;
            args.set("to", Value(std::string("DE89370400440532013000")));
            args.set("body", Value(std::string("sends é to")));
            ToolCall call{tool, Value(std::move(args))};
            if (auto d = s.check(call)) {
                (void)d->record();
                (void)d->reason();
                if (d->allowed()) (void)s.record_result({std::nullopt, s.steps() - 1}, text);
            }
        }
        (void)s.finish();
        auto again = GuardSession::from_bytes(with_flows, s.to_bytes(), nullptr);
        check(again && (*again)->to_bytes() == s.to_bytes(), "session bytes with flows do not round trip");
        return 0;
    }
    if (data[0] & 8) {
        auto session = GuardSession::from_bytes(guard, bytes, nullptr);
        if (!session) return 0;
        GuardSession& s = **session;
        check(former_session(bytes) || s.to_bytes() == bytes, "session bytes read as something else");
        // Every remembered decision makes its texts; a new call is judged.
        for (std::string_view tool : tools) {
            ToolCall call{std::string(tool), std::nullopt};
            for (const char* id : {"a", "b", "c", "0"}) {
                if (auto d = s.peek(call, std::string(id))) (void)d->record();
            }
            if (auto d = s.check(call)) (void)d->record();
        }
        (void)s.finish();
        auto again = GuardSession::from_bytes(guard, s.to_bytes(), nullptr);
        check(again && (*again)->to_bytes() == s.to_bytes(), "session bytes do not round trip");
        return 0;
    }

    switch (data[0] & 3) {
        case 0:
            if (auto p = decode_policy(bytes)) {
                const std::string again = encode_policy(*p);
                auto twice = decode_policy(again);
                check(twice && encode_policy(*twice) == again, "policy bytes do not round trip");
                CoverageAccumulator acc(std::make_shared<const CoverageBasis>(*p, PolicyKey(again)));
                check(acc.add_traces(tools, 2).has_value(), "a fresh coverage count overflowed");
                (void)acc.report(50);
                // A policy whose argument constraints cannot be understood has no audit.
                if (auto basis = AuditBasis::create(*p, PolicyKey(again))) {
                    AuditAccumulator judged(std::move(*basis), 3);
                    check(judged.add_trace(tools, TraceRef{}).has_value(), "a fresh audit count overflowed");
                }
            }
            break;
        case 1:
            if (auto acc = CoverageAccumulator::from_bytes(coverage, bytes)) {
                check(acc->to_bytes() == bytes, "coverage bytes read as something else");
                // What cannot be counted is refused, and changes nothing.
                if (!acc->merge(*acc)) check(acc->to_bytes() == bytes, "a refused coverage merge changed the state");
                const std::string before = acc->to_bytes();
                if (!acc->add_traces(tools, 1)) check(acc->to_bytes() == before, "a refused coverage add changed the state");
                (void)acc->report(80);
            }
            break;
        case 2:
            if (auto acc = AuditAccumulator::from_bytes(audit, bytes)) {
                check(acc->to_bytes() == bytes, "audit bytes read as something else");
                if (!acc->merge(*acc)) check(acc->to_bytes() == bytes, "a refused audit merge changed the state");
                const std::string before = acc->to_bytes();
                if (!acc->add_trace(tools, TraceRef{TraceRef::Shape::text, "t", 0})) {
                    check(acc->to_bytes() == before, "a refused audit add changed the state");
                }
            }
            break;
        default:
            if (auto acc = DiffAccumulator::from_bytes(diff, bytes)) {
                check(acc->to_bytes() == bytes, "diff bytes read as something else");
                std::string listed;
                const DiffListingStyle style{"f", true, [](char32_t c) { return c < 0x80 || c % 2 == 0; }};
                for (const ChangedTrace& t : acc->changed()) append_changed_trace(listed, *diff, t, style);
                if (!acc->merge(*acc)) check(acc->to_bytes() == bytes, "a refused diff merge changed the state");
                const std::string before = acc->to_bytes();
                const std::vector<std::optional<Value>> no_arguments;
                if (!acc->add_trace(tools, no_arguments, TraceRef{TraceRef::Shape::text, "t", 0})) {
                    check(acc->to_bytes() == before, "a refused diff add changed the state");
                }
            }
    }
    return 0;
}
