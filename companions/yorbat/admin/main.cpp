// yorbat_admin: sets up a broker's authority, the private-domain registry
// and the trust store of an install directory.
//   yorbat_admin [--home DIR] COMMAND [ARGUMENTS] [--help]
#include <charconv>
#include <cstdio>
#include <cstring>

#include "admin.h"
#include "yorbat_core.h"

namespace yorbat::admin {
namespace {

constexpr std::string_view kProgram = "yorbat_admin";

struct ResultEntry {
    int code;
    std::string_view name, text;
};

constexpr ResultEntry kResults[] = {
    {YORBAT_OK, "YORBAT_OK", "success"},
    {YORBAT_CONNECTION_BROKEN, "YORBAT_CONNECTION_BROKEN", "the connection broke"},
    {YORBAT_NOT_INITIALIZED, "YORBAT_NOT_INITIALIZED", "not initialised"},
    {YORBAT_INVALID_ARGUMENT, "YORBAT_INVALID_ARGUMENT", "invalid argument"},
    {YORBAT_NO_MEMORY, "YORBAT_NO_MEMORY", "out of memory"},
    {YORBAT_NOT_FOUND_ON_DISK, "YORBAT_NOT_FOUND_ON_DISK", "file missing"},
    {YORBAT_INTERNAL_FAILURE, "YORBAT_INTERNAL_FAILURE", "internal failure"},
    {YORBAT_BROKER_UNREACHABLE, "YORBAT_BROKER_UNREACHABLE", "the broker cannot be reached"},
    {YORBAT_PEER_NOT_TRUSTED, "YORBAT_PEER_NOT_TRUSTED", "the peer is not trusted"},
    {YORBAT_MECHANISM_UNSUPPORTED, "YORBAT_MECHANISM_UNSUPPORTED", "mechanism not supported"},
    {YORBAT_BROKER_NOT_TRUSTED, "YORBAT_BROKER_NOT_TRUSTED", "the broker is not trusted"},
    {YORBAT_PERMISSION_DENIED, "YORBAT_PERMISSION_DENIED", "permission denied"},
    {YORBAT_BAD_LOGIN, "YORBAT_BAD_LOGIN", "wrong name, password or domain"},
    {YORBAT_CREDENTIAL_EXPIRED, "YORBAT_CREDENTIAL_EXPIRED", "the credential expired"},
    {YORBAT_CREDENTIAL_MALFORMED, "YORBAT_CREDENTIAL_MALFORMED", "not a certificate with its key"},
    {YORBAT_CONFIGURATION_DAMAGED, "YORBAT_CONFIGURATION_DAMAGED", "install directory unusable"},
    {YORBAT_CREDENTIAL_UNREADABLE, "YORBAT_CREDENTIAL_UNREADABLE", "not a credential"},
    {YORBAT_NO_PRIVATE_KEY, "YORBAT_NO_PRIVATE_KEY", "the private key is missing"},
    {YORBAT_REGISTRY_DAMAGED, "YORBAT_REGISTRY_DAMAGED", "the registry file is damaged"},
    {YORBAT_DOMAIN_CREATE_FAILED, "YORBAT_DOMAIN_CREATE_FAILED", "the domain could not be created"},
    {YORBAT_PRINCIPAL_CREATE_FAILED, "YORBAT_PRINCIPAL_CREATE_FAILED", "the principal could not be created"},
    {YORBAT_PRINCIPAL_DELETE_FAILED, "YORBAT_PRINCIPAL_DELETE_FAILED", "the principal could not be removed"},
    {YORBAT_PASSWORD_TOO_SHORT, "YORBAT_PASSWORD_TOO_SHORT", "the password has fewer than 6 characters"},
    {YORBAT_NOT_FOUND, "YORBAT_NOT_FOUND", "not found"},
    {YORBAT_DOMAIN_DELETE_FAILED, "YORBAT_DOMAIN_DELETE_FAILED", "the domain could not be removed"},
    {YORBAT_DOMAIN_NAME_INVALID, "YORBAT_DOMAIN_NAME_INVALID", "invalid domain name"},
    {YORBAT_PRINCIPAL_NAME_INVALID, "YORBAT_PRINCIPAL_NAME_INVALID", "invalid principal name"},
    {YORBAT_STORE_EMPTY, "YORBAT_STORE_EMPTY", "the credential store is empty"},
    {YORBAT_TRUST_STORE_FAILED, "YORBAT_TRUST_STORE_FAILED", "the trust store could not be written"},
    {YORBAT_CREDENTIAL_NOT_YET_VALID, "YORBAT_CREDENTIAL_NOT_YET_VALID", "the credential is not yet valid"},
    {YORBAT_CREDENTIAL_REVOKED, "YORBAT_CREDENTIAL_REVOKED", "the credential was revoked"},
    {YORBAT_ROOT_REJECTED, "YORBAT_ROOT_REJECTED", "not a self-signed root certificate"},
    {YORBAT_DOMAIN_EXISTS, "YORBAT_DOMAIN_EXISTS", "the domain exists"},
    {YORBAT_PRINCIPAL_EXISTS, "YORBAT_PRINCIPAL_EXISTS", "the principal exists"},
    {YORBAT_BROKER_REFUSED, "YORBAT_BROKER_REFUSED", "the broker refused"},
    {YORBAT_NOT_A_CERTIFICATE, "YORBAT_NOT_A_CERTIFICATE", "not a certificate"},
    {YORBAT_NOT_RENEWABLE, "YORBAT_NOT_RENEWABLE", "not renewable"},
    {YORBAT_PASSWORD_TOO_LONG, "YORBAT_PASSWORD_TOO_LONG", "the password has more than 1024 characters"},
    {YORBAT_NO_CREDENTIAL_RECEIVED, "YORBAT_NO_CREDENTIAL_RECEIVED", "no credential received"},
    {YORBAT_PRINCIPAL_DISABLED, "YORBAT_PRINCIPAL_DISABLED", "the principal is disabled"},
    {YORBAT_CONN_LIBRARY_FAILURE, "YORBAT_CONN_LIBRARY_FAILURE", "TLS set-up failed"},
};

const ResultEntry *result_entry(int result) {
    for (const ResultEntry &entry : kResults)
        if (entry.code == result)
            return &entry;
    return nullptr;
}

std::vector<Command> all_commands() {
    std::vector<Command> commands = broker_commands();
    for (Command &entry : registry_commands())
        commands.push_back(std::move(entry));
    return commands;
}

void print_usage(std::FILE *out, const Command &entry) {
    std::fprintf(out, "usage: %s [--home DIR] %.*s%s%.*s\n  %.*s\n", kProgram.data(),
                 static_cast<int>(entry.name.size()), entry.name.data(), entry.arguments.empty() ? "" : " ",
                 static_cast<int>(entry.arguments.size()), entry.arguments.data(),
                 static_cast<int>(entry.summary.size()), entry.summary.data());
}

int print_overview(std::FILE *out, const std::vector<Command> &commands) {
    std::fprintf(out, "usage: %s [--home DIR] COMMAND [ARGUMENTS] [--help]\n"
                      "  --home DIR  the install directory (default: the library's)\ncommands:\n",
                 kProgram.data());
    for (const Command &entry : commands)
        std::fprintf(out, "  %.*s%s%.*s\n", static_cast<int>(entry.name.size()), entry.name.data(),
                     entry.arguments.empty() ? "" : " ", static_cast<int>(entry.arguments.size()),
                     entry.arguments.data());
    return out == stdout ? 0 : 1;
}

// The command the words at `at` name: two words ("domain add") before one.
const Command *match(const std::vector<Command> &commands, const std::vector<std::string> &args,
                     size_t at) {
    for (size_t length : {2, 1}) {
        if (at + length > args.size())
            continue;
        std::string name = args[at];
        if (length == 2)
            name += " " + args[at + 1];
        for (const Command &entry : commands)
            if (entry.name == name)
                return &entry;
    }
    return nullptr;
}

bool listed(const std::vector<std::string_view> &list, std::string_view option) {
    for (std::string_view each : list)
        if (each == option)
            return true;
    return false;
}

// Sorts the arguments after the command into words and options; false
// (after a message) on an unknown option, a missing value or a wrong count.
bool read_arguments(const Command &entry, const std::vector<std::string> &args, size_t at,
                    Invocation &out) {
    for (; at < args.size(); ++at) {
        const std::string &arg = args[at];
        if (arg == "--help" || listed(entry.flag_options, arg)) {
            out.options[arg] = "";
        } else if (listed(entry.value_options, arg)) {
            if (at + 1 == args.size()) {
                fail(std::string(entry.name) + ": " + arg + " needs a value");
                return false;
            }
            out.options[arg] = args[++at];
        } else if (arg.starts_with("--")) {
            fail(std::string(entry.name) + ": unknown option " + arg);
            return false;
        } else {
            out.words.push_back(arg);
        }
    }
    if (!out.has("--help") && out.words.size() != entry.words) {
        fail(std::string(entry.name) + ": expected " + std::to_string(entry.words) + " argument(s), see --help");
        return false;
    }
    return true;
}

int run(const std::vector<std::string> &args) {
    const std::vector<Command> commands = all_commands();
    size_t at = 0;
    if (at < args.size() && args[at] == "--home") {
        if (at + 1 == args.size())
            return fail("--home needs a directory");
        set_home(args[at + 1]);
        at += 2;
    }
    if (at == args.size() || args[at] == "--help" || args[at] == "help")
        return print_overview(at == args.size() ? stderr : stdout, commands);
    const Command *entry = match(commands, args, at);
    if (!entry)
        return fail("unknown command " + args[at] + " (--help lists them)");
    Invocation invocation;
    invocation.command = entry->name;
    if (!read_arguments(*entry, args, at + (entry->name.find(' ') == std::string_view::npos ? 1 : 2), invocation))
        return 1;
    if (invocation.has("--help")) {
        print_usage(stdout, *entry);
        return 0;
    }
    return entry->run(invocation);
}

}  // namespace

std::string_view result_name(int result) {
    const ResultEntry *entry = result_entry(result);
    return entry ? entry->name : "YORBAT_UNKNOWN";
}

std::string_view result_text(int result) {
    const ResultEntry *entry = result_entry(result);
    return entry ? entry->text : "unknown result";
}

int fail(std::string_view what, int result) {
    std::fprintf(stderr, "%s: %.*s: %.*s (%.*s 0x%x)\n", kProgram.data(), static_cast<int>(what.size()),
                 what.data(), static_cast<int>(result_text(result).size()), result_text(result).data(),
                 static_cast<int>(result_name(result).size()), result_name(result).data(),
                 static_cast<unsigned>(result));
    return 1;
}

int fail(std::string_view message) {
    std::fprintf(stderr, "%s: %.*s\n", kProgram.data(), static_cast<int>(message.size()), message.data());
    return 1;
}

bool days_option(const Invocation &invocation, long fallback, long &days) {
    if (!invocation.has("--days")) {
        days = fallback;
        return true;
    }
    const std::string text = invocation.option("--days");
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), days);
    return error == std::errc{} && end == text.data() + text.size() && days > 0 && days <= 36500;
}

}  // namespace yorbat::admin

int main(int argc, char **argv) {
    try {
        return yorbat::admin::run(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::bad_alloc &) {
        return yorbat::admin::fail("out of memory");
    }
}
