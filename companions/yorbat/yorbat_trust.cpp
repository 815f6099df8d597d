// The trust store: the roots this host trusts, one PEM file each in
// trust_dir(), named after the root's subject hash ("HASH.N.pem", N telling
// apart roots whose subjects hash alike). Files are written whole or not at
// all: a temporary file in the same directory, synced, then renamed.
#include <dirent.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "yorbat_files.h"
#include "yorbat_tls.h"

namespace yorbat::trust {
namespace {

struct DirectoryClose {
    void operator()(DIR *dir) const noexcept { closedir(dir); }
};

struct StoredRoot {
    std::string path;
    x509::Credential root;
};

// Every readable root in the store, in file-name order. False only when
// the directory exists but cannot be read.
bool load(std::vector<StoredRoot> &roots) {
    std::string dir = trust_dir();
    std::unique_ptr<DIR, DirectoryClose> listing(opendir(dir.c_str()));
    if (!listing)
        return errno == ENOENT;
    std::vector<std::string> names;
    while (const dirent *entry = readdir(listing.get())) {
        std::string_view name = entry->d_name;
        if (name.ends_with(".pem") && name.front() != '.')
            names.emplace_back(name);
    }
    std::sort(names.begin(), names.end());
    for (const std::string &name : names) {
        StoredRoot stored{dir + "/" + name, {}};
        std::string text;
        if (files::read_whole(stored.path, text) == 0 &&
            x509::Credential::parse_certificate(text, stored.root) == YORBAT_OK)
            roots.push_back(std::move(stored));
    }
    return true;
}

// Writes `text` as a new file "STEM.N.pem", the first N free, whole or not at all.
bool write_new_file(const std::string &stem, std::string_view text) {
    for (int counter = 0; counter < 1000; ++counter) {
        std::string path = stem + "." + std::to_string(counter) + ".pem";
        int failed = files::write_atomically(path, text, 0644, false);
        if (failed != EEXIST)
            return failed == 0;
    }
    return false;
}

bool make_directory(const std::string &dir) {
    for (size_t slash = dir.find('/', 1); slash != std::string::npos; slash = dir.find('/', slash + 1)) {
        std::string part = dir.substr(0, slash);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    return mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST;
}

// A certificate that signed itself and may sign others.
bool is_self_signed_ca(X509 *cert) {
    EVP_PKEY *key = X509_get0_pubkey(cert);
    bool valid = X509_check_issued(cert, cert) == X509_V_OK && X509_check_ca(cert) >= 1 && key &&
                 X509_verify(cert, key) == 1;
    ERR_clear_error();
    return valid;
}

std::string file_stem(const std::string &dir, X509 *cert) {
    char hash[16];
    std::snprintf(hash, sizeof hash, "%08lx", X509_NAME_hash_ex(X509_get_subject_name(cert), nullptr, nullptr, nullptr));
    return dir + "/" + hash;
}

}  // namespace

int list(std::vector<std::string> &roots_pem) noexcept {
    try {
        std::vector<StoredRoot> roots;
        if (!load(roots))
            return YORBAT_CONFIGURATION_DAMAGED;
        roots_pem.clear();
        for (const StoredRoot &stored : roots)
            roots_pem.push_back(stored.root.certificate_pem());
        return YORBAT_OK;
    } catch (const std::bad_alloc &) {
        return YORBAT_NO_MEMORY;
    }
}

int add(const std::string &root_pem) noexcept {
    x509::Credential root;
    if (x509::Credential::parse_certificate(root_pem, root) != YORBAT_OK || !is_self_signed_ca(root.certificate()))
        return YORBAT_ROOT_REJECTED;
    try {
        std::vector<StoredRoot> roots;
        std::string dir = trust_dir();
        if (!make_directory(dir) || !load(roots))
            return YORBAT_TRUST_STORE_FAILED;
        for (const StoredRoot &stored : roots)
            if (X509_cmp(stored.root.certificate(), root.certificate()) == 0)
                return YORBAT_OK;
        return write_new_file(file_stem(dir, root.certificate()), root.certificate_pem())
                   ? YORBAT_OK
                   : YORBAT_TRUST_STORE_FAILED;
    } catch (const std::bad_alloc &) {
        return YORBAT_NO_MEMORY;
    }
}

int remove(const std::string &root_pem) noexcept {
    x509::Credential root;
    if (x509::Credential::parse_certificate(root_pem, root) != YORBAT_OK)
        return YORBAT_NOT_FOUND;
    try {
        std::vector<StoredRoot> roots;
        if (!load(roots))
            return YORBAT_TRUST_STORE_FAILED;
        bool removed = false;
        for (const StoredRoot &stored : roots) {
            if (X509_cmp(stored.root.certificate(), root.certificate()) != 0)
                continue;
            if (unlink(stored.path.c_str()) != 0)
                return YORBAT_TRUST_STORE_FAILED;
            removed = true;
        }
        if (removed)
            files::sync_directory(trust_dir());
        return removed ? YORBAT_OK : YORBAT_NOT_FOUND;
    } catch (const std::bad_alloc &) {
        return YORBAT_NO_MEMORY;
    }
}

}  // namespace yorbat::trust
