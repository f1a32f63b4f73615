#include "language_reader.hpp"

#include <array>
#include <charconv>
#include <cmath>

#include "pattern_budget.hpp"
#include "yaml_scalar.hpp"

namespace ostik::loader {

namespace {

constexpr std::array<const char*, 3> ask_fields = {"tool", "args", "after"};
constexpr std::array<const char*, 4> limit_fields = {"tool", "max", "per", "repeat"};
constexpr std::array<const char*, 3> taint_fields = {"label", "result", "tool"};
constexpr std::array<const char*, 1> taint_result_fields = {"matches"};
constexpr std::array<const char*, 5> flow_fields = {"from", "to", "min_length", "args", "effect"};
constexpr std::array<const char*, 2> effect_values = {"block", "ask"};

// "60s", "1.5m", "2h": a positive number and its unit.
bool parse_duration(std::string_view text, double& seconds) {
    if (text.size() < 2) return false;
    double unit = 0;
    switch (text.back()) {
        case 's': unit = 1; break;
        case 'm': unit = 60; break;
        case 'h': unit = 3600; break;
        default: return false;
    }
    const std::string_view number = text.substr(0, text.size() - 1);
    double n = 0;
    const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), n);
    if (ec != std::errc{} || end != number.data() + number.size() || !std::isfinite(n) || n <= 0) return false;
    seconds = n * unit;
    return std::isfinite(seconds);
}

}  // namespace

bool LanguageReader::read_ask(std::size_t& pos, const Path& path, std::vector<AskEntry>& out) {
    out.clear();
    return in_.read_sequence(pos, path, [&](std::size_t& q, const Path& ip) {
        AskEntry e;
        if (!read_ask_entry(q, ip, e)) return false;
        out.push_back(std::move(e));
        return true;
    });
}

bool LanguageReader::read_limits(std::size_t& pos, const Path& path, std::vector<LimitEntry>& out) {
    out.clear();
    return in_.read_sequence(pos, path, [&](std::size_t& q, const Path& ip) {
        LimitEntry e;
        if (!read_limit_entry(q, ip, e)) return false;
        out.push_back(std::move(e));
        return true;
    });
}

bool LanguageReader::read_ask_entry(std::size_t& pos, const Path& path, AskEntry& out) {
    return in_.read_record(
        pos, path, "struct AskEntry", ask_fields,
        [&](std::size_t f, std::size_t& p, const Path& vp) {
            switch (f) {
                case 0: return read_names(p, vp, out.tools);
                case 1: {
                    std::unordered_map<std::string, Value> args;
                    if (!read_args(p, vp, args)) return false;
                    out.args = std::move(args);
                    return true;
                }
                default: {
                    NameList after;
                    if (!read_names(p, vp, after)) return false;
                    out.after = std::move(after);
                    return true;
                }
            }
        },
        [&](const std::vector<bool>& seen) { return seen[0] || in_.fail("missing field `tool`"); });
}

bool LanguageReader::read_limit_entry(std::size_t& pos, const Path& path, LimitEntry& out) {
    return in_.read_record(
        pos, path, "struct LimitEntry", limit_fields,
        [&](std::size_t f, std::size_t& p, const Path& vp) {
            std::uint64_t n = 0;
            switch (f) {
                case 0: return read_names(p, vp, out.tools);
                case 1:
                    if (!read_count(p, vp, n, 0)) return false;
                    out.max = n;
                    return true;
                case 2: {
                    double seconds = 0;
                    if (!read_duration(p, vp, seconds, out.per_text)) return false;
                    out.per = seconds;
                    return true;
                }
                default:
                    if (!read_count(p, vp, n, 2)) return false;
                    out.repeat = n;
                    return true;
            }
        },
        [&](const std::vector<bool>& seen) {
            if (!seen[1] && !seen[3]) return in_.fail("missing field `max` or `repeat`");
            if (seen[1] && seen[3]) return in_.fail("`max` and `repeat` cannot be given together (one limit each)");
            if (seen[2] && !seen[1]) return in_.fail("`per` needs `max` (at most `max` calls in any `per`)");
            return true;
        });
}

