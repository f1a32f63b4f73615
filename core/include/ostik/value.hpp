// Value: the JSON-like value carried by tool arguments, policy metadata,
// argument constraints, rule contexts and recorded trace objects.
//
// A Value is 16 bytes: a policy can hold tens of millions of them (a long
// list of numbers), and a step's arguments are made of a few small ones.
// Scalars and strings of up to 14 bytes are held in place; longer strings,
// arrays and objects on the heap, owned by the Value.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace ostik {

class Value;
struct Member;

using Array = std::vector<Value>;

// The order of an object's keys: ascending byte order. (Keys mostly differ
// in their first bytes, where this beats a call of memcmp.)
inline bool key_before(std::string_view a, std::string_view b) noexcept {
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
    }
    return a.size() < b.size();
}

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

    // Everything that touches the vector is defined below Member, which is
    // incomplete here.
    Object();
    Object(const Object&);
    Object(Object&&) noexcept;
    Object& operator=(const Object&);
    Object& operator=(Object&&) noexcept;
    ~Object();

    const_iterator begin() const;
    const_iterator end() const;
    std::size_t size() const;
    bool empty() const;
    void reserve(std::size_t n);
    // Refills the object in place, member by member in ascending order of
    // their keys: the i-th (i at most size()) becomes `key` and `value`, its
    // key's text kept when it is the same; then truncate(n) drops the members
    // past the n refilled. An object refilled with the same keys call after
    // call so makes no key anew.
    void set_at(std::size_t i, std::string_view key, Value value);
    void truncate(std::size_t n) noexcept;

    friend bool operator==(const Object&, const Object&);

private:
    std::vector<Member> members_;
};

class Value {
public:
    // The kinds, for a switch over a Value's kind.
    enum class Kind : std::uint8_t { null, boolean, uint, int_, float_, string, array, object };

    Value() noexcept { set_tag(Tag::null); }
    Value(std::nullptr_t) noexcept : Value() {}
    Value(bool b) noexcept { put(Tag::boolean, b); }
    Value(std::uint64_t u) noexcept { put(Tag::uint, u); }
    Value(std::int64_t i) noexcept {
        // Non-negative integers are always of the unsigned kind.
        if (i >= 0) put(Tag::uint, static_cast<std::uint64_t>(i)); else put(Tag::int_, i);
    }
    Value(unsigned u) noexcept : Value(static_cast<std::uint64_t>(u)) {}
    Value(double d) noexcept { put(Tag::float_, d); }
    Value(std::string_view s) { set_text(s); }
    Value(const std::string& s) : Value(std::string_view(s)) {}
    Value(const char* s) : Value(std::string_view(s)) {}
    Value(Array a) { put(Tag::array, new Array(std::move(a))); }
    Value(Object o) { put(Tag::object, new Object(std::move(o))); }

    Value(const Value& other);
    Value(Value&& other) noexcept {
        std::memcpy(bytes_, other.bytes_, sizeof bytes_);
        other.set_tag(Tag::null);
    }
    Value& operator=(const Value& other) {
        if (this != &other) *this = Value(other);
        return *this;
    }
    Value& operator=(Value&& other) noexcept {
        if (this != &other) {
            release();
            std::memcpy(bytes_, other.bytes_, sizeof bytes_);
            other.set_tag(Tag::null);
        }
        return *this;
    }
    ~Value() { release(); }

    bool is_null() const noexcept { return tag() == Tag::null; }
    Kind kind() const noexcept {
        constexpr Kind of[] = {Kind::null,   Kind::boolean, Kind::uint,  Kind::int_,  Kind::float_,
                               Kind::string, Kind::string,  Kind::array, Kind::object};
        return of[bytes_[15]];
    }

