// Fuzzes policy loading from arbitrary bytes: the UTF-8 check of the file
// reader (against an independent validator), the file path itself (the bytes
// go through a memory file), and the parser on every input that is UTF-8.
// A loaded policy is then used the way the rest of the system uses one: rule
// ids built, the tool gate built and asked, the Values written as JSON, and a
// trace made of the policy's own names explained and measured, where the fast
// paths must agree with the plain ones (the JSON written while driving with
// the written records; the analyzer's summary with the explanation's ids).
// A guard is made from it, which either refuses its argument constraints with
// a message that loading with marks locates, or judges calls whose arguments
// are the policy's own constraint values, writing the same report both ways.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <memory>
#include <set>
#include <vector>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json_check.hpp"
#include "ostik/coverage.hpp"
#include "ostik/explain.hpp"
#include "ostik/explanation_report.hpp"
#include "ostik/guard.hpp"
#include "ostik/policy_encoding.hpp"
#include "ostik/json_writer.hpp"
#include "ostik/policy_loader.hpp"
#include "ostik/rule_ids.hpp"
#include "ostik/text.hpp"
#include "ostik/tool_gate.hpp"
#include "ostik/trace_judgement.hpp"

namespace {

using ostik::LoadError;
using ostik::Policy;

[[noreturn]] void fail(const char* what, std::string_view detail = {}) {
    std::fprintf(stderr, "policy check failed: %s\n  %.*s\n", what, static_cast<int>(detail.size()), detail.data());
    std::abort();
}

// The same bytes through the file reader, as Policy.from_file would see them.
std::expected<Policy, LoadError> load_through_file(std::string_view bytes) {
    const int fd = ::memfd_create("policy", MFD_CLOEXEC);
    if (fd < 0) fail("memfd_create");
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) fail("write to memory file");
        done += static_cast<std::size_t>(n);
    }
    auto result = ostik::load_policy_file("/proc/self/fd/" + std::to_string(fd));
    ::close(fd);
    return result;
}

void check_message(const std::string& message) {
    if (message.empty()) fail("empty error message");
    // Messages become Python str: they must be UTF-8 even when they quote input.
    if (!ostik::fuzz::utf8_well_formed(message)) fail("error message is not UTF-8", message);
    // Lines and columns count from 1 (the message may quote input that looks
    // like a position, so only a trailing position suffix is looked at).
    const std::size_t at = message.rfind(" at line ");
    if (at != std::string::npos) {
        unsigned long line = 0, column = 0;
        int used = 0;
        const std::string tail = message.substr(at);
        if (std::sscanf(tail.c_str(), " at line %lu column %lu%n", &line, &column, &used) == 2 &&
            static_cast<std::size_t>(used) == tail.size() && (line == 0 || column == 0))
            fail("position counted from 0", message);
    }
}

void check_value(const ostik::Value& v) {
    std::string out;
    ostik::json::write_value(out, v);
    ostik::fuzz::check_written(v, out);
}

void use_policy(const Policy& p) {
    for (const auto& rule : p.sequences) {
        const std::string id = ostik::rule_id_for(rule);
        if (!id.starts_with(ostik::kind_name(rule))) fail("rule id without its kind prefix", id);
        if (!ostik::fuzz::utf8_well_formed(id)) fail("rule id is not UTF-8", id);
    }
    if (p.metadata) check_value(*p.metadata);
    if (p.tools.arg_constraints) {
        for (const auto& [tool, args] : *p.tools.arg_constraints)
            for (const auto& [name, value] : args) check_value(value);
    }
    const ostik::ToolGate gate(p);
    if (p.tools.deny) {
        for (const auto& name : *p.tools.deny)
            if (gate.check(name) != ostik::ToolVerdict::denied) fail("a denied tool passes the gate", name);
    }
    if (p.tools.allow) {
        for (const auto& name : *p.tools.allow) (void)gate.check(name);
    }
    // A copy is a deep, independent value.
    Policy copy = p;
    copy.sequences.clear();
    copy.aliases.clear();
}

