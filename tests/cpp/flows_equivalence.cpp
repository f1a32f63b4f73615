// Randomised checks of the flows' state (labels, taint, taint and value
// flows) on random policies, random calls and random recorded results, some
// of them past a small max_tracked_bytes:
//  1. an observing session decides every call as a TraceJudgement of the
//     same steps and results judges it offline: verdict, failures (rule ids,
//     explanations, contexts);
//  2. a session saved with to_bytes() and resumed midway, before or after a
//     result, decides the rest as the one that went on, and its bytes read
//     back to the same bytes;
//  3. a value flow blocks a call exactly when one of its strings shares a
//     run of min_length code points (after NFC) with one string of a result
//     of its `from` tool (a plain search over every pair of strings).
#include <cstdio>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "flow_index.hpp"
#include "ostik/guard.hpp"
#include "ostik/policy_loader.hpp"
#include "ostik/trace_judgement.hpp"
#include "check_failures.hpp"

using namespace ostik;

namespace {

// How many calls a flow refused or asked about, and how many the plain search blocked.
int flowed = 0;
int shared = 0;

const std::vector<std::string> tools = {"a", "b", "c", "d", "rx", "ry"};
// Few letters, so that runs repeat; a decomposed and a precomposed é, a
// combining mark on its own, a four-byte character, and what the taint finds.
const std::vector<std::string> letters = {"a", "b", " ", "é", "e\xCC\x81", "\xCC\x81", "\xF0\x9D\x84\x9E", "K1"};

std::string random_text(std::mt19937& rng, std::size_t most) {
    std::string s;
    for (std::size_t n = rng() % (most + 1); n > 0; --n) s += letters[rng() % letters.size()];
    return s;
}

std::string pick(std::mt19937& rng, const std::vector<std::string>& from) { return from[rng() % from.size()]; }

std::string random_policy(std::mt19937& rng) {
    std::string y = "version: \"1\"\nlabels:\n";
    y += "  src: [" + pick(rng, tools) + ", \"r*\"]\n";
    y += "  dst: [" + pick(rng, tools) + ", " + pick(rng, tools) + "]\n";
    if (rng() % 2) y += "taint:\n  - label: hot\n    result: {matches: 'K1K1'}\n";
    y += "flows:\n";
    const std::vector<std::string> from = {"src", "a", "b", "rx", y.find("hot") != std::string::npos ? "hot" : "c"};
    const std::vector<std::string> to = {"dst", "c", "d", "b"};
    for (int n = 1 + static_cast<int>(rng() % 3); n > 0; --n) {
        y += "  - {from: " + pick(rng, from) + ", to: " + pick(rng, to);
        if (rng() % 3) {
            y += ", min_length: " + std::to_string(1 + rng() % 8);
            if (rng() % 3 == 0) y += ", args: [x]";
        }
        if (rng() % 3 == 0) y += ", effect: ask";
        y += "}\n";
    }
    return y;
}

std::shared_ptr<const Guard> make_guard(const std::string& yaml, std::uint64_t bound) {
    auto policy = parse_policy(yaml, nullptr, nullptr, Language::whole);
    if (!policy) {
        fail("a drawn policy does not load: " + policy.error().message + "\n" + yaml);
        return nullptr;
    }
    auto guard = Guard::create(std::move(*policy));
    if (!guard) {
        fail("a drawn policy makes no guard:\n" + yaml);
        return nullptr;
    }
    guard->set_max_tracked_bytes(bound);
    return std::make_shared<const Guard>(std::move(*guard));
}

struct Step {
    std::string tool;
    std::optional<Value> args;
    std::optional<Value> result;
};

std::vector<Step> random_steps(std::mt19937& rng) {
    std::vector<Step> steps(rng() % 14);
    for (Step& s : steps) {
        s.tool = pick(rng, tools);
        if (rng() % 4) {
            Object o;
            o.set("x", Value(random_text(rng, 10)));
            if (rng() % 2) {
                Object inner;
                inner.set("z", Value(Array{Value(random_text(rng, 10)), Value(std::uint64_t{rng() % 9})}));
                o.set("y", Value(std::move(inner)));
            }
            s.args = Value(std::move(o));
        }
        if (rng() % 3) {
            if (rng() % 2) s.result = Value(random_text(rng, 40));
            else s.result = Value(Array{Value(random_text(rng, 20)), Value(random_text(rng, 20))});
        }
    }
    return steps;
}

std::string describe(const GuardDecision& d) {
    std::string out = verdict_name(d.verdict);
    for (const RuleEvaluation& f : d.failures) out += " [" + f.rule_id + ": " + f.explanation + "]";
    return out;
}

bool same(const GuardDecision& a, const GuardDecision& b) {
    return a.verdict == b.verdict && a.failures == b.failures;
}

// The decisions of an observing session over `steps`, resumed from its bytes
// before step `cut` (after the result of step cut - 1) when cut < size.
std::vector<GuardDecision> live(const std::shared_ptr<const Guard>& guard, const std::vector<Step>& steps,
                                std::size_t cut, const std::string& label) {
    std::vector<GuardDecision> out;
    auto session = std::make_unique<GuardSession>(guard, nullptr, false, GuardMode::observe);
    for (std::size_t i = 0; i < steps.size(); ++i) {
        if (i == cut) {
            const std::string bytes = session->to_bytes();
            auto back = GuardSession::from_bytes(guard, bytes, nullptr);
            if (!back) {
                fail(label + ": the session's bytes do not read back: " + back.error());
                return out;
            }
            if ((*back)->to_bytes() != bytes) fail(label + ": the session's bytes read back to other bytes");
            session = std::move(*back);
        }
        auto d = session->check(ToolCall{steps[i].tool, steps[i].args});
        if (!d) {
            fail(label + ": a check failed");
            return out;
        }
        out.push_back(d->record());
        if (steps[i].result && !session->record_result({std::nullopt, i}, *steps[i].result)) {
            fail(label + ": a result of a call that ran was refused");
        }
    }
    return out;
}

// The code points of `s` in NFC.
std::u32string code_points(std::string_view s) {
    std::string nfc;
    detail::append_nfc(nfc, s);
    std::u32string out;
    for (std::size_t i = 0; i < nfc.size();) {
        const auto c = static_cast<unsigned char>(nfc[i]);
        const std::size_t n = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        char32_t cp = n == 1 ? c : n == 2 ? c & 0x1F : n == 3 ? c & 0x0F : c & 0x07;
        for (std::size_t k = 1; k < n; ++k) cp = (cp << 6) | (static_cast<unsigned char>(nfc[i + k]) & 0x3F);
        out += cp;
        i += n;
    }
    return out;
}

void strings_of(const Value& v, std::vector<std::u32string>& out) {
    if (v.is<std::string>()) out.push_back(code_points(v.as<std::string>()));
    else if (v.is<Array>()) for (const Value& item : v.as<Array>()) strings_of(item, out);
    else if (v.is<Object>()) for (const Member& m : v.as<Object>()) strings_of(m.value, out);
}

bool shares_run(const std::u32string& sent, const std::u32string& result, std::size_t n) {
    for (std::size_t i = 0; i + n <= sent.size(); ++i) {
        if (result.find(sent.substr(i, n)) != std::u32string::npos) return true;
    }
    return false;
}

void brute_force(std::mt19937& rng, int round) {
    const std::size_t n = 1 + rng() % 8;
    const std::string yaml = "version: \"1\"\nflows:\n  - {from: a, to: b, min_length: " + std::to_string(n) + "}\n";
    const auto guard = make_guard(yaml, std::uint64_t{64} << 20);
    if (!guard) return;
    const std::vector<Step> steps = random_steps(rng);
    const std::size_t cut = rng() % (steps.size() + 1);
    const std::vector<GuardDecision> decisions = live(guard, steps, cut, "brute force " + std::to_string(round));
    std::vector<std::u32string> recorded;
    for (std::size_t i = 0; i < decisions.size(); ++i) {
        if (steps[i].tool == "b") {
            std::vector<std::u32string> sent;
            if (steps[i].args) strings_of(*steps[i].args, sent);
            bool expected = false;
            for (const auto& s : sent)
                for (const auto& r : recorded) expected = expected || shares_run(s, r, n);
            shared += expected;
            if (expected != (decisions[i].verdict == Verdict::blocked)) {
                fail("round " + std::to_string(round) + " step " + std::to_string(i) + ": min_length " +
                     std::to_string(n) + (expected ? ", a shared run missed" : ", blocked with no shared run") +
                     ": " + describe(decisions[i]));
            }
        }
        if (steps[i].tool == "a" && steps[i].result) strings_of(*steps[i].result, recorded);
    }
}

}  // namespace