bool LanguageReader::read_labels(std::size_t& pos, const Path& path, AliasMap& out) {
    out.clear();
    return in_.read_name_list_map(pos, path, out);
}

bool LanguageReader::read_taint(std::size_t& pos, const Path& path, std::vector<TaintEntry>& out) {
    out.clear();
    return in_.read_sequence(pos, path, [&](std::size_t& q, const Path& ip) {
        TaintEntry e;
        if (!read_taint_entry(q, ip, e)) return false;
        out.push_back(std::move(e));
        return true;
    });
}

bool LanguageReader::read_flows(std::size_t& pos, const Path& path, std::vector<FlowEntry>& out) {
    out.clear();
    return in_.read_sequence(pos, path, [&](std::size_t& q, const Path& ip) {
        FlowEntry e;
        if (!read_flow_entry(q, ip, e)) return false;
        out.push_back(std::move(e));
        return true;
    });
}

bool LanguageReader::read_taint_entry(std::size_t& pos, const Path& path, TaintEntry& out) {
    return in_.read_record(
        pos, path, "struct TaintEntry", taint_fields,
        [&](std::size_t f, std::size_t& p, const Path& vp) {
            switch (f) {
                case 0: return in_.read_text(p, vp, out.label, "a label name");
                case 1: return read_taint_result(p, vp, out.matches);
                default: {
                    NameList tools;
                    if (!read_names(p, vp, tools)) return false;
                    out.tools = std::move(tools);
                    return true;
                }
            }
        },
        [&](const std::vector<bool>& seen) {
            if (!seen[0]) return in_.fail("missing field `label`");
            return seen[1] || in_.fail("missing field `result`");
        });
}

bool LanguageReader::read_taint_result(std::size_t& pos, const Path& path, std::string& matches) {
    return in_.read_record(
        pos, path, "struct TaintResult", taint_result_fields,
        [&](std::size_t, std::size_t& p, const Path& vp) {
            Event ev;
            if (!in_.peek(p, ev)) return false;
            const Mark mark = ev.mark;
            if (ev.kind == EventKind::sequence_start || ev.kind == EventKind::mapping_start) {
                ++p;
                in_.invalid_type(ev, "a regular expression");
                return in_.fix(mark, vp);
            }
            if (!in_.read_text(p, vp, matches, "a regular expression")) return false;
            if (auto compiled = detail::compile_pattern(matches); !compiled) {
                in_.fail(std::move(compiled.error()));
                return in_.fix(in_.resolved_mark(mark, p), vp);
            }
            return true;
        },
        [&](const std::vector<bool>& seen) { return seen[0] || in_.fail("missing field `matches`"); });
}

bool LanguageReader::read_flow_entry(std::size_t& pos, const Path& path, FlowEntry& out) {
    return in_.read_record(
        pos, path, "struct FlowEntry", flow_fields,
        [&](std::size_t f, std::size_t& p, const Path& vp) {
            std::uint64_t n = 0;
            switch (f) {
                case 0: return read_names(p, vp, out.from);
                case 1: return read_names(p, vp, out.to);
                case 2:
                    if (!read_count(p, vp, n, 1)) return false;
                    out.min_length = n;
                    return true;
                case 3: {
                    NameList args;
                    if (!read_names(p, vp, args)) return false;
                    out.args = std::move(args);
                    return true;
                }
                default: return read_effect(p, vp, out.ask);
            }
        },
        [&](const std::vector<bool>& seen) {
            if (!seen[0]) return in_.fail("missing field `from`");
            if (!seen[1]) return in_.fail("missing field `to`");
            if (seen[3] && !seen[2]) {
                return in_.fail("`args` needs `min_length` (the arguments a value of the results may not reach)");
            }
            return true;
        });
}

