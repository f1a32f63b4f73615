#include "ostik/policy_encoding.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "byte_codec.hpp"
#include "ostik/text.hpp"

namespace ostik {

namespace {

using detail::ByteReader;
using detail::ByteWriter;

constexpr std::string_view magic = "OSKP";
constexpr std::uint8_t format_version = 1;

// Value tags.
using enum detail::ValueTag;

// The same bound as the conversion of Python objects: deeper input is refused
// rather than recursed into.
constexpr int max_value_depth = 512;

// ---- writing ---------------------------------------------------------------

template <class Writer>
void write_value(Writer& w, const Value& v) {
    if (v.is_null()) {
        w.byte(v_null);
    } else if (v.is<bool>()) {
        w.byte(v.as<bool>() ? v_true : v_false);
    } else if (v.is<std::uint64_t>()) {
        w.byte(v_uint);
        w.varint(v.as<std::uint64_t>());
    } else if (v.is<std::int64_t>()) {
        // Always negative: -1 is written as 0, -2 as 1, ...
        w.byte(v_negative);
        w.varint(~static_cast<std::uint64_t>(v.as<std::int64_t>()));
    } else if (v.is<double>()) {
        w.byte(v_double);
        w.fixed64(std::bit_cast<std::uint64_t>(v.as<double>()));
    } else if (v.is<std::string>()) {
        w.byte(v_string);
        w.text(v.as<std::string>());
    } else if (v.is<Array>()) {
        w.byte(v_array);
        const Array& a = v.as<Array>();
        w.varint(a.size());
        for (const Value& item : a) write_value(w, item);
    } else {
        w.byte(v_object);
        const Object& o = v.as<Object>();
        w.varint(o.size());
        for (const Member& m : o) {
            w.text(m.key);
            write_value(w, m.value);
        }
    }
}

void write_names(ByteWriter& w, const NameList& names) {
    w.varint(names.size());
    for (const std::string& n : names) w.text(n);
}

// The entries of an unordered map in ascending order of their keys.
template <class Map>
std::vector<const typename Map::value_type*> sorted_entries(const Map& map) {
    std::vector<const typename Map::value_type*> entries;
    entries.reserve(map.size());
    for (const auto& entry : map) entries.push_back(&entry);
    std::sort(entries.begin(), entries.end(), [](auto* a, auto* b) { return a->first < b->first; });
    return entries;
}

struct RuleWriter {
    ByteWriter& w;

    void operator()(const rule::Require& r) { w.text(r.tool); }
    void operator()(const rule::Eventually& r) {
        w.text(r.tool);
        w.varint(r.within);
    }
    void operator()(const rule::MaxCalls& r) {
        w.text(r.tool);
        w.varint(r.max);
    }
    void operator()(const rule::Before& r) {
        w.text(r.first);
        w.text(r.then);
    }
    void operator()(const rule::After& r) {
        w.text(r.trigger);
        w.text(r.then);
        w.varint(r.within);
    }
    void operator()(const rule::NeverAfter& r) {
        w.text(r.trigger);
        w.text(r.forbidden);
    }
    void operator()(const rule::Sequence& r) {
        write_names(w, r.tools);
        w.byte(r.strict ? 1 : 0);
    }
    void operator()(const rule::Blocklist& r) { w.text(r.pattern); }
};

// ---- reading ---------------------------------------------------------------

class PolicyReader {
public:
    explicit PolicyReader(ByteReader in) : in_(in) {}

    bool ok() const { return in_.ok() && ok_; }
    bool at_end() const { return in_.at_end(); }

    std::string text() {
        const auto s = in_.text();
        if (!s || !is_valid_utf8(*s)) return fail(), std::string();
        return std::string(*s);
    }
    bool flag() {
        const auto b = in_.byte();
        if (!b || *b > 1) return fail(), false;
        return *b == 1;
    }
    std::uint32_t u32() {
        const auto n = in_.varint();
        if (!n || *n > std::numeric_limits<std::uint32_t>::max()) return fail(), 0;
        return static_cast<std::uint32_t>(*n);
    }
    std::uint64_t number() {
        const auto n = in_.varint();
        if (!n) return fail(), 0;
        return *n;
    }
    double real() {
        const auto bits = in_.fixed64();
        if (!bits) return fail(), 0.0;
        const double d = std::bit_cast<double>(*bits);
        if (!(d > 0) || !std::isfinite(d)) return fail(), 0.0;
        return d;
    }
    std::size_t count() {
        const auto n = in_.count();
        if (!n) return fail(), 0;
        return *n;
    }

