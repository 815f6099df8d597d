// yorbat_admin: what its commands share. Each command gets its words and
// options already checked against its table entry, and returns the exit
// status (0, or 1 after a one-line message on stderr).
#ifndef YORBAT_ADMIN_H
#define YORBAT_ADMIN_H

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace yorbat::admin {

struct Invocation {
    std::string command;                          // "domain add"
    std::vector<std::string> words;               // the positional arguments
    std::map<std::string, std::string> options;   // "--days" -> "30"; flags map to ""

    bool has(const std::string &option) const { return options.count(option) != 0; }
    std::string option(const std::string &name, std::string fallback = {}) const {
        auto found = options.find(name);
        return found == options.end() ? fallback : found->second;
    }
};

using Run = int (*)(const Invocation &);

struct Command {
    std::string_view name;       // one or two words
    std::string_view arguments;  // for the usage line
    std::string_view summary;
    size_t words;                // positional arguments required
    std::vector<std::string_view> value_options;
    std::vector<std::string_view> flag_options;
    Run run;
};

// The commands, by area.
std::vector<Command> registry_commands();
std::vector<Command> broker_commands();

// "yorbat_admin: WHAT: TEXT (NAME 0xCODE)" on stderr; returns 1.
int fail(std::string_view what, int result);
// "yorbat_admin: MESSAGE" on stderr; returns 1.
int fail(std::string_view message);
// The symbolic name and text of a YORBAT_* result.
std::string_view result_name(int result);
std::string_view result_text(int result);

// A positive number of days from --days, or `fallback`; false when the text
// is not one.
bool days_option(const Invocation &invocation, long fallback, long &days);

}  // namespace yorbat::admin

#endif
