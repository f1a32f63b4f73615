// Checks that a guard session shared by several threads decides their calls
// as one thread would decide the same calls in the order its lock let them
// in: every step is given to exactly one call, the counts are those of the
// calls made, and a max_calls rule allows exactly its limit of calls of its
// tool whichever threads make them. Threads that take the lock while another
// holds it must sleep and wake, not lose a call or enter one twice.
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "ostik/guard.hpp"
#include "ostik/policy_loader.hpp"

using namespace ostik;

namespace {

int failures = 0;

void check(bool ok, const std::string& what) {
    if (ok) return;
    ++failures;
    std::fprintf(stderr, "session_lock_equivalence: %s\n", what.c_str());
}

constexpr int threads = 8;
constexpr int calls_each = 20000;
constexpr std::uint32_t limited = 1000;  // calls of `limited` the policy allows

}  // namespace

int main() {
    auto policy = parse_policy("version: \"1\"\nsequences:\n  - {type: max_calls, tool: limited, max: 1000}\n");
    if (!policy) {
        std::fprintf(stderr, "session_lock_equivalence: the policy does not load\n");
        return 1;
    }
    auto guard = Guard::create(std::move(*policy));
    if (!guard) return 1;
    GuardSession session(std::make_shared<const Guard>(std::move(*guard)), nullptr, false);

    // By thread: the steps its allowed calls got, and its refused calls.
    std::vector<std::vector<std::uint64_t>> steps(threads);
    std::vector<int> refused(threads, 0);
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t) {
        running.emplace_back([&, t] {
            for (int i = 0; i < calls_each; ++i) {
                // Every thread calls the limited tool as often as the others.
                ToolCall call{i % 4 == 0 ? "limited" : "tool_" + std::to_string(t), std::nullopt};
                auto d = session.check(std::move(call));
                if (!d) continue;
                if (d->allowed()) steps[t].push_back(d->step());
                else ++refused[t];
            }
        });
    }
    for (std::thread& t : running) t.join();

    const std::uint64_t total = std::uint64_t{threads} * calls_each;
    std::vector<int> given(total, 0);
    std::uint64_t allowed = 0;
    int refusals = 0;
    for (int t = 0; t < threads; ++t) {
        refusals += refused[t];
        for (std::uint64_t s : steps[t]) {
            ++allowed;
            if (s < total) ++given[s];
            else check(false, "a step past the calls made: " + std::to_string(s));
        }
    }
    check(allowed + refusals == total, "every call was decided");
    check(refusals == static_cast<int>(total / 4 - limited), "the limited tool was allowed exactly its limit");
    check(session.steps() == allowed, "the session counts every allowed call once");
    check(session.refused() == static_cast<std::uint64_t>(refusals), "the session counts every refused call once");
    for (std::uint64_t s = 0; s < allowed; ++s) {
        if (given[s] != 1) {
            check(false, "step " + std::to_string(s) + " was given " + std::to_string(given[s]) + " times");
            break;
        }
    }
    if (failures == 0) std::printf("session_lock_equivalence: %d threads, %llu calls: ok\n", threads,
                                   static_cast<unsigned long long>(total));
    return failures == 0 ? 0 : 1;
}