    NameList names() {
        NameList list;
        const std::size_t n = count();
        list.reserve(n);
        for (std::size_t i = 0; i < n && ok(); ++i) list.push_back(text());
        return list;
    }

    // A map written in ascending key order; a key given twice is damage.
    template <class Map, class ReadValue>
    Map map(ReadValue read_value) {
        Map m;
        const std::size_t n = count();
        for (std::size_t i = 0; i < n && ok(); ++i) {
            std::string key = text();
            auto value = read_value();
            if (ok() && !m.emplace(std::move(key), std::move(value)).second) fail();
        }
        return m;
    }

    Value value(int depth = 0) {
        const auto tag = in_.byte();
        if (!tag || depth > max_value_depth) return fail(), Value();
        switch (*tag) {
            case v_null: return Value();
            case v_false: return Value(false);
            case v_true: return Value(true);
            case v_uint: {
                const auto n = in_.varint();
                if (!n) return fail(), Value();
                return Value(*n);
            }
            case v_negative: {
                const auto n = in_.varint();
                if (!n || *n > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
                    return fail(), Value();
                }
                return Value(static_cast<std::int64_t>(~*n));
            }
            case v_double: {
                const auto bits = in_.fixed64();
                if (!bits) return fail(), Value();
                return Value(std::bit_cast<double>(*bits));
            }
            case v_string: return Value(text());
            case v_array: {
                Array a;
                const std::size_t n = count();
                a.reserve(n);
                for (std::size_t i = 0; i < n && ok(); ++i) a.push_back(value(depth + 1));
                return Value(std::move(a));
            }
            case v_object: {
                std::vector<Member> members;
                const std::size_t n = count();
                members.reserve(n);
                for (std::size_t i = 0; i < n && ok(); ++i) {
                    std::string key = text();
                    // Keys strictly ascending: an object holds each key once.
                    if (!members.empty() && !(members.back().key < key)) fail();
                    members.push_back(Member{std::move(key), value(depth + 1)});
                }
                return Value(Object::from_members(std::move(members)));
            }
            default: return fail(), Value();
        }
    }

    // The kind byte is the rule's variant index.
    SequenceRule rule() {
        static_assert(std::variant_size_v<SequenceRule> == 8);
        const auto kind = in_.byte();
        if (!kind) return fail(), SequenceRule();
        switch (*kind) {
            case 0: return rule::Require{text()};
            case 1: {
                rule::Eventually r{text()};
                r.within = u32();
                return r;
            }
            case 2: {
                rule::MaxCalls r{text()};
                r.max = u32();
                return r;
            }
            case 3: {
                rule::Before r;
                r.first = text();
                r.then = text();
                return r;
            }
            case 4: {
                rule::After r;
                r.trigger = text();
                r.then = text();
                r.within = u32();
                return r;
            }
            case 5: {
                rule::NeverAfter r;
                r.trigger = text();
                r.forbidden = text();
                return r;
            }
            case 6: {
                rule::Sequence r;
                r.tools = names();
                r.strict = flag();
                return r;
            }
            case 7: return rule::Blocklist{text()};
            default: return fail(), SequenceRule();
        }
    }

private:
    void fail() { ok_ = false; }

