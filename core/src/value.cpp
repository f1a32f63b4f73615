#include "ostik/value.hpp"

#include <algorithm>
#include <cstring>
#include <new>

namespace ostik {

void Value::set_text(std::string_view s) {
    if (s.size() <= short_capacity) {
        std::memcpy(bytes_, s.data(), s.size());
        bytes_[short_capacity] = static_cast<unsigned char>(s.size());
        set_tag(Tag::short_text);
        return;
    }
    auto* t = static_cast<LongText*>(::operator new(sizeof(LongText) + s.size()));
    t->size = s.size();
    std::memcpy(t->bytes(), s.data(), s.size());
    put(Tag::long_text, t);
}

Value::Value(const Value& other) {
    switch (other.tag()) {
        case Tag::long_text: set_text(other.text()); break;
        case Tag::array: put(Tag::array, new Array(other.as<Array>())); break;
        case Tag::object: put(Tag::object, new Object(other.as<Object>())); break;
        default: std::memcpy(bytes_, other.bytes_, sizeof bytes_);
    }
}

void Value::free_heap() noexcept {
    switch (tag()) {
        case Tag::long_text: ::operator delete(load<LongText*>()); break;
        case Tag::array: delete load<Array*>(); break;
        case Tag::object: delete load<Object*>(); break;
        default: break;
    }
}

bool operator==(const Value& a, const Value& b) noexcept {
    using Tag = Value::Tag;
    const Tag t = a.tag();
    switch (t) {
        case Tag::null: return b.tag() == t;
        case Tag::boolean: return b.tag() == t && a.as<bool>() == b.as<bool>();
        case Tag::uint: return b.tag() == t && a.as<std::uint64_t>() == b.as<std::uint64_t>();
        case Tag::int_: return b.tag() == t && a.as<std::int64_t>() == b.as<std::int64_t>();
        case Tag::float_: return b.tag() == t && a.as<double>() == b.as<double>();
        case Tag::short_text:
        case Tag::long_text: return b.is<std::string>() && a.text() == b.text();
        case Tag::array: return b.tag() == t && a.as<Array>() == b.as<Array>();
        case Tag::object: return b.tag() == t && a.as<Object>() == b.as<Object>();
    }
    return false;
}

namespace {
auto lower_bound_key(auto& members, std::string_view key) {
    return std::lower_bound(members.begin(), members.end(), key,
                            [](const Member& m, std::string_view k) { return key_before(m.key, k); });
}
// The members an object has at most for a lookup to pass over them all rather
// than halve them: most arguments have a few.
constexpr std::size_t few_members = 8;
}  // namespace
void Object::set(std::string key, Value value) {
    // Keys usually arrive already sorted (a converted dict, a report context):
    // appending is the common case.
    if (members_.empty() || key_before(members_.back().key, key)) {
        members_.push_back(Member{std::move(key), std::move(value)});
        return;
    }
    auto it = lower_bound_key(members_, key);
    if (it != members_.end() && it->key == key) {
        it->value = std::move(value);
    } else {
        members_.insert(it, Member{std::move(key), std::move(value)});
    }
}

void Object::set_at(std::size_t i, std::string_view key, Value value) {
    if (i == members_.size()) {
        members_.push_back(Member{std::string(key), std::move(value)});
        return;
    }
    Member& m = members_[i];
    if (m.key != key) m.key.assign(key);
    m.value = std::move(value);
}

Object Object::from_members(std::vector<Member> members) {
    auto by_key = [](const Member& a, const Member& b) { return key_before(a.key, b.key); };
    // Members in strictly ascending order (most come so) are kept as they are.
    std::size_t ascending = 1;
    while (ascending < members.size() && by_key(members[ascending - 1], members[ascending])) ++ascending;
    if (ascending >= members.size()) {
        Object o;
        o.members_ = std::move(members);
        return o;
    }
    // Small objects (most tool arguments) skip the sort's buffer; sorted input
    // skips the sort.
    if (members.size() <= 16) {
        // Insertion sort that moves each misplaced member out once and
        // shifts the others up, rather than swapping it down step by step.
        for (std::size_t i = 1; i < members.size(); ++i) {
            if (!by_key(members[i], members[i - 1])) continue;
            Member moving = std::move(members[i]);
            std::size_t j = i;
            do {
                members[j] = std::move(members[j - 1]);
                --j;
            } while (j > 0 && by_key(moving, members[j - 1]));
            members[j] = std::move(moving);
        }
    } else if (!std::is_sorted(members.begin(), members.end(), by_key)) {
        std::stable_sort(members.begin(), members.end(), by_key);
    }
    // Keep the last of each run of equal keys.
    std::size_t out = 0;
    for (std::size_t i = 0; i < members.size(); ++i) {
        if (i + 1 < members.size() && members[i + 1].key == members[i].key) continue;
        if (out != i) members[out] = std::move(members[i]);
        ++out;
    }
    members.erase(members.begin() + static_cast<std::ptrdiff_t>(out), members.end());
    Object o;
    o.members_ = std::move(members);
    return o;
}

const Value* Object::find(std::string_view key) const {
    if (members_.size() <= few_members) {
        // Most keys differ from the one looked for in their length.
        for (const Member& m : members_) {
            if (m.key.size() == key.size() && std::memcmp(m.key.data(), key.data(), key.size()) == 0) return &m.value;
        }
        return nullptr;
    }
    auto it = lower_bound_key(members_, key);
    if (it != members_.end() && it->key == key) return &it->value;
    return nullptr;
}

}  // namespace ostik
