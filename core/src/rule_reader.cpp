#include "rule_reader.hpp"

#include <limits>

namespace ostik::loader {

namespace {

const std::vector<KindSpec>& kind_specs() {
    using T = FieldSpec::Type;
    using K = RuleKind;
    static const std::vector<KindSpec> specs = {
        {K::require, "require", "struct variant SequenceRule::Require", {{"tool", T::text, false}}},
        {K::eventually, "eventually", "struct variant SequenceRule::Eventually",
         {{"tool", T::text, false}, {"within", T::u32, false}}},
        {K::max_calls, "max_calls", "struct variant SequenceRule::MaxCalls",
         {{"tool", T::text, false}, {"max", T::u32, false}}},
        {K::before, "before", "struct variant SequenceRule::Before",
         {{"first", T::text, false}, {"then", T::text, false}}},
        {K::after, "after", "struct variant SequenceRule::After",
         {{"trigger", T::text, false}, {"then", T::text, false}, {"within", T::u32, true}}},
        {K::never_after, "never_after", "struct variant SequenceRule::NeverAfter",
         {{"trigger", T::text, false}, {"forbidden", T::text, false}}},
        {K::sequence, "sequence", "struct variant SequenceRule::Sequence",
         {{"tools", T::text_list, false}, {"strict", T::boolean, true}}},
        {K::blocklist, "blocklist", "struct variant SequenceRule::Blocklist", {{"pattern", T::text, false}}},
    };
    return specs;
}

// The values `type` takes, for the message about any other.
const std::vector<const char*>& tags() {
    static const std::vector<const char*> names = [] {
        std::vector<const char*> out;
        for (const KindSpec& spec : kind_specs()) out.push_back(spec.tag);
        return out;
    }();
    return names;
}

}  // namespace

bool RuleReader::read_tag(std::size_t& pos, const Path& path, const KindSpec*& kind) {
    std::string text;
    Event ev;
    if (!in_.peek(pos, ev)) return false;
    const Mark mark = ev.mark;
    if (!in_.read_text(pos, path, text, "variant identifier")) return false;
    for (const KindSpec& spec : kind_specs()) {
        if (text == spec.tag) {
            kind = &spec;
            return true;
        }
    }
    in_.fail("unknown variant `" + text + "`, expected " + name_list(tags()));
    return in_.fix(in_.resolved_mark(mark, pos), path);
}

bool RuleReader::content_text(const Content& c, std::string& out) {
    if (c.kind != Content::Kind::string) return in_.fail("invalid type: " + c.describe() + ", expected a string");
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
            return in_.fail("invalid value: " + c.describe() + ", expected u32");
        case Content::Kind::int_:
            if (c.scalar.i == 0) {
                out = 0;
                return true;
            }
            return in_.fail("invalid value: " + c.describe() + ", expected u32");
        case Content::Kind::big: return in_.fail("invalid value: " + c.describe() + ", expected u32");
        default: return in_.fail("invalid type: " + c.describe() + ", expected u32");
    }
}

bool RuleReader::content_bool(const Content& c, bool& out) {
    if (c.kind != Content::Kind::boolean) return in_.fail("invalid type: " + c.describe() + ", expected a boolean");
    out = c.scalar.b;
    return true;
}

