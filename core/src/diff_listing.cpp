#include "ostik/diff_listing.hpp"

#include <charconv>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace ostik {

namespace {

void append_number(std::string& out, std::uint64_t n) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, n).ptr;
    out.append(digits, end);
}

void append_escape(std::string& out, char32_t c) {
    static constexpr char hex[] = "0123456789abcdef";
    const int digits = c <= 0xFFFF ? 4 : 8;
    out += '\\';
    out += digits == 4 ? 'u' : 'U';
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out += hex[(c >> shift) & 0xF];
}

// The code point at `i` and its length in bytes, or nothing for a byte that begins none.
std::optional<std::pair<char32_t, std::size_t>> code_point(std::string_view s, std::size_t i) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    std::size_t n = 0;
    char32_t c = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        n = 2, c = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        n = 3, c = b0 & 0x0F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        n = 4, c = b0 & 0x07;
    } else {
        return std::nullopt;
    }
    if (i + n > s.size()) return std::nullopt;
    for (std::size_t k = 1; k < n; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) return std::nullopt;
        c = (c << 6) | (b & 0x3F);
    }
    if ((n == 3 && c < 0x800) || (n == 4 && (c < 0x10000 || c > 0x10FFFF))) return std::nullopt;
    return std::pair{c, n};
}

void paint(std::string& out, bool colour, std::string_view code, std::string_view text) {
    if (!colour) {
        out += text;
        return;
    }
    out += "\x1b[";
    out += code;
    out += 'm';
    out += text;
    out += "\x1b[0m";
}

void append_plural(std::string& out, std::uint64_t count, std::string_view word) {
    append_number(out, count);
    out += ' ';
    out += word;
    if (count != 1) out += 's';
}

// Increasing step indices as runs, "5, 7-9, 12", the first eight runs only, then "...".
void append_step_ranges(std::string& out, std::span<const std::uint64_t> steps) {
    constexpr std::size_t limit = 8;
    std::size_t runs = 0;
    for (std::size_t i = 0; i < steps.size();) {
        if (runs > 0) out += ", ";
        if (runs == limit) {
            out += "...";
            break;
        }
        std::size_t end = i + 1;
        while (end < steps.size() && steps[end] == steps[end - 1] + 1) ++end;
        append_number(out, steps[i]);
        if (end > i + 1) {
            out += '-';
            append_number(out, steps[end - 1]);
        }
        ++runs;
        i = end;
    }
}

void append_place(std::string& out, const TraceRef& ref, const DiffListingStyle& style) {
    switch (ref.shape) {
        case TraceRef::Shape::text_number:
            append_shown(out, ref.text, style.shown);
            out += ':';
            append_number(out, ref.number);
            return;
        case TraceRef::Shape::text: {
            const std::string_view text = ref.text, file = style.file;
            append_shown(out, file, style.shown);
            if (text == file) return;
            out += ": ";
            // A label "file: place" shows its place after the file's name once.
            const bool labelled = text.size() >= file.size() + 2 && text.starts_with(file) &&
                                  text.substr(file.size(), 2) == ": ";
            append_shown(out, labelled ? text.substr(file.size() + 2) : text, style.shown);
            return;
        }
        case TraceRef::Shape::number:
            append_shown(out, style.file, style.shown);
            out += ": trace ";
            append_number(out, ref.number);
            return;
    }
}

void append_decision(std::string& out, const DiffBasis& basis, const DiffDecision& d, ShownAsItself shown) {
    if (!d.rule) {
        out += "allowed";
        return;
    }
    out += d.asked ? "asked by " : "blocked by ";
    append_shown(out, basis.id(*d.rule), shown);
    out += ": ";
    append_shown(out, d.reason, shown);
}

void append_end(std::string& out, const DiffBasis& basis, const EndFailure* failure, ShownAsItself shown) {
    if (!failure) {
        out += "passed";
        return;
    }
    append_shown(out, basis.id(failure->rule), shown);
    out += ": ";
    append_shown(out, failure->reason, shown);
}

