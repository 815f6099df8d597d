// Registry, domain, user and machine commands. They work on the registry
// the library's lookups use (the first of kind 2, else the last of kind 1).
#include <openssl/crypto.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>

#include "admin.h"
#include "yorbat_registry.h"

namespace yorbat::admin {
namespace {

namespace reg = yorbat::registry;

constexpr std::string_view kMachines = "CRW_Machines";

// Wipes a password when the command is done with it.
struct SecretText {
    std::string text;
    ~SecretText() { OPENSSL_cleanse(text.data(), text.size()); }
};

std::string first_line(std::string text) { return text.substr(0, text.find('\n')); }

// Reads a line from a terminal without echoing it.
bool read_from_terminal(std::string &line) {
    termios saved{};
    if (::tcgetattr(STDIN_FILENO, &saved) != 0)
        return false;
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    std::fputs("Password: ", stderr);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    bool got = static_cast<bool>(std::getline(std::cin, line));
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fputs("\n", stderr);
    return got;
}

// The password from --password-file (its first line) or from standard input
// (the first line): never from the command line, where others could see it.
bool read_password(const Invocation &invocation, SecretText &password) {
    if (invocation.has("--password-file")) {
        const std::string file = invocation.option("--password-file");
        SecretText whole;
        if (int error = files::read_whole(file, whole.text)) {
            fail("cannot read " + file + ": " + std::strerror(error));
            return false;
        }
        password.text = first_line(whole.text);
        return true;
    }
    if (::isatty(STDIN_FILENO) ? read_from_terminal(password.text)
                               : static_cast<bool>(std::getline(std::cin, password.text)))
        return true;
    fail("no password on standard input");
    return false;
}

bool have_registry() {
    reg::Database database;
    return reg::load(database) != 0 || reg::chosen(database) != nullptr;
}

// A failed change, with a hint when the cause is that no registry exists.
int changed(const std::string &what, int result) {
    if (result == 0)
        return 0;
    if (result == YORBAT_NOT_FOUND && !have_registry())
        return fail(what + ": there is no registry yet (setup-broker, or registry add --kind 2)");
    return fail(what, result);
}

int add_principal(std::string_view domain, const std::string &name, const Invocation &invocation) {
    SecretText password;
    if (!read_password(invocation, password))
        return 1;
    const std::string what = invocation.command + " " + name;
    // The domain is made on first use.
    int made = reg::create_domain(0, domain);
    if (made != 0 && made != YORBAT_DOMAIN_EXISTS)
        return changed(what, made);
    return changed(what, reg::create_principal(0, domain, name, password.text, 1));
}

bool refuse_machine_domain(const std::string &domain) {
    if (!domain.starts_with(kMachines))
        return false;
    fail("machines live in " + std::string(kMachines) + ": use machine add or machine remove");
    return true;
}

// Runs `show` on the registry the lookups use.
template <typename Show>
int with_chosen_registry(const std::string &what, Show show) {
    reg::Database database;
    if (int failed = reg::load(database))
        return fail(what, failed);
    reg::Registry *registry = reg::chosen(database);
    if (!registry)
        return changed(what, YORBAT_NOT_FOUND);
    return show(*registry);
}

int registry_add(const Invocation &invocation) {
    const std::string kind = invocation.option("--kind");
    if (kind != "1" && kind != "2")
        return fail("registry add: --kind must be 1 or 2");
    long id = 0;
    if (int failed = reg::add_registry(kind[0] - '0', id))
        return fail("registry add", failed);
    std::printf("registry %ld (kind %s)\n", id, kind.c_str());
    return 0;
}

int registry_list(const Invocation &) {
    reg::Database database;
    if (int failed = reg::load(database))
        return fail("registry list", failed);
    const reg::Registry *used = reg::chosen(database);
    for (const reg::Registry &registry : database.registries)
        std::printf("registry %ld kind %d, %zu domain(s)%s\n", registry.id, registry.kind,
                    registry.domains.size(), &registry == used ? ", used by lookups" : "");
    return 0;
}

int domain_add(const Invocation &invocation) {
    const std::string &name = invocation.words[0];
    return changed("domain add " + name, reg::create_domain(0, name));
}

int domain_remove(const Invocation &invocation) {
    const std::string &name = invocation.words[0];
    return changed("domain remove " + name, reg::delete_domain(0, name));
}

int domain_list(const Invocation &) {
    return with_chosen_registry("domain list", [](const reg::Registry &registry) {
        for (const reg::Domain &domain : registry.domains)
            std::printf("%s\t%s\t%zu principal(s)\n", domain.name.c_str(), reg::qualified_name(domain).c_str(),
                        domain.principals.size());
        return 0;
    });
}

int user_add(const Invocation &invocation) {
    if (refuse_machine_domain(invocation.words[0]))
        return 1;
    return add_principal(invocation.words[0], invocation.words[1], invocation);
}

int user_remove(const Invocation &invocation) {
    const std::string &domain = invocation.words[0], &name = invocation.words[1];
    if (refuse_machine_domain(domain))
        return 1;
    return changed("user remove " + name, reg::delete_principal(0, domain, name));
}

int user_list(const Invocation &invocation) {
    const std::string what = "user list " + invocation.words[0];
    return with_chosen_registry(what, [&](reg::Registry &registry) {
        const reg::Domain *domain = reg::domain_by_name(registry, invocation.words[0]);
        if (!domain)
            return fail(what, YORBAT_NOT_FOUND);
        for (const reg::Principal &principal : domain->principals)
            std::printf("%s\tnumber %ld\tflag %ld\n", principal.name.c_str(), principal.number, principal.flag);
        return 0;
    });
}

int machine_add(const Invocation &invocation) { return add_principal(kMachines, invocation.words[0], invocation); }

int machine_remove(const Invocation &invocation) {
    const std::string &name = invocation.words[0];
    return changed("machine remove " + name, reg::delete_principal(0, kMachines, name));
}

}  // namespace

std::vector<Command> registry_commands() {
    const std::vector<std::string_view> password{"--password-file"};
    return {
        {"registry add", "--kind 1|2", "Adds a registry of that kind.", 0, {"--kind"}, {}, registry_add},
        {"registry list", "", "Lists the registries; lookups use the first of kind 2, else the last of kind 1.",
         0, {}, {}, registry_list},
        {"domain add", "NAME", "Adds a private domain.", 1, {}, {}, domain_add},
        {"domain remove", "NAME", "Removes a domain and its principals.", 1, {}, {}, domain_remove},
        {"domain list", "", "Lists the domains with their qualified names.", 0, {}, {}, domain_list},
        {"user add", "DOMAIN NAME [--password-file FILE]",
         "Adds a user (the domain is made on first use); the password is the first line of FILE or of "
         "standard input.",
         2, password, {}, user_add},
        {"user remove", "DOMAIN NAME", "Removes a user.", 2, {}, {}, user_remove},
        {"user list", "DOMAIN", "Lists the principals of a domain.", 1, {}, {}, user_list},
        {"machine add", "NAME [--password-file FILE]",
         "Adds a machine to CRW_Machines (made on first use); the password as for user add.", 1, password, {},
         machine_add},
        {"machine remove", "NAME", "Removes a machine.", 1, {}, {}, machine_remove},
    };
}

}  // namespace yorbat::admin
