// Loading the authentication library, initialising and cleaning up security
// contexts, and the standard guard every operation on a context begins with.
#include <ace/OS_NS_dlfcn.h>
#include <ace/OS_NS_stdio.h>

#include <cstring>
#include <string_view>

#include "yq_memory.h"
#include "yss_auth_private.h"
#include "ystrings.h"

namespace yq::yss {

namespace {

// Check 3: the broker the operation talks to (not reported).
bool broker_missing(const YssConInfo_t *record) {
    return record->brokerHost == nullptr || record->brokerPort == 0;
}

}  // namespace

YssStatus guard_checks(const YssConInfo_t *record, const char *function, unsigned needs, bool entries_present,
                       Where where) noexcept {
    if (mYssLoaded != 1) return fail(YSS_LIBRARY_FAILURE, function, where);
    if (record == nullptr || record->initialized != 1) return fail(YSS_LIBRARY_FAILURE, function, where);
    const bool needs_broker = (needs & kNeedBroker) != 0;
    const bool version_first = (needs & kVersionBeforeBroker) != 0;
    if (needs_broker && !version_first && broker_missing(record)) return YSS_NO_BROKER;
    if (record->version != mVerInUse) return fail(YSS_VERSION_MISMATCH, function, where);
    if (needs_broker && version_first && broker_missing(record)) return YSS_NO_BROKER;
    if (!entries_present) {
        fail(YSS_SUCCESS, function, where);
        return YSS_LIBRARY_LOAD_FAILED;
    }
    if ((needs & kNeedCredential) != 0 && record->haveCredential == 0) return fail(YSS_OUT_OF_ORDER, function, where);
    return YSS_SUCCESS;
}

}  // namespace yq::yss