// The end-of-trace checks failed under one policy and not the other, by rule
// id: (the old failure, the new failure), one of them missing, the old
// policy's first, each in order of its id's first failure. Of the failures of
// one id (rules may share one), the last is shown.
std::vector<std::pair<const EndFailure*, const EndFailure*>> end_changes(const ChangedTrace& trace) {
    auto last_of = [](const std::vector<EndFailure>& ends, std::size_t rule) {
        const EndFailure* found = nullptr;
        for (const EndFailure& e : ends) {
            if (e.rule == rule) found = &e;
        }
        return found;
    };
    auto first_at = [](const std::vector<EndFailure>& ends, std::size_t i) {
        for (std::size_t k = 0; k < i; ++k) {
            if (ends[k].rule == ends[i].rule) return false;
        }
        return true;
    };
    std::vector<std::pair<const EndFailure*, const EndFailure*>> changes;
    for (std::size_t i = 0; i < trace.end_before.size(); ++i) {
        const std::size_t rule = trace.end_before[i].rule;
        if (first_at(trace.end_before, i) && !last_of(trace.end_after, rule)) {
            changes.emplace_back(last_of(trace.end_before, rule), nullptr);
        }
    }
    for (std::size_t i = 0; i < trace.end_after.size(); ++i) {
        const std::size_t rule = trace.end_after[i].rule;
        if (first_at(trace.end_after, i) && !last_of(trace.end_before, rule)) {
            changes.emplace_back(nullptr, last_of(trace.end_after, rule));
        }
    }
    return changes;
}

}  // namespace

void append_shown(std::string& out, std::string_view text, ShownAsItself shown) {
    std::size_t i = 0;
    while (i < text.size()) {
        // Printable ASCII, most of any text, in runs.
        std::size_t run = i;
        while (run < text.size() && text[run] >= 0x20 && text[run] < 0x7F) ++run;
        out.append(text.data() + i, run - i);
        i = run;
        if (i == text.size()) break;
        const auto b = static_cast<unsigned char>(text[i]);
        if (b < 0x80) {
            append_escape(out, b);
            ++i;
            continue;
        }
        const auto cp = code_point(text, i);
        if (!cp) {
            append_escape(out, b);
            ++i;
            continue;
        }
        if (shown(cp->first)) {
            out.append(text.data() + i, cp->second);
        } else {
            append_escape(out, cp->first);
        }
        i += cp->second;
    }
}

void append_changed_trace(std::string& out, const DiffBasis& basis, const ChangedTrace& trace,
                          const DiffListingStyle& style) {
    append_place(out, trace.ref, style);
    out += ": ";
    const std::string_view change = trace.passed_before ? (trace.passed_after ? "pass → pass" : "pass → fail")
                                                        : (trace.passed_after ? "fail → pass" : "fail → fail");
    // Newly failing in red, passing in green, failing under both in yellow.
    const std::string_view code = trace.passed_before && !trace.passed_after ? "1;31"
                                  : trace.passed_after                      ? "32"
                                                                            : "33";
    paint(out, style.colour, code, change);
    std::uint64_t changed_steps = 0;
    for (const StepChange& c : trace.changes) changed_steps += 1 + c.later_steps.size();
    out += " (";
    append_number(out, changed_steps);
    out += " of ";
    append_plural(out, trace.steps, "step");
    out += " change)";
    for (const StepChange& c : trace.changes) {
        out += "\n  step ";
        append_number(out, c.step);
        out += ' ';
        append_shown(out, c.tool, style.shown);
        out += ": ";
        append_decision(out, basis, c.before, style.shown);
        out += " → ";
        append_decision(out, basis, c.after, style.shown);
        if (!c.later_steps.empty()) {
            std::string later = "and at ";
            append_plural(later, c.later_steps.size(), "later step");
            later += ": ";
            append_step_ranges(later, c.later_steps);
            out += "\n    ";
            paint(out, style.colour, "2", later);
        }
    }
    for (const auto& [before, after] : end_changes(trace)) {
        out += "\n  end of trace: ";
        append_end(out, basis, before, style.shown);
        out += " → ";
        append_end(out, basis, after, style.shown);
    }
}

}  // namespace ostik