bool RuleReader::content_text_list(const Content& c, NameList& out) {
    if (c.kind != Content::Kind::seq) return in_.fail("invalid type: " + c.describe() + ", expected a sequence");
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

SequenceRule RuleReader::build_rule(RuleKind kind, FieldSlots& s) {
    switch (kind) {
        case RuleKind::require: return rule::Require{std::move(s.text[0])};
        case RuleKind::eventually: return rule::Eventually{std::move(s.text[0]), s.number};
        case RuleKind::max_calls: return rule::MaxCalls{std::move(s.text[0]), s.number};
        case RuleKind::before: return rule::Before{std::move(s.text[0]), std::move(s.text[1])};
        case RuleKind::after: return rule::After{std::move(s.text[0]), std::move(s.text[1]), s.number};
        case RuleKind::never_after: return rule::NeverAfter{std::move(s.text[0]), std::move(s.text[1])};
        case RuleKind::sequence: return rule::Sequence{std::move(s.list), s.flag};
        case RuleKind::blocklist: break;
    }
    return rule::Blocklist{std::move(s.text[0])};
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

bool RuleReader::check_deferred(const KindSpec& spec, std::vector<RuleEntry>& entries) {
    for (RuleEntry& e : entries) {
        if (e.deferred && field_of(spec, e.key) != spec.fields.size()) return in_.fail(std::move(*e.deferred));
    }
    return true;
}

bool RuleReader::rule_from_map(const KindSpec& spec, const std::vector<RuleEntry>& entries, std::size_t index,
                               SequenceRule& out) {
    FieldSlots slots = defaults();
    bool seen[3] = {false, false, false};
    for (const RuleEntry& e : entries) {
        if (!is_field_identifier(e.key)) {
            return in_.fail("invalid type: " + e.key.describe() + ", expected field identifier");
        }
        const std::size_t field = field_of(spec, e.key);
        if (field == spec.fields.size()) {  // unknown keys of a rule are dropped
            if (ignored_) {
                ignored_->push_back(IgnoredKey{index, std::string(e.written), e.mark.line + 1, e.mark.column + 1});
            }
            continue;
        }
        if (seen[field]) return in_.fail(std::string("duplicate field `") + spec.fields[field].name + "`");
        seen[field] = true;
        if (!set_field(spec.fields[field], field, e.value, slots)) return false;
    }
    for (std::size_t f = 0; f < spec.fields.size(); ++f) {
        if (!seen[f] && !spec.fields[f].has_default) {
            return in_.fail(std::string("missing field `") + spec.fields[f].name + "`");
        }
    }
    out = build_rule(spec.kind, slots);
    return true;
}

bool RuleReader::rule_from_items(const KindSpec& spec, const std::vector<Content>& items, SequenceRule& out) {
    const std::size_t n = spec.fields.size();
    FieldSlots slots = defaults();
    for (std::size_t f = 0; f < n; ++f) {
        if (f >= items.size()) {
            if (spec.fields[f].has_default) continue;
            return in_.fail("invalid length " + std::to_string(f) + ", expected " + spec.struct_text + " with " +
                        std::to_string(n) + (n == 1 ? " element" : " elements"));
        }
        if (!set_field(spec.fields[f], f, items[f], slots)) return false;
    }
    if (items.size() > n) {
        return in_.fail("invalid length " + std::to_string(items.size()) + ", expected " + std::to_string(n) +
                    (n == 1 ? " element in sequence" : " elements in sequence"));
    }
    out = build_rule(spec.kind, slots);
    return true;
}

bool RuleReader::read_rule(std::size_t& pos, const Path& path, std::size_t index, SequenceRule& out) {
    Event ev;
    if (!in_.next(pos, ev)) return false;
    bool ok = true;
    switch (ev.kind) {
        case EventKind::alias:
            ok = in_.expand(ev, path, [&](std::size_t& p, const Path& ap) { return read_rule(p, ap, index, out); });
            break;
        case EventKind::mapping_start: {
            // The whole rule is buffered first; the tag is checked where it stands.
            const KindSpec* kind = nullptr;
            std::vector<RuleEntry> entries;
            ok = in_.nested(pos, ev, [&](std::size_t& p, const Event& key_ev, std::size_t) {
                RuleEntry entry;
                entry.written = in_.written_text(key_ev);
                entry.mark = key_ev.mark;
                if (!in_.read_content(p, path, entry.key)) return false;
                const Path value_path = path.child(in_.value_key(key_ev));
                if (entry.key.kind == Content::Kind::string && entry.key.text == "type") {
                    if (kind) return in_.fail("duplicate field `type`");
                    return read_tag(p, value_path, kind) && check_deferred(*kind, entries);
                }
                // A field of a known kind is checked as it is read; any
                // other value may turn out to be ignored.
                const bool field = kind && field_of(*kind, entry.key) != kind->fields.size();
                if (!in_.read_content(p, value_path, entry.value, field ? nullptr : &entry.deferred)) return false;
                entries.push_back(std::move(entry));
                return true;
            });
            if (ok) ok = kind ? rule_from_map(*kind, entries, index, out) : in_.fail("missing field `type`");
            break;
        }
        case EventKind::sequence_start: {
            // The first item is the tag, the rest are the kind's fields in order.
            const KindSpec* kind = nullptr;
            std::vector<Content> items;
            ok = in_.nested(pos, ev, [&](std::size_t& p, const Event&, std::size_t i) {
                if (i == 0) return read_tag(p, path.child(i), kind);
                items.emplace_back();
                return in_.read_content(p, path.child(i), items.back());
            });
            if (ok) ok = kind ? rule_from_items(*kind, items, out) : in_.fail("missing field `type`");
            break;
        }
        default:
            ok = in_.invalid_type(ev, "internally tagged enum SequenceRule");
    }
    return ok || in_.fix(ev.mark, path);
}

}  // namespace ostik::loader
