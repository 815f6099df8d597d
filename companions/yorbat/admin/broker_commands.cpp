// The broker's authority, machine credentials and the trust store.
#include <openssl/crypto.h>
#include <openssl/objects.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "admin.h"
#include "yorbat_registry.h"
#include "yorbat_tls.h"
#include "yorbat_x509.h"

namespace yorbat::admin {
namespace {

constexpr long kSecondsPerDay = 86400;
constexpr long kRootDays = 3650;
constexpr long kMachineDays = 365;

std::string root_path() { return broker_dir() + "/root.pem"; }

bool make_directory(const std::string &dir, mode_t mode) {
    return ::mkdir(dir.c_str(), mode) == 0 || errno == EEXIST;
}

int write_file(const std::string &what, const std::string &path, std::string_view content, mode_t mode) {
    if (int error = files::write_atomically(path, content, mode))
        return fail(what + ": cannot write " + path + ": " + std::strerror(error));
    return 0;
}

// A host name as it goes into names and files: printable, no separators, lower case.
bool host_name(std::string text, std::string &out) {
    if (text.empty() || text.size() > 253 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_'; }))
        return false;
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); });
    out = std::move(text);
    return true;
}

int load_root(const std::string &what, x509::Credential &root) {
    std::string pem;
    if (files::read_whole(root_path(), pem) != 0)
        return fail(what + ": no broker root in " + broker_dir() + " (run setup-broker first)");
    if (int failed = x509::Credential::parse(pem, root))
        return fail(what + ": " + root_path(), failed);
    if (!root.key())
        return fail(what + ": " + root_path(), YORBAT_NO_PRIVATE_KEY);
    return 0;
}

// A replaced root is no longer trusted here.
void forget_old_root() {
    std::string pem;
    x509::Credential old;
    if (files::read_whole(root_path(), pem) == 0 && x509::Credential::parse_certificate(pem, old) == 0)
        trust::remove(old.certificate_pem());
}

// A registry of kind 2 for a fresh install, so lookups have one to use.
int ensure_registry(const std::string &what) {
    registry::Database database;
    if (int failed = registry::load(database))
        return fail(what, failed);
    long id = 0;
    if (!database.registries.empty())
        return 0;
    if (int failed = registry::add_registry(2, id))
        return fail(what + ": registry", failed);
    return 0;
}

int setup_broker(const Invocation &invocation) {
    const std::string what = "setup-broker";
    std::string host;
    long days = 0;
    if (!host_name(invocation.option("--host"), host))
        return fail(what + ": --host needs a host name (letters, digits, '.', '-', '_')");
    if (!days_option(invocation, kRootDays, days))
        return fail(what + ": --days needs a number of days");
    struct stat existing {};
    if (::stat(root_path().c_str(), &existing) == 0 && !invocation.has("--force"))
        return fail(what + ": a broker root exists in " + broker_dir() + " (--force replaces it)");
    if (!make_directory(home(), 0755) || !make_directory(broker_dir(), 0700))
        return fail(what + ": cannot create " + broker_dir() + ": " + std::strerror(errno));

    std::string root_pem, broker_pem;
    x509::Credential root;
    if (int failed = x509::make_root(host, days * kSecondsPerDay, root_pem))
        return fail(what + ": root", failed);
    if (int failed = x509::Credential::parse(root_pem, root))
        return fail(what + ": root", failed);
    if (int failed = x509::issue(root, {"yq", "YORBat@" + host, host}, days * kSecondsPerDay, broker_pem))
        return fail(what + ": broker credential", failed);
    // The root goes last: until it is there, setup-broker may simply run again.
    if (write_file(what, broker_dir() + "/host", host + "\n", 0644) ||
        write_file(what, broker_dir() + "/broker.pem", broker_pem, 0600))
        return 1;
    forget_old_root();
    if (int failed = trust::add(root.certificate_pem()))
        return fail(what + ": trust", failed);
    if (write_file(what, root_path(), root_pem, 0600) || ensure_registry(what))
        return 1;
    std::printf("broker %s set up in %s\n", host.c_str(), broker_dir().c_str());
    return 0;
}

