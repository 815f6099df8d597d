// The security-services module's state: whether the authentication library
// is loaded, which API version is in use, the entry table, the library path
// and the count of live records; and its tear-down at process exit through
// the ACE object manager.
#include <ace/Object_Manager.h>

#include "yq_memory.h"
#include "yss_auth_private.h"

namespace yq::yss {

int mYssLoaded = 0;
int mVerInUse = 0;
FILE *mYssDebugStream = nullptr;
void *mpAtLibHandle = nullptr;
char *mpYORBatPath = nullptr;
int mLoadCount = 0;
ACE_Null_Mutex mYssLoadMutex, mYssPrtNStrMutex, mYssDNSMutex;
EntryTable entries{};

namespace {

// The library itself stays loaded for the life of the process; only the
// path text is the module's to release.
void tear_down(void *, void *) noexcept {
    std::free(mpYORBatPath);
    mpYORBatPath = nullptr;
}

// A program may load this library at run time and unload it before it ends
// (the in-process client magic does): the registration must not outlive the
// code it names, so unloading takes it back.
struct UnloadGuard {
    bool registered = false;
    ~UnloadGuard() {
        if (registered && !ACE_Object_Manager::shutting_down())
            ACE_Object_Manager::remove_at_exit(&mpYORBatPath);
        tear_down(nullptr, nullptr);
    }
};
UnloadGuard unload_guard;

}  // namespace

void register_tear_down() noexcept {
    if (unload_guard.registered) return;
    unload_guard.registered = ACE_Object_Manager::at_exit(&mpYORBatPath, tear_down, nullptr, kModule) == 0;
}

}  // namespace yq::yss

YssStatus AllocString(char **out, int size) noexcept {
    if (out == nullptr) return YSS_INVALID_PARAMETER;
    *out = size > 0 ? static_cast<char *>(yq::sys::calloc(static_cast<size_t>(size), 1)) : nullptr;
    return *out != nullptr ? YSS_SUCCESS : YSS_NO_MEMORY;
}
