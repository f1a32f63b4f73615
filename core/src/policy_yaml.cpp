#include "ostik/policy_loader.hpp"
namespace ostik {
std::expected<Policy, LoadError> parse_policy(std::string_view) {
    return std::unexpected(LoadError{LoadError::Kind::parse, "not yet"});
}
}
