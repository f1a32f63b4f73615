// Randomised checks of Value, the 16-byte tagged value, against a plain
// model of the same thing (a std::variant holding its parts in place):
//  1. A Value made from a model reads back as that model (kind, scalars,
//     strings of every length around the in-place limit, arrays, objects).
//  2. Copies are deep and equal; a moved-from Value is null; assignment in
//     every direction between kinds leaves the target equal to its source.
//  3. Equality of Values is equality of their models.
//  4. Object::from_members agrees with inserting the members one by one.
//  5. find() finds each key an object holds, and no other, at every size;
//     an object refilled in place (set_at, truncate) over any other equals
//     one made anew.
#include <algorithm>
#include <cstdio>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "ostik/value.hpp"

using namespace ostik;

namespace {

int failures = 0;

void check(bool ok, const char* what, int round) {
    if (!ok && ++failures <= 10) std::fprintf(stderr, "FAIL: %s (round %d)\n", what, round);
}

struct Model;
using ModelArray = std::vector<Model>;
using ModelObject = std::vector<std::pair<std::string, Model>>;  // sorted, unique keys

struct Model {
    std::variant<std::monostate, bool, std::uint64_t, std::int64_t, double, std::string, ModelArray, ModelObject> v;
    friend bool operator==(const Model&, const Model&) = default;
};

std::mt19937_64 rng(20260514);

std::string random_text() {
    // Lengths around the 14 bytes a Value holds in place, and some long ones.
    static const std::size_t lengths[] = {0, 1, 7, 13, 14, 15, 16, 31, 200};
    std::string s(lengths[rng() % std::size(lengths)], 'x');
    for (char& c : s) c = static_cast<char>(rng() % 3 == 0 ? 0xC3 + rng() % 2 : 'a' + rng() % 26);
    return s;
}

Model random_model(int depth) {
    switch (rng() % (depth > 3 ? 6 : 8)) {
        case 0: return {};
        case 1: return {rng() % 2 == 0};
        case 2: return {std::uint64_t{rng()}};
        case 3: return {-static_cast<std::int64_t>(rng() % (std::uint64_t{1} << 62)) - 1};
        case 4: {
            static const double doubles[] = {0.0, -0.0, 1.5, -2.25, 1e300, 5e-324};
            return {doubles[rng() % std::size(doubles)]};
        }
        case 5: return {random_text()};
        case 6: {
            ModelArray a(rng() % 5);
            for (Model& m : a) m = random_model(depth + 1);
            return {std::move(a)};
        }
        default: {
            ModelObject o;
            const std::size_t n = rng() % 5;
            for (std::size_t i = 0; i < n; ++i) {
                std::string key = random_text();
                bool seen = false;
                for (auto& [k, m] : o) seen = seen || k == key;
                if (!seen) o.emplace_back(std::move(key), random_model(depth + 1));
            }
            std::sort(o.begin(), o.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
            return {std::move(o)};
        }
    }
}

Value to_value(const Model& m) {
    return std::visit(
        [](const auto& x) -> Value {
            using T = std::decay_t<decltype(x)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                return Value();
            } else if constexpr (std::is_same_v<T, ModelArray>) {
                Array a;
                for (const Model& item : x) a.push_back(to_value(item));
                return Value(std::move(a));
            } else if constexpr (std::is_same_v<T, ModelObject>) {
                std::vector<Member> members;
                for (const auto& [k, item] : x) members.push_back(Member{k, to_value(item)});
                return Value(Object::from_members(std::move(members)));
            } else {
                return Value(x);
            }
        },
        m.v);
}

Model to_model(const Value& v) {
    switch (v.kind()) {
        case Value::Kind::null: return {};
        case Value::Kind::boolean: return {v.as<bool>()};
        case Value::Kind::uint: return {v.as<std::uint64_t>()};
        case Value::Kind::int_: return {v.as<std::int64_t>()};
        case Value::Kind::float_: return {v.as<double>()};
        case Value::Kind::string: return {std::string(v.as<std::string>())};
        case Value::Kind::array: {
            ModelArray a;
            for (const Value& item : v.as<Array>()) a.push_back(to_model(item));
            return {std::move(a)};
        }
        case Value::Kind::object: {
            ModelObject o;
            for (const Member& m : v.as<Object>()) o.emplace_back(m.key, to_model(m.value));
            return {std::move(o)};
        }
    }
    return {};
}

// The kind tests agree with kind() and with each other.
bool kinds_agree(const Value& v) {
    const int count = v.is_null() + v.is<bool>() + v.is<std::uint64_t>() + v.is<std::int64_t>() + v.is<double>() +
                      v.is<std::string>() + v.is<Array>() + v.is<Object>();
    return count == 1 && v.is<std::string>() == v.is<std::string_view>() &&
           v.is_null() == (v.kind() == Value::Kind::null) && v.is<Array>() == (v.kind() == Value::Kind::array);
}

}  // namespace