int main() {
    std::mt19937 rng(20261209);
    int compared = 0;
    for (int round = 0; round < 1500; ++round) {
        const std::string yaml = random_policy(rng);
        const std::uint64_t bound = rng() % 4 == 0 ? rng() % 60 : std::uint64_t{64} << 20;
        const auto guard = make_guard(yaml, bound);
        if (!guard) continue;
        const std::vector<Step> steps = random_steps(rng);
        const std::string label = "round " + std::to_string(round) + "\n" + yaml;
        const std::vector<GuardDecision> straight = live(guard, steps, steps.size(), label);
        const std::size_t cut = steps.empty() ? 0 : rng() % steps.size();
        const std::vector<GuardDecision> resumed = live(guard, steps, cut, label);

        TraceJudgement judgement(guard);
        for (std::size_t i = 0; i < steps.size(); ++i) {
            judgement.add_step(steps[i].tool, steps[i].args);
            if (steps[i].result) judgement.add_result(i, *steps[i].result);
        }
        judgement.finish();
        if (straight.size() != steps.size() || resumed.size() != steps.size()) continue;
        for (std::size_t i = 0; i < steps.size(); ++i) {
            const GuardDecision offline = judgement.decision(i);
            if (!same(straight[i], offline)) {
                fail(label + "step " + std::to_string(i) + ": live " + describe(straight[i]) + ", offline " +
                     describe(offline));
            }
            if (!same(straight[i], resumed[i])) {
                fail(label + "step " + std::to_string(i) + " (resumed before " + std::to_string(cut) + "): " +
                     describe(resumed[i]) + ", not " + describe(straight[i]));
            }
            ++compared;
            for (const RuleEvaluation& f : offline.failures) flowed += f.rule_type == "flow";
        }
        brute_force(rng, round);
    }
    // Drawn cases that never meet a flow would prove nothing.
    if (flowed < 500 || shared < 100) fail("too few calls met a flow: " + std::to_string(flowed) + ", " + std::to_string(shared));
    if (failures) {
        std::fprintf(stderr, "flows_equivalence: %d failures\n", failures);
        return 1;
    }
    std::printf("flows_equivalence: %d decisions agree live, resumed and offline (%d flow failures, %d shared runs)\n",
                compared, flowed, shared);
    return 0;
}