// Every name the policy mentions, plus names it does not.
std::vector<std::string> names_of(const Policy& p) {
    std::vector<std::string> names = {"unknown", "", "other"};
    auto add = [&](const std::string& n) { names.push_back(n); };
    if (p.tools.allow) for (const auto& n : *p.tools.allow) add(n);
    if (p.tools.deny) for (const auto& n : *p.tools.deny) add(n);
    if (p.tools.require_args) for (const auto& [n, _] : *p.tools.require_args) add(n);
    for (const auto& [alias, members] : p.aliases) {
        add(alias);
        for (const auto& m : members) add(m);
    }
    for (const auto& rule : p.sequences) {
        std::visit([&](const auto& r) {
            using R = std::decay_t<decltype(r)>;
            if constexpr (requires { r.tool; }) add(r.tool);
            if constexpr (requires { r.first; }) add(r.first);
            if constexpr (requires { r.then; }) add(r.then);
            if constexpr (requires { r.trigger; }) add(r.trigger);
            if constexpr (requires { r.forbidden; }) add(r.forbidden);
            if constexpr (std::is_same_v<R, ostik::rule::Sequence>) for (const auto& n : r.tools) add(n);
            if constexpr (std::is_same_v<R, ostik::rule::Blocklist>) add("x" + r.pattern + "x");
        }, rule);
    }
    return names;
}

void explain_and_measure(const Policy& p, std::uint64_t seed) {
    const std::vector<std::string> names = names_of(p);
    auto next = [&seed] {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        return seed >> 33;
    };
    std::vector<ostik::ToolCall> steps(next() % 24);
    for (auto& step : steps) {
        step.tool = names[next() % names.size()];
        if (next() % 3 == 0) step.args = ostik::Value{static_cast<std::uint64_t>(next())};
    }

    const ostik::TraceExplainer explainer(p);
    const ostik::TraceExplanation explanation = explainer.explain(steps);
    std::string records;
    ostik::write_report(records, explanation);
    const std::string direct = explainer.explain_json(steps);
    if (records != direct) fail("explain_json differs from the written explanation", direct);
    struct Pieces final : ostik::ReportSink {
        std::string text;
        void take(std::string_view piece) override { text += piece; }
    } pieces;
    std::string buffer = "leftover bytes from an earlier report";
    explainer.write_json(steps, explainer.outline_json(steps), buffer, pieces, 1 + next() % 512);
    if (pieces.text != direct) fail("the report written in pieces differs from explain_json");
    ostik::fuzz::check_report_text(direct);

    if (explanation.total_steps != steps.size() || explanation.steps.size() != steps.size() ||
        explanation.allowed_steps + explanation.blocked_steps != explanation.total_steps)
        fail("explanation totals do not add up", direct);
    std::optional<std::uint64_t> first_block;
    for (const auto& step : explanation.steps) {
        if (step.verdict == ostik::Verdict::blocked && !first_block) first_block = step.index;
        if (step.rules_evaluated.size() < p.sequences.size()) fail("a step lacks a rule's entry", direct);
    }
    if (first_block != explanation.first_block_index) fail("first_block_index is not the first blocked step", direct);
    const std::set<std::string> blocking(explanation.blocking_rules.begin(), explanation.blocking_rules.end());
    if (blocking.size() != explanation.blocking_rules.size()) fail("blocking_rules repeats an id", direct);

    const auto analyzer = ostik::CoverageAnalyzer::from_policy(p);
    const ostik::TraceSummarizer summarizer(p, analyzer);
    std::vector<std::string> tools;
    for (const auto& step : steps) tools.push_back(step.tool);
    std::vector<ostik::TraceSummary> summaries;
    summaries.push_back(summarizer.summarize(tools));
    summaries.push_back(summarizer.summarize({}));
    std::set<std::string> evaluated;
    for (const auto& step : explanation.steps)
        for (const auto& e : step.rules_evaluated) evaluated.insert(e.rule_id);
    const std::set<std::string> triggered(summaries[0].triggered_rules.begin(), summaries[0].triggered_rules.end());
    if (triggered != evaluated) fail("the summary's rule ids differ from the explanation's", direct);
    if (summaries[0].tools != tools || !summaries[1].tools.empty() || !summaries[1].triggered_rules.empty())
        fail("summary tools differ from the steps");

    static constexpr double thresholds[] = {0.0, 50.0, 100.0, -1.0, std::numeric_limits<double>::quiet_NaN(),
                                            std::numeric_limits<double>::infinity(), 1e300};
    const double threshold = thresholds[next() % std::size(thresholds)];
    const ostik::CoverageReport report = analyzer.analyze(summaries, threshold);
    if (report.meets_threshold != (report.overall_coverage_pct >= threshold))
        fail("meets_threshold disagrees with the percentages");
    if (report.rule_coverage.total_rules != p.sequences.size()) fail("total_rules is not the number of rules");
    std::string text;
    ostik::write_report(text, report);
    ostik::fuzz::check_report_text(text);
}

