// Randomised checks of the loader's compact event storage: every event reads
// back exactly as it was stored (kind, tag, plain flag, text, alias target,
// children, and the full position, including positions past 32 bits and
// those at line 1 column 1 that carry an offset), across several storage
// blocks, and still does after the records behind a reader were released.
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "yaml_events.hpp"
#include "check_failures.hpp"

using namespace ostik::yaml;

namespace {

struct Stored {
    EventKind kind;
    bool plain = false;
    Tag tag = Tag::none;
    std::string value;
    std::size_t target = 0;
    std::size_t children = 0;
    Mark mark;
};

bool same(const Event& e, const Stored& s) {
    return e.kind == s.kind && e.plain == s.plain && e.tag == s.tag && e.value == s.value && e.target == s.target &&
           e.children == s.children && e.mark.line == s.mark.line && e.mark.column == s.mark.column &&
           // Past line 1 column 1 no message shows the offset, so it need not be kept.
           (s.mark.line != 0 || s.mark.column != 0 || e.mark.index == s.mark.index);
}

Mark random_mark(std::mt19937_64& rng) {
    switch (rng() % 8) {
        case 0: return Mark{rng() % 10, 0, 0};                        // line 1 column 1, with or without an offset
        case 1: return Mark{rng(), (std::size_t(1) << 32) + rng() % 5, rng() % 100};  // a line past 32 bits
        case 2: return Mark{rng(), rng() % 100, 0xffffffffull + rng() % 3};           // a column at and past it
        case 3: return Mark{rng(), 0xffffffffull, 0xffffffffull};
        default: return Mark{rng(), rng() % 5000000, rng() % 200};
    }
}

std::string random_text(std::mt19937_64& rng) {
    static const std::size_t lengths[] = {0, 1, 7, 254, 255, 256, 4000};
    std::string s(lengths[rng() % 7], 'x');
    for (char& c : s) c = static_cast<char>(rng() % 256);
    return s;
}

// Aliases refer to events from `anchors_from` on, so that a release has
// something before them to free.
void check_round(std::mt19937_64& rng, std::size_t count, std::size_t step, std::size_t anchors_from) {
    std::vector<Stored> expected;
    EventLog log(1000);
    std::vector<std::size_t> open;
    for (std::size_t i = 0; i < count; ++i) {
        Stored s;
        s.mark = random_mark(rng);
        const unsigned pick = static_cast<unsigned>(rng() % 10);
        if (pick < 5 || (pick >= 8 && open.empty())) {
            s.kind = EventKind::scalar;
            s.tag = static_cast<Tag>(rng() % 8);
            s.plain = rng() % 2 == 0;
            s.value = random_text(rng);
            log.push_scalar(s.mark, s.value, s.tag, s.plain);
        } else if (pick == 5 && i > anchors_from) {
            s.kind = EventKind::alias;
            s.target = anchors_from + rng() % (i - anchors_from);
            log.push_alias(s.mark, s.target);
        } else if (pick < 8 && open.size() < 100) {
            s.kind = rng() % 2 ? EventKind::sequence_start : EventKind::mapping_start;
            open.push_back(i);
            log.push(s.mark, s.kind);
        } else if (!open.empty()) {
            Stored& start = expected[open.back()];
            s.kind = start.kind == EventKind::sequence_start ? EventKind::sequence_end : EventKind::mapping_end;
            start.children = rng() % 100000;
            log.set_children(open.back(), start.children);
            open.pop_back();
            log.push(s.mark, s.kind);
        } else {
            s.kind = EventKind::void_;
            log.push(s.mark, s.kind);
        }
        expected.push_back(std::move(s));
    }
    if (log.size() != expected.size()) fail("size");
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (!same(log[i], expected[i])) fail("event " + std::to_string(i) + " of " + std::to_string(count));
    }
    // A reader walking forward, releasing as it goes, still finds every
    // event ahead of it and every event an alias refers to.
    std::size_t first_target = expected.size();
    for (const Stored& s : expected) {
        if (s.kind == EventKind::alias && s.target < first_target) first_target = s.target;
    }
    for (std::size_t pos = 0; pos < expected.size(); pos += step) {
        log.release_before(pos);
        for (std::size_t j = pos; j < std::min(expected.size(), pos + step); ++j) {
            if (!same(log[j], expected[j])) fail("after release, event " + std::to_string(j));
        }
        for (std::size_t j = first_target; j < pos && j < first_target + 3; ++j) {
            if (!same(log[j], expected[j])) fail("after release, alias target " + std::to_string(j));
        }
    }
}

}  // namespace

int main() {
    std::mt19937_64 rng(20240611);
    for (int round = 0; round < 20; ++round) check_round(rng, 1 + rng() % 3000, 1 + rng() % 50, 0);
    // Past several storage blocks.
    for (int round = 0; round < 4; ++round) {
        const std::size_t count = 200000 + rng() % 100000;
        check_round(rng, count, 1 + rng() % 70000, round == 0 ? 0 : rng() % count);
    }
    if (failures) {
        std::fprintf(stderr, "%d failures\n", failures);
        return 1;
    }
    std::printf("ok: event log round trips\n");
    return 0;
}