namespace {

using yq::yss::entries;
using yq::yss::fail;
using yq::yss::mpAtLibHandle;
using yq::yss::mpYORBatPath;
using yq::yss::note;

constexpr const char *kInit = "YssInit";
constexpr const char *kCleanUp = "YssCleanUp";
constexpr int kPathSize = 2048;
constexpr int kHostSize = 1024;

bool version_supported(int version) { return version >= 1 && version <= 3; }

// The platform's text for the last dynamic-loading failure.
void note_dlerror(const char *function, yq::yss::Where where = yq::yss::Where::current()) {
    const char *text = ACE_OS::dlerror();
    note("dlerror", text != nullptr ? text : "", function, where);
}

// Closes the library after an entry point turned out missing; it counts as
// not loaded from then on.
YssStatus unload(void *handle, const char *function, yq::yss::Where where = yq::yss::Where::current()) {
    if (ACE_OS::dlclose(handle) != 0) note_dlerror(function, where);
    mpAtLibHandle = nullptr;
    return YSS_LIBRARY_LOAD_FAILED;
}

// The install directory named by the location file's first line
// "KEY=DIRECTORY", with one trailing newline removed; empty when the file,
// the key or the directory is missing.
std::string_view install_dir(std::string_view line) {
    auto token = [&line]() {
        size_t start = line.find_first_not_of('=');
        if (start == std::string_view::npos) return std::string_view();
        line.remove_prefix(start);
        std::string_view found = line.substr(0, line.find('='));
        line.remove_prefix(found.size());
        return found;
    };
    if (token().empty()) return {};
    std::string_view dir = token();
    if (dir.ends_with('\n')) dir.remove_suffix(1);
    return dir;
}

// Computes the library path into `path` (kPathSize bytes): the location
// file's directory, else the default install directory, then the file name.
void compute_path(char *path, char *line, bool threaded) {
    if (yq::unique_file loc = yq::open_for_reading(yq::yss::MagicAtLocFile)) {
        if (ACE_OS::fgets(line, kPathSize, loc.get()) != nullptr) {
            std::string_view dir = install_dir(line);
            if (!dir.empty() && dir.size() + std::strlen(yq::yss::YqSSAtThreadedLibName) < kPathSize - 2) {
                Y_snprintf(path, kPathSize, "%.*s/", static_cast<int>(dir.size()), dir.data());
            }
        }
    }
    if (*path == '\0') Y_snprintf(path, kPathSize, "%s/", yq::yss::MagicPath);
    Y_strlcat(path, threaded ? yq::yss::YqSSAtThreadedLibName : yq::yss::YqSSAtLibName, kPathSize);
}

// Opens the library and resolves every entry point; the handle and the table
// are published only when all of them were found.
YssStatus load(bool threaded) {
    char *path = nullptr;
    if (YssStatus status = GetYORBatPath(&path, threaded); status != YSS_SUCCESS) return status;
    void *handle = ACE_OS::dlopen(path, RTLD_NOW | RTLD_GLOBAL | RTLD_NODELETE);
    std::free(path);
    if (handle == nullptr) {
        note_dlerror(kInit);
        return YSS_LIBRARY_LOAD_FAILED;
    }
    yq::yss::EntryTable found{};
#define YSS_RESOLVE(name, args)                                             \
    found.name = reinterpret_cast<name##_fn>(ACE_OS::dlsym(handle, #name)); \
    if (found.name == nullptr) {                                            \
        fail(YSS_SUCCESS, kInit);                                           \
        return unload(handle, kInit);                                       \
    }
    YORBAT_ENTRY_POINTS(YSS_RESOLVE)
#undef YSS_RESOLVE
    entries = found;
    mpAtLibHandle = handle;
    return YSS_SUCCESS;
}

// The library's own initialisation of the context and its connection library.
YssStatus init_library(YssConInfo_t *record) {
    switch (int result = entries.yorbAtInit(0, &record->atContext)) {
    case YORBAT_OK:
        break;
    case YORBAT_NO_MEMORY:
    case YORBAT_INTERNAL_FAILURE:
        return fail(YSS_NO_MEMORY, kInit);
    case YORBAT_NOT_INITIALIZED:
    case YORBAT_INVALID_ARGUMENT:
        return fail(YSS_LIBRARY_FAILURE, kInit);
    default:
        fail(result, kInit);
        return YSS_LIBRARY_FAILURE;
    }
    if (entries.yorbAtConnLibraryInit(0, record->connLibContext) != YORBAT_OK)
        return fail(YSS_LIBRARY_FAILURE, kInit);
    return YSS_SUCCESS;
}

// Steps up to the broker fields: the record is cleared and given its version,
// the broker's qualified name and port.
YssStatus set_broker(int version, const char *brokerHost, int brokerPort, YssConInfo_t *record) {
    const int socket = record->socket;
    *record = YssConInfo_t{};
    record->socket = socket;
    record->version = version;
    if (brokerHost == nullptr) return YSS_INVALID_PARAMETER;
    char host[kHostSize] = "";
    if (YssStatus status = YssGetFQDNHostName(brokerHost, host, sizeof host); status != YSS_SUCCESS) {
        fail(status, kInit);
        Y_strlcpy(host, brokerHost, sizeof host);
    }
    record->brokerHost = yq::sys::strdup(host);
    if (record->brokerHost == nullptr) return fail(YSS_NO_MEMORY, kInit);
    record->brokerPort = brokerPort != 0 ? static_cast<unsigned>(brokerPort) : yq::yss::kDefaultBrokerPort;
    return YSS_SUCCESS;
}

// Releases what the record holds through the library, in the library's order.
void release_held(YssConInfo_t *record) {
    if (record->credential != nullptr) {
        if (record->credentialFromLibrary == 1)
            entries.yorbAtFree(record->credential);
        else
            std::free(record->credential);
        record->credential = nullptr;
    }
    if (record->credentialList != nullptr) {
        entries.yorbAtFree(record->credentialList[0]);
        record->credentialList = nullptr;
    }
    if (record->peerCredential != nullptr) {
        entries.yorbAtFree(record->peerCredential);
        record->peerCredential = nullptr;
    }
    if (record->connLibContext != nullptr) {
        entries.yorbAtConnLibraryShutdown(record->connLibContext);
        record->connLibContext = nullptr;
    }
}

}  // namespace

