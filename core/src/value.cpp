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

Object Object::from_members(std::vector<Member> members) {
    auto by_key = [](const Member& a, const Member& b) { return std::string_view(a.key) < std::string_view(b.key); };
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
    auto it = lower_bound_key(members_, key);
    if (it != members_.end() && it->key == key) return &it->value;
    return nullptr;
}

}  // namespace ostik
