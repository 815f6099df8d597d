// The registry file: its line format, strict parsing, locked atomic
// updates, the names it accepts, the qualified host and password hashes.
//
// The file is tab-separated lines, each record under the one before it:
//   yorbat-pdr <TAB> 1
//   registry <TAB> ID <TAB> KIND <TAB> NEXT-NUMBER
//   domain <TAB> SHORT-NAME
//   principal <TAB> NAME <TAB> FLAG <TAB> NUMBER <TAB> ITERATIONS <TAB> SALT <TAB> HASH
//   end
// Names carry no control characters, so a tab never appears inside one;
// salt and hash are lower-case hex. The closing "end" line makes a cut-off
// file fail to parse.
#include <netdb.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <fcntl.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <climits>
#include <set>

#include "yorbat_registry.h"

namespace yorbat::registry {
namespace {

constexpr std::string_view kHeader = "yorbat-pdr\t1";
constexpr size_t kMaxDomainName = 64;
constexpr size_t kMaxPrincipalName = 256;
constexpr long kIterations = 100000;
constexpr long kMaxIterations = 10000000;
constexpr size_t kSaltBytes = 16;
constexpr size_t kHashBytes = 32;

// ---- Writing.

std::string hex(std::string_view bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char byte : bytes) {
        out += digits[byte >> 4];
        out += digits[byte & 0xf];
    }
    return out;
}

void append_line(std::string &out, std::initializer_list<std::string_view> fields) {
    bool first = true;
    for (std::string_view field : fields) {
        if (!first)
            out += '\t';
        out += field;
        first = false;
    }
    out += '\n';
}

// ---- Reading: every field must be exactly what format() writes.

std::vector<std::string_view> split(std::string_view line, char separator) {
    std::vector<std::string_view> fields;
    for (;;) {
        size_t at = line.find(separator);
        fields.push_back(line.substr(0, at));
        if (at == std::string_view::npos)
            return fields;
        line.remove_prefix(at + 1);
    }
}

// A decimal number in the form std::to_string writes it.
bool parse_number(std::string_view text, long low, long high, long &out) {
    if (text.empty())
        return false;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out);
    return error == std::errc{} && end == text.data() + text.size() && out >= low && out <= high &&
           std::to_string(out) == text;
}

bool parse_hex(std::string_view text, size_t bytes, std::string &out) {
    if (text.size() != bytes * 2)
        return false;
    out.clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        int value = 0;
        for (char c : text.substr(i, 2)) {
            int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
            if (digit < 0)
                return false;
            value = value * 16 + digit;
        }
        out += static_cast<char>(value);
    }
    return true;
}

bool printable_name(std::string_view name, size_t longest) {
    return !name.empty() && name.size() <= longest &&
           std::none_of(name.begin(), name.end(), [](char c) {
               auto byte = static_cast<unsigned char>(c);
               return byte < 0x20 || byte == 0x7f || c == '/';
           });
}

// Parses the records after the header, holding every rule format() keeps.
class Parser {
public:
    explicit Parser(Database &out) : database_(out) {}

    bool line(std::string_view text) {
        std::vector<std::string_view> fields = split(text, '\t');
        if (fields[0] == "registry" && fields.size() == 4)
            return registry(fields);
        if (fields[0] == "domain" && fields.size() == 2)
            return domain(fields[1]);
        if (fields[0] == "principal" && fields.size() == 7)
            return principal(fields);
        return false;
    }

private:
    bool registry(const std::vector<std::string_view> &fields) {
        Registry made;
        long kind = 0;
        if (!parse_number(fields[1], 1, LONG_MAX, made.id) || !parse_number(fields[2], 1, 2, kind) ||
            !parse_number(fields[3], kFirstPrincipalNumber, LONG_MAX, made.next_number) ||
            !registry_ids_.insert(made.id).second)
            return false;
        made.kind = static_cast<int>(kind);
        database_.registries.push_back(std::move(made));
        numbers_.clear();
        domain_names_.clear();
        principal_names_.clear();
        return true;
    }

    bool domain(std::string_view name) {
        if (database_.registries.empty() || !valid_domain_name(name) || name.find('@') != name.npos)
            return false;
        if (!domain_names_.insert(name).second)
            return false;
        database_.registries.back().domains.push_back(Domain{std::string(name), {}});
        principal_names_.clear();
        return true;
    }