YssStatus GetYORBatPath(char **path, bool threaded) noexcept {
    if (mpYORBatPath == nullptr) {
        char *computed = nullptr, *line = nullptr;
        yq::yss::CharGuard hold_computed(&computed), hold_line(&line);
        if (AllocString(&computed, kPathSize) != YSS_SUCCESS || AllocString(&line, kPathSize) != YSS_SUCCESS)
            return fail(YSS_NO_MEMORY, kInit);
        compute_path(computed, line, threaded);
        if ((mpYORBatPath = yq::sys::strdup(computed)) == nullptr) return fail(YSS_NO_MEMORY, kInit);
        yq::yss::register_tear_down();
    }
    if ((*path = yq::sys::strdup(mpYORBatPath)) == nullptr) return fail(YSS_NO_MEMORY, kInit);
    return YSS_SUCCESS;
}

extern "C" void TestHarnessSetYORBatPath(const char *path) noexcept {
    std::free(mpYORBatPath);
    mpYORBatPath = path != nullptr ? yq::sys::strdup(path) : nullptr;
    yq::yss::register_tear_down();
}

YssStatus YssInits(int version, const char *brokerHost, int brokerPort, bool threaded,
                   YssConInfo_t *record) noexcept {
    if (record == nullptr) return YSS_INVALID_PARAMETER;
    if (YssStatus status = set_broker(version, brokerHost, brokerPort, record); status != YSS_SUCCESS)
        return status;
    if (!version_supported(version)) return fail(YSS_VERSION_MISMATCH, kInit);
    if (yq::yss::mYssLoaded != 1) {
        if (YssStatus status = load(threaded); status != YSS_SUCCESS) return status;
    }
    if (YssStatus status = init_library(record); status != YSS_SUCCESS) return fail(status, kInit);
    record->libHandle = mpAtLibHandle;
    record->initialized = 1;
    yq::yss::mYssLoaded = 1;
    yq::yss::mVerInUse = version;
    ++yq::yss::mLoadCount;
    return YSS_SUCCESS;
}

extern "C" YssStatus YssInit(int version, const char *brokerHost, int brokerPort, YssConInfo_t *record) noexcept {
    return YssInits(version, brokerHost, brokerPort, false, record);
}

extern "C" YssStatus YssInit_r(int version, const char *brokerHost, int brokerPort, YssConInfo_t *record) noexcept {
    return YssInits(version, brokerHost, brokerPort, true, record);
}

extern "C" YssStatus YssCleanUp(int version, YssConInfo_t *record) noexcept {
    if (yq::yss::mYssLoaded != 1 || record == nullptr || record->initialized != 1)
        return fail(YSS_LIBRARY_FAILURE, kCleanUp);
    if (version != yq::yss::mVerInUse) return fail(YSS_VERSION_MISMATCH, kCleanUp);
    record->haveCredential = 0;
    if (!version_supported(version)) return YSS_VERSION_MISMATCH;
    if (entries.yorbAtFree == nullptr) {
        fail(YSS_SUCCESS, kCleanUp);
        return unload(mpAtLibHandle, kCleanUp);
    }
    release_held(record);
    if (entries.yorbAtTerminate == nullptr) {
        fail(YSS_SUCCESS, kCleanUp);
        return unload(mpAtLibHandle, kCleanUp);
    }
    if (record->atContext != nullptr) {
        entries.yorbAtTerminate(record->atContext);
        record->atContext = nullptr;
    }
    std::free(record->brokerHost);
    record->brokerHost = nullptr;
    record->brokerPort = 0;
    if (yq::yss::mLoadCount > 0) --yq::yss::mLoadCount;
    return YSS_SUCCESS;
}