    // The kind tests: is<bool>(), is<std::uint64_t>(), is<std::int64_t>(),
    // is<double>(), is<std::string>() (or std::string_view), is<Array>(),
    // is<Object>().
    template <class T>
    bool is() const noexcept {
        if constexpr (std::is_same_v<T, bool>) return tag() == Tag::boolean;
        else if constexpr (std::is_same_v<T, std::uint64_t>) return tag() == Tag::uint;
        else if constexpr (std::is_same_v<T, std::int64_t>) return tag() == Tag::int_;
        else if constexpr (std::is_same_v<T, double>) return tag() == Tag::float_;
        else if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, std::string_view>)
            return tag() == Tag::short_text || tag() == Tag::long_text;
        else if constexpr (std::is_same_v<T, Array>) return tag() == Tag::array;
        else if constexpr (std::is_same_v<T, Object>) return tag() == Tag::object;
        else static_assert(sizeof(T) == 0, "not a kind of Value");
    }

    // The content, for a Value of that kind (checked with is<T>() first):
    // scalars by value, a string as a view of its UTF-8 bytes (for
    // as<std::string>() too: no std::string is kept), arrays and objects by
    // reference.
    template <class T>
    decltype(auto) as() const noexcept {
        if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, std::string_view>) {
            return text();
        } else if constexpr (std::is_same_v<T, Array> || std::is_same_v<T, Object>) {
            return static_cast<const T&>(*load<T*>());
        } else {
            static_assert(std::is_same_v<T, bool> || std::is_same_v<T, std::uint64_t> ||
                              std::is_same_v<T, std::int64_t> || std::is_same_v<T, double>,
                          "not a kind of Value");
            return load<T>();
        }
    }
    template <class T>
    decltype(auto) as() noexcept {
        if constexpr (std::is_same_v<T, Array> || std::is_same_v<T, Object>) {
            return static_cast<T&>(*load<T*>());
        } else {
            return std::as_const(*this).template as<T>();
        }
    }

    // Replaces the content with an empty array or object and returns it, for
    // a Value built in place.
    Array& emplace_array() {
        Array* a = new Array();
        release();
        put(Tag::array, a);
        return *a;
    }
    Object& emplace_object() {
        Object* o = new Object();
        release();
        put(Tag::object, o);
        return *o;
    }

    friend bool operator==(const Value& a, const Value& b) noexcept;

private:
    enum class Tag : std::uint8_t { null, boolean, uint, int_, float_, short_text, long_text, array, object };

    // A long string: its length, then its bytes, in one allocation.
    struct LongText {
        std::size_t size;
        char* bytes() noexcept { return reinterpret_cast<char*>(this + 1); }
    };

    // Bytes 0-7 hold the scalar or the pointer; a short string takes bytes
    // 0-13 and its length byte 14; byte 15 is the tag.
    static constexpr std::size_t short_capacity = 14;

    Tag tag() const noexcept { return static_cast<Tag>(bytes_[15]); }
    void set_tag(Tag t) noexcept { bytes_[15] = static_cast<unsigned char>(t); }
    template <class T>
    void put(Tag t, T payload) noexcept {
        std::memcpy(bytes_, &payload, sizeof payload);
        set_tag(t);
    }
    template <class T>
    T load() const noexcept {
        T payload;
        std::memcpy(&payload, bytes_, sizeof payload);
        return payload;
    }
    std::string_view text() const noexcept {
        if (tag() == Tag::short_text) return {reinterpret_cast<const char*>(bytes_), bytes_[short_capacity]};
        LongText* t = load<LongText*>();
        return {t->bytes(), t->size};
    }
    void set_text(std::string_view s);
    void release() noexcept {
        if (tag() >= Tag::long_text) free_heap();
    }
    void free_heap() noexcept;

    alignas(8) unsigned char bytes_[16] = {};
};

static_assert(sizeof(Value) == 16);

struct Member {
    std::string key;
    Value value;
    friend bool operator==(const Member&, const Member&) = default;
};

inline Object::Object() = default;
inline Object::Object(const Object&) = default;
inline Object::Object(Object&&) noexcept = default;
inline Object& Object::operator=(const Object&) = default;
inline Object& Object::operator=(Object&&) noexcept = default;
inline Object::~Object() = default;
inline Object::const_iterator Object::begin() const { return members_.begin(); }
inline Object::const_iterator Object::end() const { return members_.end(); }
inline std::size_t Object::size() const { return members_.size(); }
inline bool Object::empty() const { return members_.empty(); }
inline void Object::reserve(std::size_t n) { members_.reserve(n); }
inline void Object::truncate(std::size_t n) noexcept {
    if (n < members_.size()) members_.erase(members_.begin() + static_cast<std::ptrdiff_t>(n), members_.end());
}
inline bool operator==(const Object& a, const Object& b) { return a.members_ == b.members_; }

}  // namespace ostik
