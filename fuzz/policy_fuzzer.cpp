// Fuzzes policy loading from arbitrary bytes: the UTF-8 check of the file
// reader (against an independent validator), the file path itself (the bytes
// go through a memory file), and the parser on every input that is UTF-8.
// A loaded policy is then used the way the rest of the system uses one: rule
// ids built, the tool gate built and asked, the Values written as JSON.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json_check.hpp"
#include "ostik/json_writer.hpp"
#include "ostik/policy_loader.hpp"
#include "ostik/rule_ids.hpp"
#include "ostik/text.hpp"
#include "ostik/tool_gate.hpp"

namespace {

using ostik::LoadError;
using ostik::Policy;

[[noreturn]] void fail(const char* what, std::string_view detail = {}) {
    std::fprintf(stderr, "policy check failed: %s\n  %.*s\n", what, static_cast<int>(detail.size()), detail.data());
    std::abort();
}

// The same bytes through the file reader, as Policy.from_file would see them.
std::expected<Policy, LoadError> load_through_file(std::string_view bytes) {
    const int fd = ::memfd_create("policy", MFD_CLOEXEC);
    if (fd < 0) fail("memfd_create");
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) fail("write to memory file");
        done += static_cast<std::size_t>(n);
    }
    auto result = ostik::load_policy_file("/proc/self/fd/" + std::to_string(fd));
    ::close(fd);
    return result;
}

void check_message(const std::string& message) {
    if (message.empty()) fail("empty error message");
    // Messages become Python str: they must be UTF-8 even when they quote input.
    if (!ostik::fuzz::utf8_well_formed(message)) fail("error message is not UTF-8", message);
    // Lines and columns count from 1 (the message may quote input that looks
    // like a position, so only a trailing position suffix is looked at).
    const std::size_t at = message.rfind(" at line ");
    if (at != std::string::npos) {
        unsigned long line = 0, column = 0;
        int used = 0;
        const std::string tail = message.substr(at);
        if (std::sscanf(tail.c_str(), " at line %lu column %lu%n", &line, &column, &used) == 2 &&
            static_cast<std::size_t>(used) == tail.size() && (line == 0 || column == 0))
            fail("position counted from 0", message);
    }
}

void check_value(const ostik::Value& v) {
    std::string out;
    ostik::json::write_value(out, v);
    ostik::fuzz::check_written(v, out);
}

void use_policy(const Policy& p) {
    for (const auto& rule : p.sequences) {
        const std::string id = ostik::rule_id_for(rule);
        if (!id.starts_with(ostik::kind_name(rule))) fail("rule id without its kind prefix", id);
        if (!ostik::fuzz::utf8_well_formed(id)) fail("rule id is not UTF-8", id);
    }
    if (p.metadata) check_value(*p.metadata);
    if (p.tools.arg_constraints) {
        for (const auto& [tool, args] : *p.tools.arg_constraints)
            for (const auto& [name, value] : args) check_value(value);
    }
    const ostik::ToolGate gate(p);
    if (p.tools.deny) {
        for (const auto& name : *p.tools.deny)
            if (gate.check(name) != ostik::ToolVerdict::denied) fail("a denied tool passes the gate", name);
    }
    if (p.tools.allow) {
        for (const auto& name : *p.tools.allow) (void)gate.check(name);
    }
    // A copy is a deep, independent value.
    Policy copy = p;
    copy.sequences.clear();
    copy.aliases.clear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    const bool utf8 = ostik::fuzz::utf8_well_formed(bytes);
    if (ostik::is_valid_utf8(bytes) != utf8) fail(utf8 ? "valid UTF-8 refused" : "invalid UTF-8 accepted");

    auto from_file = load_through_file(bytes);
    if (!utf8) {
        if (from_file || from_file.error().kind != LoadError::Kind::read ||
            from_file.error().message != "stream did not contain valid UTF-8")
            fail("invalid UTF-8 not refused by the file reader");
        return 0;
    }

    auto parsed = ostik::parse_policy(bytes);
    if (parsed.has_value() != from_file.has_value()) fail("file reader and parser disagree");
    if (!parsed) {
        if (parsed.error().kind != LoadError::Kind::parse) fail("parse failure not of the parse kind");
        if (parsed.error().message != from_file.error().message) fail("messages differ", parsed.error().message);
        check_message(parsed.error().message);
        return 0;
    }
    use_policy(*parsed);
    return 0;
}