    bool principal(const std::vector<std::string_view> &fields) {
        if (database_.registries.empty() || database_.registries.back().domains.empty())
            return false;
        Registry &registry = database_.registries.back();
        Domain &owner = registry.domains.back();
        Principal made;
        made.name = fields[1];
        if (!valid_principal_name(fields[1]) || !principal_names_.insert(fields[1]).second ||
            !parse_number(fields[2], LONG_MIN, LONG_MAX, made.flag) ||
            !parse_number(fields[3], kFirstPrincipalNumber, registry.next_number - 1, made.number) ||
            !parse_number(fields[4], 1, kMaxIterations, made.iterations) ||
            !parse_hex(fields[5], kSaltBytes, made.salt) || !parse_hex(fields[6], kHashBytes, made.hash) ||
            !numbers_.insert(made.number).second)
            return false;
        owner.principals.push_back(std::move(made));
        return true;
    }

    Database &database_;
    std::set<long> registry_ids_;
    std::set<long> numbers_;                      // of the current registry
    std::set<std::string_view> domain_names_;     // of the current registry
    std::set<std::string_view> principal_names_;  // of the current domain
};

int parse_lines(std::string_view text, Database &out) {
    if (!text.ends_with('\n'))
        return YORBAT_REGISTRY_DAMAGED;
    text.remove_suffix(1);
    std::vector<std::string_view> lines = split(text, '\n');
    if (lines.size() < 2 || lines.front() != kHeader || lines.back() != "end")
        return YORBAT_REGISTRY_DAMAGED;
    Database parsed;
    Parser parser(parsed);
    for (size_t i = 1; i + 1 < lines.size(); ++i)
        if (!parser.line(lines[i]))
            return YORBAT_REGISTRY_DAMAGED;
    out = std::move(parsed);
    return YORBAT_OK;
}

int errno_result(int error, int otherwise) noexcept {
    return error == ENOMEM ? YORBAT_NO_MEMORY : otherwise;
}

// Creates HOME and HOME/registry (private) when missing.
int make_registry_directory() {
    const std::string file = registry_file();
    const std::string dir = file.substr(0, file.rfind('/'));
    const std::string parent = dir.substr(0, dir.rfind('/'));
    if (!parent.empty() && ::mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST)
        return errno;
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return errno;
    return 0;
}

int lock_exclusively(files::Descriptor &lock) {
    if (int failed = make_registry_directory())
        return failed;
    const std::string file = registry_file();
    const std::string path = file.substr(0, file.rfind('/')) + "/pdr.lock";
    files::Descriptor opened(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (opened.get() < 0)
        return errno;
    while (::flock(opened.get(), LOCK_EX) != 0)
        if (errno != EINTR)
            return errno;
    lock = std::move(opened);
    return 0;
}

std::string lower(std::string text) {
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string canonical_local_host() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return "localhost";
    addrinfo hints{};
    hints.ai_flags = AI_CANONNAME;
    addrinfo *found = nullptr;
    std::string canonical = name;
    if (::getaddrinfo(name, nullptr, &hints, &found) == 0) {
        if (found && found->ai_canonname && *found->ai_canonname)
            canonical = found->ai_canonname;
        ::freeaddrinfo(found);
    }
    return canonical;
}

bool derive(std::string_view password, const std::string &salt, long iterations, std::string &hash) {
    unsigned char out[kHashBytes];
    if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                          reinterpret_cast<const unsigned char *>(salt.data()), static_cast<int>(salt.size()),
                          static_cast<int>(iterations), EVP_sha256(), sizeof out, out) != 1)
        return false;
    hash.assign(reinterpret_cast<const char *>(out), sizeof out);
    OPENSSL_cleanse(out, sizeof out);
    return true;
}

}  // namespace

std::string format(const Database &database) {
    std::string out;
    append_line(out, {kHeader});
    for (const Registry &registry : database.registries) {
        append_line(out, {"registry", std::to_string(registry.id), std::to_string(registry.kind),
                          std::to_string(registry.next_number)});
        for (const Domain &domain : registry.domains) {
            append_line(out, {"domain", domain.name});
            for (const Principal &p : domain.principals)
                append_line(out, {"principal", p.name, std::to_string(p.flag), std::to_string(p.number),
                                  std::to_string(p.iterations), hex(p.salt), hex(p.hash)});
        }
    }
    append_line(out, {"end"});
    return out;
}

