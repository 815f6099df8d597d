// The shared machinery of the authentication library and its five basic
// entry points: context set-up and tear-down, connection-library set-up,
// and yorbAtFree.
#include "yorbat_core.h"

#include <dlfcn.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <unordered_map>

#include "yq_paths.h"

namespace yorbat {
namespace {

struct Entry {
    void *owner;
    Releaser release;
    void *handle;  // the name it was handed out under (differs for an alias)
};

// Every name of an object handed out and not yet released: handles and
// their aliases. Under the state lock in the threaded build.
struct ObjectTable {
    StateMutex mutex;
    std::unordered_map<void *, Entry> entries;
    std::unordered_multimap<void *, void *> aliases;  // handle -> alias
};

// Never destroyed: callers may release objects from their own static
// destructors, after this library's would have run.
ObjectTable &objects() {
    static ObjectTable *table = new ObjectTable;
    return *table;
}

}  // namespace

bool hand_out(void *handle, void *owner, Releaser release_owner) noexcept {
    ObjectTable &table = objects();
    try {
        StateLock lock(table.mutex);
        table.entries.emplace(handle, Entry{owner, release_owner, handle});
        return true;
    } catch (const std::bad_alloc &) {
        release_owner(owner);
        return false;
    }
}

bool add_alias(void *alias, void *handle) noexcept {
    ObjectTable &table = objects();
    try {
        StateLock lock(table.mutex);
        auto found = table.entries.find(handle);
        if (found == table.entries.end())
            return false;
        table.entries.emplace(alias, found->second);
        table.aliases.emplace(found->second.handle, alias);
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

bool release(void *handle) noexcept {
    Entry entry{};
    {
        ObjectTable &table = objects();
        StateLock lock(table.mutex);
        auto found = table.entries.find(handle);
        if (found == table.entries.end())
            return false;
        entry = found->second;
        // Forget every name of the owner: its handle and the handle's aliases.
        auto [first, last] = table.aliases.equal_range(entry.handle);
        for (auto alias = first; alias != last; ++alias)
            table.entries.erase(alias->second);
        table.aliases.erase(first, last);
        table.entries.erase(entry.handle);
    }
    entry.release(entry.owner);
    return true;
}

void *owner_of(void *handle, Releaser release_owner) noexcept {
    ObjectTable &table = objects();
    StateLock lock(table.mutex);
    auto found = table.entries.find(handle);
    if (found == table.entries.end() || found->second.release != release_owner)
        return nullptr;
    return found->second.owner;
}

namespace {

void free_text(void *text) noexcept { std::free(text); }

struct TextList {
    std::vector<std::string> texts;
    std::vector<char *> pointers;  // into texts, then a terminating null
};

}  // namespace

char *hand_out_text(std::string_view text) noexcept {
    auto *copy = static_cast<char *>(std::malloc(text.size() + 1));
    if (!copy)
        return nullptr;
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return hand_out(copy, copy, free_text) ? copy : nullptr;
}

int hand_out_text_list(const std::vector<std::string> &texts, char ***list, int *count) noexcept {
    *list = nullptr;
    *count = 0;
    try {
        auto owner = std::make_unique<TextList>();
        owner->texts = texts;
        for (std::string &text : owner->texts)
            owner->pointers.push_back(text.data());
        owner->pointers.push_back(nullptr);
        char **array = owner->pointers.data();
        if (!hand_out(std::move(owner), array))
            return YORBAT_NO_MEMORY;
        if (array[0] && !add_alias(array[0], array)) {
            release(array);
            return YORBAT_NO_MEMORY;
        }
        *list = array;
        *count = static_cast<int>(texts.size());
        return YORBAT_OK;
    } catch (const std::bad_alloc &) {
        return YORBAT_NO_MEMORY;
    }
}

// ---- Fault seam.

namespace {

StateMutex fault_mutex;
std::map<std::string, long> *fault_calls_used;  // control line -> calls answered

}  // namespace

int injected_result(const char *entry) noexcept {
    const char *control = std::getenv("YORBAT_FAULTS");
    if (!control || !*control)
        return 0;
    try {
        std::ifstream file(control);
        std::string line;
        while (std::getline(file, line)) {
            std::istringstream fields(line);
            std::string name, result_text;
            long calls = -1;
            if (!(fields >> name >> result_text) || name != entry)
                continue;
            fields >> calls;
            int result = static_cast<int>(std::strtol(result_text.c_str(), nullptr, 0));
            StateLock lock(fault_mutex);
            if (!fault_calls_used)
                fault_calls_used = new std::map<std::string, long>;
            long &used = (*fault_calls_used)[line];
            if (calls >= 0 && used >= calls)
                continue;
            ++used;
            return result;
        }
    } catch (const std::exception &) {
    }
    return 0;
}

// ---- Install directory.

namespace {

StateMutex home_mutex;
std::string *home_override;

// The directory above "lib/" when this code runs from lib/libyorbat*.so.
std::string home_of_loaded_library() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void *>(&yorbAtInit), &info) || !info.dli_fname)
        return {};
    std::string_view path = info.dli_fname;
    size_t slash = path.rfind('/');
    if (slash == std::string_view::npos || !path.substr(slash + 1).starts_with("libyorbat"))
        return {};
    std::string_view dir = path.substr(0, slash);
    if (!dir.ends_with("/lib"))
        return {};
    dir.remove_suffix(4);
    return std::string(dir.empty() ? "/" : dir);
}

}  // namespace