// Every value written in the policy's constraints, operands included.
void constraint_values(const ostik::Value& v, std::vector<const ostik::Value*>& out) {
    out.push_back(&v);
    if (v.is<ostik::Array>()) {
        for (const ostik::Value& item : v.as<ostik::Array>()) constraint_values(item, out);
    } else if (v.is<ostik::Object>()) {
        for (const ostik::Member& m : v.as<ostik::Object>()) constraint_values(m.value, out);
    }
}

void guard_arguments(std::string_view bytes, const Policy& p, std::uint64_t seed) {
    auto guard = ostik::Guard::create(Policy(p));
    if (!guard) {
        std::vector<ostik::NodeMark> marks;
        if (!ostik::parse_policy(bytes, nullptr, &marks)) fail("the policy does not load again with marks");
        const std::string text = guard.error().text();
        const std::string located = guard.error().located_text(marks);
        check_message(text);
        check_message(located);
        if (located.compare(0, text.size(), text) != 0) fail("the located message differs", located);
        return;
    }
    std::vector<std::string> tools{"unknown"};
    std::vector<std::string> args{"a"};
    std::vector<const ostik::Value*> values;
    if (p.tools.require_args) {
        for (const auto& [tool, names] : *p.tools.require_args) {
            tools.push_back(tool);
            args.insert(args.end(), names.begin(), names.end());
        }
    }
    if (p.tools.arg_constraints) {
        for (const auto& [tool, constraints] : *p.tools.arg_constraints) {
            tools.push_back(tool);
            for (const auto& [arg, value] : constraints) {
                args.push_back(arg);
                constraint_values(value, values);
            }
        }
    }
    for (const auto& [alias, members] : p.aliases) tools.insert(tools.end(), members.begin(), members.end());
    auto next = [&seed]() {
        seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
        return seed >> 33;
    };
    std::vector<ostik::ToolCall> steps(next() % 12);
    for (auto& step : steps) {
        step.tool = tools[next() % tools.size()];
        if (next() % 4 == 0) continue;
        ostik::Object object;
        for (auto n = next() % 4; n > 0; --n) {
            object.set(args[next() % args.size()],
                       values.empty() ? ostik::Value(std::uint64_t{next()}) : *values[next() % values.size()]);
        }
        step.args = ostik::Value(std::move(object));
    }
    std::string records;
    ostik::write_report(records, guard->explain(steps));
    const std::string direct = guard->explain_json(steps);
    if (records != direct) fail("the guard's explain_json differs from its written explanation", direct);
    ostik::fuzz::check_report_text(direct);
}

}  // namespace