int issue_machine(const Invocation &invocation) {
    const std::string &name = invocation.words[0];
    const std::string what = "issue-machine " + name, out = invocation.option("--out");
    long days = 0;
    if (out.empty())
        return fail(what + ": --out FILE is required");
    if (!days_option(invocation, kMachineDays, days))
        return fail(what + ": --days needs a number of days");
    if (!registry::valid_principal_name(name))
        return fail(what, YORBAT_PRINCIPAL_NAME_INVALID);
    x509::Credential root;
    if (load_root(what, root))
        return 1;
    std::string pem;
    const x509::Principal machine{"yq", "CRW_Machines@" + registry::qualified_host(), name};
    if (int failed = x509::issue(root, machine, days * kSecondsPerDay, pem))
        return fail(what, failed);
    return write_file(what, out, pem, 0600);
}

struct SubjectText {
    void operator()(char *text) const noexcept { OPENSSL_free(text); }
};

std::string subject_of(const x509::Credential &root) {
    std::unique_ptr<char, SubjectText> text(X509_NAME_oneline(X509_get_subject_name(root.certificate()), nullptr, 0));
    return text ? text.get() : "?";
}

std::string organization_of(const x509::Credential &root) {
    char text[256] = {};
    int length = X509_NAME_get_text_by_NID(X509_get_subject_name(root.certificate()), NID_organizationName, text,
                                           sizeof text);
    return length > 0 ? std::string(text, static_cast<size_t>(length)) : std::string();
}

// The trusted roots, parsed.
int trusted_roots(const std::string &what, std::vector<x509::Credential> &roots) {
    std::vector<std::string> pems;
    if (int failed = trust::list(pems))
        return fail(what, failed);
    for (const std::string &pem : pems) {
        x509::Credential root;
        if (x509::Credential::parse_certificate(pem, root) == 0)
            roots.push_back(std::move(root));
    }
    return 0;
}

int trust_add(const Invocation &invocation) {
    const std::string &file = invocation.words[0];
    std::string pem;
    if (int error = files::read_whole(file, pem))
        return fail("trust add: cannot read " + file + ": " + std::strerror(error));
    if (int failed = trust::add(pem))
        return fail("trust add " + file, failed);
    return 0;
}

int trust_list(const Invocation &) {
    std::vector<x509::Credential> roots;
    if (trusted_roots("trust list", roots))
        return 1;
    for (const x509::Credential &root : roots) {
        x509::Info info;
        root.info(info);
        std::printf("%s\texpires %s\n", subject_of(root).c_str(), info.expiry.c_str());
    }
    return 0;
}

int trust_remove(const Invocation &invocation) {
    const std::string what = "trust remove " + invocation.words[0];
    std::string host;
    if (!host_name(invocation.words[0], host))
        return fail(what + ": not a host name");
    std::vector<x509::Credential> roots;
    if (trusted_roots(what, roots))
        return 1;
    int removed = 0;
    for (const x509::Credential &root : roots) {
        std::string organization = organization_of(root);
        if (organization.size() != 7 + host.size() || !organization.starts_with("YORBat@") ||
            ::strcasecmp(organization.c_str() + 7, host.c_str()) != 0)
            continue;
        if (int failed = trust::remove(root.certificate_pem()))
            return fail(what, failed);
        ++removed;
    }
    if (removed == 0)
        return fail(what, YORBAT_NOT_FOUND);
    std::printf("%d root(s) removed\n", removed);
    return 0;
}

}  // namespace

std::vector<Command> broker_commands() {
    return {
        {"setup-broker", "--host HOST [--days N] [--force]",
         "Makes the broker's root and TLS credential for HOST, trusts the root and adds a registry of kind 2 "
         "when there is none. Refuses when a root exists, unless --force.",
         0, {"--host", "--days"}, {"--force"}, setup_broker},
        {"issue-machine", "NAME --out FILE [--days N]",
         "Issues a machine credential for NAME in CRW_Machines with the local broker's root, into FILE "
         "(mode 0600).",
         1, {"--out", "--days"}, {}, issue_machine},
        {"trust add", "FILE", "Trusts the root certificate in FILE.", 1, {}, {}, trust_add},
        {"trust list", "", "Lists the trusted roots: subject, expiry.", 0, {}, {}, trust_list},
        {"trust remove", "BROKERHOST", "Stops trusting the roots of the broker on BROKERHOST.", 1, {}, {},
         trust_remove},
    };
}

}  // namespace yorbat::admin