void set_home(std::string dir) {
    StateLock lock(home_mutex);
    if (!home_override)
        home_override = new std::string;
    *home_override = std::move(dir);
}

std::string home() {
    {
        StateLock lock(home_mutex);
        if (home_override)
            return *home_override;
    }
    if (const char *env = std::getenv("YORBAT_HOME"); env && *env)
        return env;
    std::string loaded = home_of_loaded_library();
    return loaded.empty() ? YQ_PATH_YORBAT_HOME : loaded;
}

std::string trust_dir() { return home() + "/trust"; }
std::string registry_file() { return home() + "/registry/pdr.db"; }
std::string broker_dir() { return home() + "/broker"; }

// ---- The own-credential store.

namespace store {
namespace {
StateMutex store_mutex;
std::vector<std::string> *credentials;  // never destroyed, as the object table
}  // namespace

void remember(const std::string &credential_pem) {
    StateLock lock(store_mutex);
    if (!credentials)
        credentials = new std::vector<std::string>;
    std::erase(*credentials, credential_pem);
    credentials->push_back(credential_pem);
}

std::vector<std::string> snapshot() {
    StateLock lock(store_mutex);
    return credentials ? *credentials : std::vector<std::string>{};
}

void replace(std::vector<std::string> kept) {
    StateLock lock(store_mutex);
    if (!credentials)
        credentials = new std::vector<std::string>;
    *credentials = std::move(kept);
}
}  // namespace store

// ---- Contexts.

Context *context_of(void *context) noexcept {
    return context ? owner_as<Context>(context) : nullptr;
}

}  // namespace yorbat

using namespace yorbat;

extern "C" {

int yorbAtInit(int flags, void **context) noexcept {
    YORBAT_FAULT_SEAM();
    if (flags != 0 || !context)
        return YORBAT_INVALID_ARGUMENT;
    *context = nullptr;
    try {
        auto owner = std::make_unique<Context>();
        Context *made = owner.get();
        if (!hand_out(std::move(owner), made))
            return YORBAT_NO_MEMORY;
        *context = made;
        return YORBAT_OK;
    } catch (const std::bad_alloc &) {
        return YORBAT_NO_MEMORY;
    }
}

int yorbAtTerminate(void *context) noexcept {
    YORBAT_FAULT_SEAM();
    if (!context_of(context))
        return YORBAT_NOT_INITIALIZED;
    release(context);
    return YORBAT_OK;
}

// The connection library is OpenSSL; the context argument is unused.
int yorbAtConnLibraryInit(int flags, void *) noexcept {
    YORBAT_FAULT_SEAM();
    if (flags != 0)
        return YORBAT_INVALID_ARGUMENT;
    return OPENSSL_init_ssl(0, nullptr) == 1 ? YORBAT_OK : YORBAT_CONN_LIBRARY_FAILURE;
}

int yorbAtConnLibraryShutdown(void *) noexcept {
    YORBAT_FAULT_SEAM();
    return YORBAT_OK;
}

int yorbAtFree(void *object) noexcept {
    YORBAT_FAULT_SEAM();
    if (!object)
        return YORBAT_INVALID_ARGUMENT;
    return release(object) ? YORBAT_OK : YORBAT_INVALID_ARGUMENT;
}

}  // extern "C"