// The whole language: a document of the specified one reads the same in it
// (with no ask or limit entries); one that loads makes a guard or a located
// error, and a session of it judges, asks, resolves, takes results and
// travels as bytes; an observing session decides as the offline judgement of
// the same steps and results.
void whole_language(std::string_view bytes, const std::expected<Policy, LoadError>& specified) {
    std::vector<ostik::NodeMark> marks;
    auto whole = ostik::parse_policy(bytes, nullptr, &marks, ostik::Language::whole);
    if (specified && !whole) fail("the whole language refuses a specified policy", whole.error().message);
    if (!whole) {
        check_message(whole.error().message);
        return;
    }
    if (specified && (!whole->ask.empty() || !whole->limits.empty())) fail("specified policy with entries");
    auto decoded = ostik::decode_policy(ostik::encode_policy(*whole));
    if (!decoded || ostik::encode_policy(*decoded) != ostik::encode_policy(*whole)) fail("entries lost in bytes");
    auto created = ostik::Guard::create(std::move(*whole));
    if (!created) {
        check_message(created.error().located_text(marks));
        return;
    }
    auto guard = std::make_shared<const ostik::Guard>(std::move(*created));
    ostik::GuardSession session(guard, nullptr, false);
    std::vector<std::string> tools = {"a", "b", "mcp__x__y", "git_push"};
    for (const auto& e : guard->policy().ask) tools.insert(tools.end(), e.tools.begin(), e.tools.end());
    for (const auto& e : guard->policy().limits) tools.insert(tools.end(), e.tools.begin(), e.tools.end());
    for (const auto& [label, members] : guard->policy().labels) tools.insert(tools.end(), members.begin(), members.end());
    for (const auto& f : guard->policy().flows) {
        tools.insert(tools.end(), f.from.begin(), f.from.end());
        tools.insert(tools.end(), f.to.begin(), f.to.end());
    }
    // Results and arguments hold the document's own text (valid UTF-8 here),
    // so that value flows find runs of it; a nested argument under each name
    // a flow restricts itself to.
    const ostik::Value result(std::string{bytes});
    ostik::Object object;
    object.set("text", ostik::Value(std::string{bytes.substr(0, std::min<std::size_t>(bytes.size(), 64))}));
    for (const auto& f : guard->policy().flows) {
        if (!f.args) continue;
        for (const auto& name : *f.args) object.set(name, ostik::Value(ostik::Array{result}));
    }
    const ostik::Value args(std::move(object));
    // Live, observing, and offline: the same steps and results, the same verdicts.
    ostik::GuardSession observed(guard, nullptr, false, ostik::GuardMode::observe);
    ostik::TraceJudgement judgement(guard);
    double now = 0;
    for (std::size_t i = 0; i < tools.size() * 3 && i < 64; ++i) {
        ostik::ToolCall call{tools[i % tools.size()], i % 3 ? std::optional<ostik::Value>(args) : std::nullopt};
        auto d = session.check(call, std::nullopt, now += 7);
        if (!d) fail("a check failed without a trace file");
        if (d->allowed() && i % 2) (void)session.record_result({std::nullopt, session.steps() - 1}, result);
        if (d->needs_approval() && d->call_id()) {
            (void)d->reason();
            (void)d->message();
            if (i % 2 == 0) (void)session.resolve(*d->call_id(), i % 4 == 0, std::string("r"), now);
        }
        auto o = observed.check(call, std::nullopt, now);
        if (!o) fail("an observing check failed without a trace file");
        judgement.add_step(call.tool, call.args, now);
        if (i % 2) {
            if (!observed.record_result({std::nullopt, i}, result)) fail("a result of an observed call was refused");
            judgement.add_result(i, result);
        }
        if (judgement.decision(i).verdict != o->verdict())
            fail("live and offline verdicts differ", std::string(o->reason()));
    }
    auto back = ostik::GuardSession::from_bytes(guard, session.to_bytes(), nullptr);
    if (!back || (*back)->to_bytes() != session.to_bytes()) fail("a session of the whole language does not round-trip");
    auto observed_back = ostik::GuardSession::from_bytes(guard, observed.to_bytes(), nullptr);
    if (!observed_back || (*observed_back)->to_bytes() != observed.to_bytes())
        fail("a session with results does not round-trip");
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const bool utf8 = ostik::fuzz::utf8_well_formed(bytes);
    if (ostik::is_valid_utf8(bytes) != utf8) fail(utf8 ? "valid UTF-8 refused" : "invalid UTF-8 accepted");

    auto from_file = load_through_file(bytes);
    if (!utf8) {
        if (from_file || from_file.error().kind != LoadError::Kind::read ||
            from_file.error().message != "stream did not contain valid UTF-8")
            fail("invalid UTF-8 not refused by the file reader");
        return 0;
    }

    auto parsed = ostik::parse_policy(bytes);
    if (parsed.has_value() != from_file.has_value()) fail("file reader and parser disagree");
    whole_language(bytes, parsed);
    if (!parsed) {
        if (parsed.error().kind != LoadError::Kind::parse) fail("parse failure not of the parse kind");
        if (parsed.error().message != from_file.error().message) fail("messages differ", parsed.error().message);
        check_message(parsed.error().message);
        return 0;
    }
    use_policy(*parsed);
    std::uint64_t seed = 1469598103934665603ULL;
    for (unsigned char c : bytes) seed = (seed ^ c) * 1099511628211ULL;
    explain_and_measure(*parsed, seed);
    guard_arguments(bytes, *parsed, seed);
    return 0;
}