int main() {
    constexpr int rounds = 20000;
    for (int round = 0; round < rounds; ++round) {
        const Model a = random_model(0);
        const Model b = rng() % 4 == 0 ? a : random_model(0);

        Value va = to_value(a);
        const Value vb = to_value(b);
        check(to_model(va) == a, "reads back as its model", round);
        check(kinds_agree(va), "one kind test holds", round);
        check((va == vb) == (a == b), "equality is the models' equality", round);

        Value copy = va;
        check(copy == va && to_model(copy) == a, "a copy is equal", round);
        Value moved = std::move(copy);
        check(copy.is_null() && to_model(moved) == a, "a moved-from Value is null", round);

        Value target = to_value(random_model(0));
        target = vb;
        check(to_model(target) == b, "copy assignment over any kind", round);
        target = std::move(va);
        check(to_model(target) == a && va.is_null(), "move assignment over any kind", round);
        const Value& itself = target;
        target = itself;
        check(to_model(target) == a, "self assignment", round);

        // Copies are deep: changing one leaves the other.
        if (target.is<Array>() && !target.as<Array>().empty()) {
            Value other = target;
            other.as<Array>()[0] = Value("changed, and longer than fourteen bytes");
            check(to_model(target) == a, "an array copy is deep", round);
        }

        // from_members, any order and repeats, against set() one by one.
        std::vector<Member> members;
        Object one_by_one;
        for (int i = 0, n = static_cast<int>(rng() % 20); i < n; ++i) {
            Member m{random_text().substr(0, rng() % 3), to_value(random_model(2))};
            one_by_one.set(m.key, m.value);
            members.push_back(std::move(m));
        }
        check(Object::from_members(std::move(members)) == one_by_one, "from_members agrees with set", round);

        for (const Member& m : one_by_one) {
            const Value* found = one_by_one.find(m.key);
            check(found == &m.value, "find finds each key", round);
        }
        const std::string absent = random_text().substr(0, rng() % 4);
        const bool held = std::any_of(one_by_one.begin(), one_by_one.end(), [&](const Member& m) { return m.key == absent; });
        check((one_by_one.find(absent) != nullptr) == held, "find finds no other key", round);

        Object refilled = one_by_one;
        Object anew;
        std::size_t at = 0;
        for (const Member& m : Object::from_members({Member{"", Value(1u)}, Member{random_text().substr(0, 2), Value("x")},
                                                     Member{random_text().substr(0, 3), to_value(random_model(1))}})) {
            if (rng() % 4 == 0) continue;
            refilled.set_at(at++, m.key, m.value);
            anew.set(m.key, m.value);
        }
        refilled.truncate(at);
        check(refilled == anew, "an object refilled in place equals one made anew", round);
    }
    if (failures) {
        std::printf("%d failures\n", failures);
        return 1;
    }
    std::printf("ok: %d random Values against their models\n", rounds);
    return 0;
}
