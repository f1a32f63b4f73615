// Value: the JSON-like value carried by tool arguments, policy metadata,
// argument constraints, rule contexts and recorded trace objects.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace ostik {

struct Value;
struct Member;

using Array = std::vector<Value>;

// An object keeps its members sorted by key in ascending byte order, each key
// once. Lookups and inserts go through the helpers below, never push_back.
class Object {
public:
    using iterator = std::vector<Member>::iterator;
    using const_iterator = std::vector<Member>::const_iterator;

    // Inserts or replaces: a key given again replaces the earlier value.
    void set(std::string key, Value value);
    // Builds an object from members in any order in O(n log n); of members
    // with equal keys the last one wins.
    static Object from_members(std::vector<Member> members);
    const Value* find(std::string_view key) const;

    const_iterator begin() const { return members_.begin(); }
    const_iterator end() const { return members_.end(); }
    std::size_t size() const { return members_.size(); }
    bool empty() const { return members_.empty(); }
    void reserve(std::size_t n) { members_.reserve(n); }

    friend bool operator==(const Object&, const Object&) = default;

private:
    std::vector<Member> members_;
};

struct Value {
    using Storage = std::variant<std::monostate, bool, std::uint64_t, std::int64_t, double,
                                 std::string, Array, Object>;
    Storage data;

    Value() = default;
    Value(std::nullptr_t) {}
    Value(bool b) : data(b) {}
    Value(std::uint64_t u) : data(u) {}
    Value(std::int64_t i) {
        // Non-negative integers are always of the unsigned kind.
        if (i >= 0) data = static_cast<std::uint64_t>(i); else data = i;
    }
    Value(unsigned u) : data(static_cast<std::uint64_t>(u)) {}
    Value(double d) : data(d) {}
    Value(std::string s) : data(std::move(s)) {}
    Value(std::string_view s) : data(std::string(s)) {}
    Value(const char* s) : data(std::string(s)) {}
    Value(Array a) : data(std::move(a)) {}
    Value(Object o) : data(std::move(o)) {}

    bool is_null() const { return std::holds_alternative<std::monostate>(data); }
    template <class T> bool is() const { return std::holds_alternative<T>(data); }
    template <class T> const T& as() const { return std::get<T>(data); }
    template <class T> T& as() { return std::get<T>(data); }

    friend bool operator==(const Value&, const Value&) = default;
};

struct Member {
    std::string key;
    Value value;
    friend bool operator==(const Member&, const Member&) = default;
};

}  // namespace ostik
