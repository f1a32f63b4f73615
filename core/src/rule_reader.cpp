#include "rule_reader.hpp"

#include <limits>

namespace ostik::loader {

const std::array<KindSpec, 8>& kind_specs() {
    using T = FieldSpec::Type;
    static const std::array<KindSpec, 8> specs = {{
        {"struct variant SequenceRule::Require", {{"tool", T::text, false}}},
        {"struct variant SequenceRule::Eventually", {{"tool", T::text, false}, {"within", T::u32, false}}},
        {"struct variant SequenceRule::MaxCalls", {{"tool", T::text, false}, {"max", T::u32, false}}},
        {"struct variant SequenceRule::Before", {{"first", T::text, false}, {"then", T::text, false}}},
        {"struct variant SequenceRule::After",
         {{"trigger", T::text, false}, {"then", T::text, false}, {"within", T::u32, true}}},
        {"struct variant SequenceRule::NeverAfter", {{"trigger", T::text, false}, {"forbidden", T::text, false}}},
        {"struct variant SequenceRule::Sequence", {{"tools", T::text_list, false}, {"strict", T::boolean, true}}},
        {"struct variant SequenceRule::Blocklist", {{"pattern", T::text, false}}},
    }};
    return specs;
}

bool RuleReader::read_tag(std::size_t& pos, const Path& path, std::size_t& kind) {
    std::string text;
    Event ev;
    if (!peek(pos, ev)) return false;
    const Mark mark = ev.mark;
    if (!read_text(pos, path, text, "variant identifier")) return false;
    for (std::size_t k = 0; k < tag_values.size(); ++k) {
        if (text == tag_values[k]) {
            kind = k;
            return true;
        }
    }
    fail("unknown variant `" + text + "`, expected " + name_list(tag_values));
    return fix(resolved_mark(mark, pos), path);
}

bool RuleReader::content_text(const Content& c, std::string& out) {
    if (c.kind != Content::Kind::string) return fail("invalid type: " + c.describe() + ", expected a string");
    out = c.text;
    return true;
}

bool RuleReader::content_u32(const Content& c, std::uint32_t& out) {
    switch (c.kind) {
        case Content::Kind::uint:
            if (c.scalar.u <= std::numeric_limits<std::uint32_t>::max()) {
                out = static_cast<std::uint32_t>(c.scalar.u);
                return true;
            }
            return fail("invalid value: " + c.describe() + ", expected u32");
        case Content::Kind::int_:
            if (c.scalar.i == 0) {
                out = 0;
                return true;
            }
            return fail("invalid value: " + c.describe() + ", expected u32");
        case Content::Kind::big: return fail("invalid value: " + c.describe() + ", expected u32");
        default: return fail("invalid type: " + c.describe() + ", expected u32");
    }
}

bool RuleReader::content_bool(const Content& c, bool& out) {
    if (c.kind != Content::Kind::boolean) return fail("invalid type: " + c.describe() + ", expected a boolean");
    out = c.scalar.b;
    return true;
}

bool RuleReader::content_text_list(const Content& c, NameList& out) {
    if (c.kind != Content::Kind::seq) return fail("invalid type: " + c.describe() + ", expected a sequence");
    out.clear();
    for (const Content& item : c.items) {
        std::string s;
        if (!content_text(item, s)) return false;
        out.push_back(std::move(s));
    }
    return true;
}

bool RuleReader::set_field(const FieldSpec& spec, std::size_t index, const Content& c, FieldSlots& slots) {
    switch (spec.type) {
        case FieldSpec::Type::text: return content_text(c, slots.text[index < 2 ? index : 1]);
        case FieldSpec::Type::u32: return content_u32(c, slots.number);
        case FieldSpec::Type::boolean: return content_bool(c, slots.flag);
        case FieldSpec::Type::text_list: return content_text_list(c, slots.list);
    }
    return false;
}

SequenceRule RuleReader::build_rule(std::size_t kind, FieldSlots& s) {
    switch (kind) {
        case 0: return rule::Require{std::move(s.text[0])};
        case 1: return rule::Eventually{std::move(s.text[0]), s.number};
        case 2: return rule::MaxCalls{std::move(s.text[0]), s.number};
        case 3: return rule::Before{std::move(s.text[0]), std::move(s.text[1])};
        case 4: return rule::After{std::move(s.text[0]), std::move(s.text[1]), s.number};
        case 5: return rule::NeverAfter{std::move(s.text[0]), std::move(s.text[1])};
        case 6: return rule::Sequence{std::move(s.list), s.flag};
        default: return rule::Blocklist{std::move(s.text[0])};
    }
}

RuleReader::FieldSlots RuleReader::defaults() {
    FieldSlots s;
    s.number = 1;  // After.within
    return s;
}

std::size_t RuleReader::field_of(const KindSpec& spec, const Content& key) {
    if (key.kind == Content::Kind::string) {
        for (std::size_t f = 0; f < spec.fields.size(); ++f) {
            if (key.text == spec.fields[f].name) return f;
        }
    } else if (key.kind == Content::Kind::uint) {
        // A field may also be named by its position.
        if (key.scalar.u < spec.fields.size()) return static_cast<std::size_t>(key.scalar.u);
    }
    return spec.fields.size();
}

bool RuleReader::is_field_identifier(const Content& key) {
    return key.kind == Content::Kind::string || key.kind == Content::Kind::uint;
}

bool RuleReader::check_deferred(std::size_t kind, std::vector<RuleEntry>& entries) {
    const KindSpec& spec = kind_specs()[kind];
    for (RuleEntry& e : entries) {
        if (e.deferred && field_of(spec, e.key) != spec.fields.size()) {
            err_ = std::move(*e.deferred);
            return false;
        }
    }
    return true;
}

bool RuleReader::rule_from_map(std::size_t kind, const std::vector<RuleEntry>& entries, SequenceRule& out) {
    const KindSpec& spec = kind_specs()[kind];
    FieldSlots slots = defaults();
    bool seen[3] = {false, false, false};
    for (const RuleEntry& e : entries) {
        if (!is_field_identifier(e.key)) {
            return fail("invalid type: " + e.key.describe() + ", expected field identifier");
        }
        const std::size_t field = field_of(spec, e.key);
        if (field == spec.fields.size()) {  // unknown keys of a rule are dropped
            if (ignored_) {
                ignored_->push_back(IgnoredKey{rule_index_, std::string(e.written), e.mark.line + 1, e.mark.column + 1});
            }
            continue;
        }
        if (seen[field]) return fail(std::string("duplicate field `") + spec.fields[field].name + "`");
        seen[field] = true;
        if (!set_field(spec.fields[field], field, e.value, slots)) return false;
    }
    for (std::size_t f = 0; f < spec.fields.size(); ++f) {
        if (!seen[f] && !spec.fields[f].has_default) {
            return fail(std::string("missing field `") + spec.fields[f].name + "`");
        }
    }
    out = build_rule(kind, slots);
    return true;
}

bool RuleReader::rule_from_items(std::size_t kind, const std::vector<Content>& items, SequenceRule& out) {
    const KindSpec& spec = kind_specs()[kind];
    const std::size_t n = spec.fields.size();
    FieldSlots slots = defaults();
    for (std::size_t f = 0; f < n; ++f) {
        if (f >= items.size()) {
            if (spec.fields[f].has_default) continue;
            return fail("invalid length " + std::to_string(f) + ", expected " + spec.struct_text + " with " +
                        std::to_string(n) + (n == 1 ? " element" : " elements"));
        }
        if (!set_field(spec.fields[f], f, items[f], slots)) return false;
    }
    if (items.size() > n) {
        return fail("invalid length " + std::to_string(items.size()) + ", expected " + std::to_string(n) +
                    (n == 1 ? " element in sequence" : " elements in sequence"));
    }
    out = build_rule(kind, slots);
    return true;
}

bool RuleReader::read_rule(std::size_t& pos, const Path& path, SequenceRule& out) {
    Event ev;
    if (!next(pos, ev)) return false;
    bool ok = true;
    switch (ev.kind) {
        case EventKind::alias:
            ok = expand(ev, path, [&](std::size_t& p, const Path& ap) { return read_rule(p, ap, out); });
            break;
        case EventKind::mapping_start: {
            // The whole rule is buffered first; the tag is checked where it stands.
            std::optional<std::size_t> kind;
            std::vector<RuleEntry> entries;
            ok = nested(pos, ev, [&](std::size_t& p, const Event& key_ev, std::size_t) {
                RuleEntry entry;
                entry.written = written_text(key_ev);
                entry.mark = key_ev.mark;
                if (!read_content(p, path, entry.key)) return false;
                const Path value_path = path.child(value_key(key_ev));
                if (entry.key.kind == Content::Kind::string && entry.key.text == "type") {
                    if (kind) return fail("duplicate field `type`");
                    std::size_t k = 0;
                    if (!read_tag(p, value_path, k)) return false;
                    kind = k;
                    return check_deferred(k, entries);
                }
                // A field of a known kind is checked as it is read; any
                // other value may turn out to be ignored.
                const bool field =
                    kind && field_of(kind_specs()[*kind], entry.key) != kind_specs()[*kind].fields.size();
                if (!read_content(p, value_path, entry.value, field ? nullptr : &entry.deferred)) return false;
                entries.push_back(std::move(entry));
                return true;
            });
            if (ok) ok = kind ? rule_from_map(*kind, entries, out) : fail("missing field `type`");
            break;
        }
        case EventKind::sequence_start: {
            // The first item is the tag, the rest are the kind's fields in order.
            std::optional<std::size_t> kind;
            std::vector<Content> items;
            ok = nested(pos, ev, [&](std::size_t& p, const Event&, std::size_t i) {
                if (i == 0) {
                    std::size_t k = 0;
                    if (!read_tag(p, path.child(i), k)) return false;
                    kind = k;
                    return true;
                }
                items.emplace_back();
                return read_content(p, path.child(i), items.back());
            });
            if (ok) ok = kind ? rule_from_items(*kind, items, out) : fail("missing field `type`");
            break;
        }
        default:
            ok = invalid_type(ev, "internally tagged enum SequenceRule");
    }
    return ok || fix(ev.mark, path);
}

}  // namespace ostik::loader