    ByteReader in_;
    bool ok_ = true;
};

}  // namespace

std::string encode_policy(const Policy& p) {
    std::string out;
    ByteWriter w(out);
    w.raw(magic);
    w.byte(format_version);
    w.text(p.version);
    w.text(p.name);
    w.byte(p.metadata ? 1 : 0);
    if (p.metadata) write_value(w, *p.metadata);

    const ToolsPolicy& t = p.tools;
    w.byte(t.allow ? 1 : 0);
    if (t.allow) write_names(w, *t.allow);
    w.byte(t.deny ? 1 : 0);
    if (t.deny) write_names(w, *t.deny);
    w.byte(t.require_args ? 1 : 0);
    if (t.require_args) {
        w.varint(t.require_args->size());
        for (const auto* entry : sorted_entries(*t.require_args)) {
            w.text(entry->first);
            write_names(w, entry->second);
        }
    }
    w.byte(t.arg_constraints ? 1 : 0);
    if (t.arg_constraints) {
        w.varint(t.arg_constraints->size());
        for (const auto* tool : sorted_entries(*t.arg_constraints)) {
            w.text(tool->first);
            w.varint(tool->second.size());
            for (const auto* arg : sorted_entries(tool->second)) {
                w.text(arg->first);
                write_value(w, arg->second);
            }
        }
    }

    w.varint(p.sequences.size());
    for (const SequenceRule& r : p.sequences) {
        w.byte(static_cast<std::uint8_t>(r.index()));
        std::visit(RuleWriter{w}, r);
    }

    w.varint(p.aliases.size());
    for (const auto* alias : sorted_entries(p.aliases)) {
        w.text(alias->first);
        write_names(w, alias->second);
    }
    w.byte(static_cast<std::uint8_t>(p.on_error));
    // The whole language's sections follow only when there are any, so that
    // a policy of the specified language keeps its bytes and fingerprint.
    if (!p.ask.empty() || !p.limits.empty() || p.has_flows()) {
        w.varint(p.ask.size());
        for (const AskEntry& e : p.ask) {
            write_names(w, e.tools);
            w.byte(e.args ? 1 : 0);
            if (e.args) {
                w.varint(e.args->size());
                for (const auto* arg : sorted_entries(*e.args)) {
                    w.text(arg->first);
                    write_value(w, arg->second);
                }
            }
            w.byte(e.after ? 1 : 0);
            if (e.after) write_names(w, *e.after);
        }
        w.varint(p.limits.size());
        for (const LimitEntry& e : p.limits) {
            write_names(w, e.tools);
            w.byte(e.max ? 1 : 0);
            if (e.max) w.varint(*e.max);
            w.byte(e.per ? 1 : 0);
            if (e.per) {
                w.fixed64(std::bit_cast<std::uint64_t>(*e.per));
                w.text(e.per_text);
            }
            w.byte(e.repeat ? 1 : 0);
            if (e.repeat) w.varint(*e.repeat);
        }
        // Likewise the flow sections after them.
        if (p.has_flows()) {
            w.varint(p.labels.size());
            for (const auto* label : sorted_entries(p.labels)) {
                w.text(label->first);
                write_names(w, label->second);
            }
            w.varint(p.taint.size());
            for (const TaintEntry& e : p.taint) {
                w.text(e.label);
                w.text(e.matches);
                w.byte(e.tools ? 1 : 0);
                if (e.tools) write_names(w, *e.tools);
            }
            w.varint(p.flows.size());
            for (const FlowEntry& e : p.flows) {
                write_names(w, e.from);
                write_names(w, e.to);
                w.byte(e.min_length ? 1 : 0);
                if (e.min_length) w.varint(*e.min_length);
                w.byte(e.args ? 1 : 0);
                if (e.args) write_names(w, *e.args);
                w.byte(e.ask ? 1 : 0);
            }
        }
    }
    w.seal();
    return out;
}

std::expected<Policy, std::string> decode_policy(std::string_view bytes) {
    using Failure = std::unexpected<std::string>;
    auto body = ByteReader::open(bytes, magic, format_version, "a policy's");
    if (!body) return Failure(std::move(body.error()));
    PolicyReader r(*body);

    Policy p;
    p.version = r.text();
    p.name = r.text();
    if (r.flag()) p.metadata = r.value();

    ToolsPolicy& t = p.tools;
    if (r.flag()) t.allow = r.names();
    if (r.flag()) t.deny = r.names();
    if (r.flag()) t.require_args = r.map<std::unordered_map<std::string, NameList>>([&] { return r.names(); });
    if (r.flag()) {
        using Constraints = std::unordered_map<std::string, Value>;
        t.arg_constraints = r.map<std::unordered_map<std::string, Constraints>>(
            [&] { return r.map<Constraints>([&] { return r.value(); }); });
    }

    const std::size_t rules = r.count();
    p.sequences.reserve(rules);
    for (std::size_t i = 0; i < rules && r.ok(); ++i) p.sequences.push_back(r.rule());

    p.aliases = r.map<AliasMap>([&] { return r.names(); });
    const bool allow = r.flag();
    p.on_error = allow ? ErrorPolicy::allow : ErrorPolicy::block;

    if (r.ok() && !r.at_end()) {
        const std::size_t asks = r.count();
        for (std::size_t i = 0; i < asks && r.ok(); ++i) {
            AskEntry& e = p.ask.emplace_back();
            e.tools = r.names();
            if (r.flag()) e.args = r.map<std::unordered_map<std::string, Value>>([&] { return r.value(); });
            if (r.flag()) e.after = r.names();
        }
        const std::size_t limits = r.count();
        for (std::size_t i = 0; i < limits && r.ok(); ++i) {
            LimitEntry& e = p.limits.emplace_back();
            e.tools = r.names();
            if (r.flag()) e.max = r.number();
            if (r.flag()) {
                e.per = r.real();
                e.per_text = r.text();
            }
            if (r.flag()) e.repeat = r.number();
        }
        if (r.ok() && !r.at_end()) {
            p.labels = r.map<AliasMap>([&] { return r.names(); });
            const std::size_t taints = r.count();
            for (std::size_t i = 0; i < taints && r.ok(); ++i) {
                TaintEntry& e = p.taint.emplace_back();
                e.label = r.text();
                e.matches = r.text();
                if (r.flag()) e.tools = r.names();
            }
            const std::size_t flows = r.count();
            for (std::size_t i = 0; i < flows && r.ok(); ++i) {
                FlowEntry& e = p.flows.emplace_back();
                e.from = r.names();
                e.to = r.names();
                if (r.flag()) e.min_length = r.number();
                if (r.flag()) e.args = r.names();
                e.ask = r.flag();
            }
            if (!p.has_flows()) return Failure("malformed");
        } else if (p.ask.empty() && p.limits.empty()) {
            return Failure("malformed");
        }
    }
    if (!r.ok() || !r.at_end()) return Failure("malformed");
    return p;
}

std::uint64_t policy_fingerprint(std::string_view encoding) { return detail::fnv1a64(encoding); }

std::string value_bytes(const Value& value) {
    std::string bytes;
    ByteWriter w(bytes);
    write_value(w, value);
    return bytes;
}

std::optional<Value> value_from_bytes(std::string_view bytes) {
    PolicyReader r{ByteReader(bytes)};
    Value v = r.value();
    if (!r.ok() || !r.at_end()) return std::nullopt;
    return v;
}

std::uint64_t value_fingerprint(const Value& v) {
    namespace fp = fingerprint;
    if (v.is_null()) return fp::of_null();
    if (v.is<bool>()) return fp::of_bool(v.as<bool>());
    if (v.is<std::uint64_t>()) return fp::of_uint(v.as<std::uint64_t>());
    if (v.is<std::int64_t>()) return fp::of_negative(v.as<std::int64_t>());
    if (v.is<double>()) return fp::of_double(v.as<double>());
    if (v.is<std::string>()) return fp::of_text(v.as<std::string>());
    if (v.is<Array>()) {
        const Array& a = v.as<Array>();
        fp::Words w(v_array);
        w.add(a.size());
        for (const Value& item : a) w.add(value_fingerprint(item));
        return w.done();
    }
    const Object& o = v.as<Object>();
    std::uint64_t sum = 0;
    for (const Member& m : o) sum += fp::of_member(m.key, value_fingerprint(m.value));
    return fp::of_object(o.size(), sum);
}

std::uint64_t legacy_value_fingerprint(const Value& value) {
    // The bytes are hashed as they are made.
    detail::HashingWriter w;
    write_value(w, value);
    return w.hash();
}

}  // namespace ostik
