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

// Where a node under `tools.arg_constraints` lies, named by the path that
// messages about it give ("tools.arg_constraints.shell.command.min"). The
// records keep no positions; these let a message about a constraint found
// later (see guard.hpp) name its line.
struct NodeMark {
    std::string path;
    std::size_t line = 0;    // 1-based
    std::size_t column = 0;  // 1-based
    bool key = false;        // the position of the key of the mapping entry at `path`, not of its value
};

// Which root keys a document may have: the specified language's seven, or
// the whole language (`ask`, `limits` besides), which only a guard reads.
enum class Language : std::uint8_t { specified, whole };

// Reads the whole file and parses it. With `ignored_keys`, a successful load
// also lists the rule keys it dropped, rule by rule; with `constraint_marks`,
// the position of every node under `tools.arg_constraints` (of a path given
// twice, the later).
std::expected<Policy, LoadError> load_policy_file(const std::string& path,
                                                  std::vector<IgnoredKey>* ignored_keys = nullptr,
                                                  std::vector<NodeMark>* constraint_marks = nullptr,
                                                  Language language = Language::specified);

// Parses policy text (already known to be UTF-8).
std::expected<Policy, LoadError> parse_policy(std::string_view text, std::vector<IgnoredKey>* ignored_keys = nullptr,
                                              std::vector<NodeMark>* constraint_marks = nullptr,
                                              Language language = Language::specified);

}  // namespace ostik