int parse(std::string_view text, Database &out) noexcept {
    try {
        return parse_lines(text, out);
    } catch (const std::bad_alloc &) {
        return YORBAT_NO_MEMORY;
    }
}

int load(Database &out) noexcept {
    try {
        std::string text;
        if (int failed = files::read_whole(registry_file(), text)) {
            if (failed != ENOENT)
                return errno_result(failed, YORBAT_INTERNAL_FAILURE);
            out = Database{};
            return YORBAT_OK;
        }
        return parse_lines(text, out);
    } catch (const std::bad_alloc &) {
        return YORBAT_NO_MEMORY;
    }
}

int update(const std::function<int(Database &)> &change, int write_failure) noexcept {
    try {
        files::Descriptor lock;
        if (int failed = lock_exclusively(lock))
            return errno_result(failed, write_failure);
        Database database;
        if (int failed = load(database))
            return failed;
        if (int refused = change(database))
            return refused;
        const std::string file = registry_file();
        files::remove_stale_temporaries(file);
        if (int failed = files::write_atomically(file, format(database), 0600))
            return errno_result(failed, write_failure);
        return YORBAT_OK;
    } catch (const std::bad_alloc &) {
        return YORBAT_NO_MEMORY;
    }
}

Registry *chosen(Database &database) noexcept {
    Registry *last_of_kind_1 = nullptr;
    for (Registry &registry : database.registries) {
        if (registry.kind == 2)
            return &registry;
        if (registry.kind == 1)
            last_of_kind_1 = &registry;
    }
    return last_of_kind_1;
}

Registry *registry_by_id(Database &database, long id) noexcept {
    for (Registry &registry : database.registries)
        if (registry.id == id)
            return &registry;
    return nullptr;
}

Domain *domain_by_name(Registry &registry, std::string_view name) {
    size_t at = name.find('@');
    if (at != name.npos && lower(std::string(name.substr(at + 1))) != qualified_host())
        return nullptr;
    name = name.substr(0, at);
    for (Domain &domain : registry.domains)
        if (domain.name == name)
            return &domain;
    return nullptr;
}

Principal *principal_by_name(Domain &domain, std::string_view name) noexcept {
    for (Principal &principal : domain.principals)
        if (principal.name == name)
            return &principal;
    return nullptr;
}

bool valid_domain_name(std::string_view name) noexcept {
    return printable_name(name.substr(0, name.find('@')), kMaxDomainName);
}

bool valid_principal_name(std::string_view name) noexcept { return printable_name(name, kMaxPrincipalName); }

std::string qualified_host() {
    std::string named;
    if (files::read_whole(broker_dir() + "/host", named) == 0) {
        named = named.substr(0, named.find('\n'));
        while (!named.empty() && std::isspace(static_cast<unsigned char>(named.back())))
            named.pop_back();
        if (!named.empty())
            return lower(named);
    }
    return lower(canonical_local_host());
}

std::string qualified_name(const Domain &domain) { return domain.name + "@" + qualified_host(); }

int check_password_rules(std::string_view password) noexcept {
    if (password.size() < 6)
        return YORBAT_PASSWORD_TOO_SHORT;
    if (password.size() > 1024)
        return YORBAT_PASSWORD_TOO_LONG;
    return YORBAT_OK;
}

int set_password(Principal &principal, std::string_view password) noexcept {
    try {
        unsigned char salt[kSaltBytes];
        if (RAND_bytes(salt, sizeof salt) != 1)
            return YORBAT_INTERNAL_FAILURE;
        std::string salt_text(reinterpret_cast<const char *>(salt), sizeof salt), hash;
        if (!derive(password, salt_text, kIterations, hash))
            return YORBAT_INTERNAL_FAILURE;
        principal.salt = std::move(salt_text);
        principal.hash = std::move(hash);
        principal.iterations = kIterations;
        return YORBAT_OK;
    } catch (const std::bad_alloc &) {
        return YORBAT_NO_MEMORY;
    }
}

bool password_matches(const Principal &principal, std::string_view password) noexcept {
    try {
        std::string hash;
        return derive(password, principal.salt, principal.iterations, hash) &&
               hash.size() == principal.hash.size() &&
               CRYPTO_memcmp(hash.data(), principal.hash.data(), hash.size()) == 0;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

}  // namespace yorbat::registry
