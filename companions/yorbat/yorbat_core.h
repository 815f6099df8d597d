// What every part of the authentication library shares: the lock of the
// shared state, the table of objects handed out to callers, the fault seam,
// the install directory and the library context. Internal; the broker and
// the admin tool link it too.
#ifndef YORBAT_CORE_H
#define YORBAT_CORE_H

#define YORBAT_BUILDING_LIBRARY 1
#include "yorbat_contract.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace yorbat {

// The plain library leaves its shared state unlocked (its callers serialise
// their calls); the threaded variant, built with YORBAT_THREADED, puts it
// under a mutex. One code base, two builds.
#if YORBAT_THREADED
using StateMutex = std::mutex;
#else
struct StateMutex {
    void lock() noexcept {}
    void unlock() noexcept {}
};
#endif
using StateLock = std::lock_guard<StateMutex>;

// ---- Objects handed out to callers, released with yorbAtFree.

using Releaser = void (*)(void *owner) noexcept;

// Records `handle` as handed out; yorbAtFree(handle) then runs
// release(owner). When the table cannot grow, release(owner) runs at once
// and the result is false.
bool hand_out(void *handle, void *owner, Releaser release) noexcept;
// Makes yorbAtFree(alias) release what `handle` names (a list's first element).
bool add_alias(void *alias, void *handle) noexcept;
// Releases what `handle` names (and forgets its aliases); false when unknown.
bool release(void *handle) noexcept;
// The owner behind a handle, when it was handed out with that releaser.
void *owner_of(void *handle, Releaser release) noexcept;

template <typename Owner>
void destroy(void *owner) noexcept {
    delete static_cast<Owner *>(owner);
}

// Hands out `handle`, which lives inside `owner`; null when memory ran out.
template <typename Owner, typename Handle>
Handle *hand_out(std::unique_ptr<Owner> owner, Handle *handle) noexcept {
    if (!owner)
        return nullptr;
    return hand_out(handle, owner.release(), &destroy<Owner>) ? handle : nullptr;
}

// The owner of a handle handed out by the template above, checked by type.
template <typename Owner>
Owner *owner_as(void *handle) noexcept {
    return static_cast<Owner *>(owner_of(handle, &destroy<Owner>));
}

// A malloc'd, terminated copy of `text`, handed out; null when memory ran out.
char *hand_out_text(std::string_view text) noexcept;

// A list of texts (credentials): the array and its texts in one owner;
// yorbAtFree of the array or of its first element releases all of it.
// `*list` null and the result YORBAT_NO_MEMORY when memory ran out.
int hand_out_text_list(const std::vector<std::string> &texts, char ***list, int *count) noexcept;

// ---- Fault seam: when YORBAT_FAULTS names a control file, a line
// "ENTRY RESULT [CALLS]" makes the entry point ENTRY return RESULT on its
// next CALLS calls (every call when CALLS is absent) without doing anything.
int injected_result(const char *entry) noexcept;

// Returns the injected result of the calling entry point, if any.
#define YORBAT_FAULT_SEAM()                                                 \
    do {                                                                    \
        if (int injected_ = ::yorbat::injected_result(__func__); injected_) \
            return injected_;                                               \
    } while (0)

// ---- The install directory: YORBAT_HOME, else the directory above the
// "lib" folder this library was loaded from, else the product default.
std::string home();
std::string trust_dir();      // HOME/trust: trusted root certificates
std::string registry_file();  // HOME/registry/pdr.db: the private-domain registry
std::string broker_dir();     // HOME/broker: the broker's CA and certificate
// Makes home() return `dir` from now on (the broker's and admin's --home).
void set_home(std::string dir);

// ---- The library context written by yorbAtInit.
// Only its identity matters: entry points check that a context came from
// yorbAtInit. Directories are read from home() at each use.
struct Context {};

// ---- The process's own credentials (PEM), obtained through authenticate,
// import or renew, newest last: what the library presents to a broker that
// asks who is calling. Under the state lock in the threaded build.
namespace store {
void remember(const std::string &credential_pem);
std::vector<std::string> snapshot();
void replace(std::vector<std::string> credentials);
}  // namespace store

// The context behind a pointer from yorbAtInit; null for anything else.
Context *context_of(void *context) noexcept;

}  // namespace yorbat

#endif
