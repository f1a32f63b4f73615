#include "ostik/value.hpp"

#include <algorithm>

namespace ostik {

namespace {
auto lower_bound_key(auto& members, std::string_view key) {
    return std::lower_bound(members.begin(), members.end(), key,
                            [](const Member& m, std::string_view k) { return std::string_view(m.key) < k; });
}
}  // namespace

void Object::set(std::string key, Value value) {
    // Keys usually arrive already sorted (a converted dict, a report context):
    // appending is the common case.
    if (members_.empty() || std::string_view(members_.back().key) < std::string_view(key)) {
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

const Value* Object::find(std::string_view key) const {
    auto it = lower_bound_key(members_, key);
    if (it != members_.end() && it->key == key) return &it->value;
    return nullptr;
}

}  // namespace ostik
