// Reading a policy file into the policy records.
#pragma once

#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "ostik/policy.hpp"

namespace ostik {

struct LoadError {
    enum class Kind {
        read,   // the file could not be read as UTF-8 text
        parse,  // the text is not a valid policy
    };
    Kind kind;
    std::string message;
};

// A key of a rule mapping that names no field of the rule's kind. Loading
// drops such keys with their values; they are listed for tools that point
// out likely misspellings.
struct IgnoredKey {
    std::size_t rule = 0;    // index of the rule in the policy's sequences
    std::string key;         // the key's text as written
    std::size_t line = 0;    // 1-based position of the key
    std::size_t column = 0;  // 1-based
};

// Reads the whole file and parses it. With `ignored_keys`, a successful load
// also lists the rule keys it dropped, rule by rule.
std::expected<Policy, LoadError> load_policy_file(const std::string& path,
                                                  std::vector<IgnoredKey>* ignored_keys = nullptr);

// Parses policy text (already known to be UTF-8).
std::expected<Policy, LoadError> parse_policy(std::string_view text, std::vector<IgnoredKey>* ignored_keys = nullptr);

}  // namespace ostik
