// Reading a policy file into the policy records.
#pragma once

#include <expected>
#include <string>
#include <string_view>

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

// Reads the whole file and parses it.
std::expected<Policy, LoadError> load_policy_file(const std::string& path);

// Parses policy text (already known to be UTF-8).
std::expected<Policy, LoadError> parse_policy(std::string_view text);

}  // namespace ostik