bool LanguageReader::read_effect(std::size_t& pos, const Path& path, bool& ask) {
    Event ev;
    if (!in_.peek(pos, ev)) return false;
    const Mark mark = ev.mark;
    if (ev.kind == EventKind::sequence_start || ev.kind == EventKind::mapping_start) {
        ++pos;
        in_.invalid_type(ev, "enum Effect");
        return in_.fix(mark, path);
    }
    std::string text;
    if (!in_.read_text(pos, path, text, "enum Effect")) return false;
    if (text == "block" || text == "ask") {
        ask = text == "ask";
        return true;
    }
    in_.fail("unknown variant `" + text + "`, expected " + name_list(effect_values));
    return in_.fix(in_.resolved_mark(mark, pos), path);
}

bool LanguageReader::read_names(std::size_t& pos, const Path& path, NameList& out) {
    Event ev;
    if (!in_.peek(pos, ev)) return false;
    out.clear();
    if (ev.kind == EventKind::sequence_start) {
        if (!in_.read_name_list(pos, path, out)) return false;
        if (out.empty()) {
            in_.fail("invalid length 0, expected a tool name or a non-empty list of names");
            return in_.fix(ev.mark, path);
        }
        return true;
    }
    std::string name;
    if (!in_.read_text(pos, path, name, "a tool name or a list of names")) return false;
    out.push_back(std::move(name));
    return true;
}

bool LanguageReader::read_count(std::size_t& pos, const Path& path, std::uint64_t& out, std::uint64_t least) {
    Event ev;
    if (!in_.next(pos, ev)) return false;
    const std::string expected = least ? "an integer of at least " + std::to_string(least) : "a non-negative integer";
    bool ok = false;
    if (ev.kind == EventKind::alias) {
        ok = in_.expand(ev, path, [&](std::size_t& p, const Path& ap) { return read_count(p, ap, out, least); });
    } else if (ev.kind == EventKind::scalar) {
        Scalar s;
        std::string tag_error;
        if (!yaml::resolve(ev, s, tag_error)) {
            ok = in_.fail(std::move(tag_error));
        } else if (s.kind == Scalar::Kind::uint && s.u >= least) {
            out = s.u;
            return true;
        } else if (s.kind == Scalar::Kind::uint || s.kind == Scalar::Kind::int_) {
            ok = in_.fail("invalid value: " + yaml::describe(s) + ", expected " + expected);
        } else {
            ok = in_.invalid_type(ev, expected.c_str());
        }
    } else {
        ok = in_.invalid_type(ev, expected.c_str());
    }
    return ok || in_.fix(ev.mark, path);
}

bool LanguageReader::read_duration(std::size_t& pos, const Path& path, double& seconds, std::string& text) {
    constexpr const char* expected = "a duration such as `30s`, `5m` or `1h`";
    Event ev;
    if (!in_.peek(pos, ev)) return false;
    const Mark mark = ev.mark;
    if (ev.kind == EventKind::sequence_start || ev.kind == EventKind::mapping_start) {
        ++pos;
        in_.invalid_type(ev, expected);
        return in_.fix(mark, path);
    }
    if (!in_.read_text(pos, path, text, expected)) return false;
    if (!parse_duration(text, seconds)) {
        in_.fail("invalid value: string " + yaml::quote_debug(text) + ", expected " + expected);
        return in_.fix(in_.resolved_mark(mark, pos), path);
    }
    return true;
}

bool LanguageReader::read_args(std::size_t& pos, const Path& path, std::unordered_map<std::string, Value>& out) {
    return in_.read_mapping(
        pos, path, "a map of argument names to constraints",
        [&](std::size_t& p, const Event& key_ev, const Path& mp) {
            std::string name;
            Value v;
            if (!in_.read_text(p, mp, name)) return false;
            if (!in_.read_value(p, mp.child(in_.value_key(key_ev)), v, marks_)) return false;
            out.insert_or_assign(std::move(name), std::move(v));
            return true;
        },
        [] { return true; });
}

}  // namespace ostik::loader
