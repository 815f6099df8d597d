// What the files of the security-services module share: the module state,
// the entry table of the loaded authentication library, the reports, the
// standard guard, and the module-internal routines. Not exported.
#ifndef YSS_AUTH_PRIVATE_H
#define YSS_AUTH_PRIVATE_H

#include <ace/Null_Mutex.h>

#include <cstdio>
#include <cstdlib>
#include <source_location>

#include "yorbat_contract.h"
#include "yq_paths.h"
#include "yss_auth.h"

namespace yq::yss {

// Every report of the module names it so, whichever file reports.
inline constexpr const char *kModule = "yss_auth";

// ---- Module state (process-wide, zero at load).
extern int mYssLoaded;            // 1 once loaded, resolved and initialised once; never reset
extern int mVerInUse;             // version of the last successful initialisation
extern FILE *mYssDebugStream;     // optional second destination of the reports
extern void *mpAtLibHandle;       // the loaded library; null when not loaded
extern char *mpYORBatPath;        // the library path, computed once or set by the test harness
extern int mLoadCount;            // records initialised and not yet cleaned up; never below 0
extern ACE_Null_Mutex mYssLoadMutex, mYssPrtNStrMutex, mYssDNSMutex;  // null locks, never taken
// Registers, once, the release of the module state at process exit.
void register_tear_down() noexcept;

inline constexpr const char MagicPath[] = YQ_PATH_YORBAT_HOME;
inline constexpr const char YqSSAtLibName[] = "lib/libyorbat.so";
inline constexpr const char YqSSAtThreadedLibName[] = "lib/libyorbat_t.so";
inline constexpr const char MagicAtLocFile[] = YQ_PATH_YORBAT_LOC;
inline constexpr unsigned kDefaultBrokerPort = YORBAT_DEFAULT_BROKER_PORT;
inline constexpr const char CRW_Machines[] = "CRW_Machines";

// The entry table: one slot per entry point, in lookup order.
struct EntryTable {
#define YSS_ENTRY_SLOT(name, args) name##_fn name;
    YORBAT_ENTRY_POINTS(YSS_ENTRY_SLOT)
#undef YSS_ENTRY_SLOT
};
extern EntryTable entries;

// ---- Reports. `function` is the API operation that reports; the line is
// the caller's.
using Where = std::source_location;
// Failure report (human message, then the failure line); evaluates to `status`.
YssStatus fail(YssStatus status, const char *function, Where where = Where::current()) noexcept;
// String report "LABEL = VALUE".
void note(const char *label, const char *value, const char *function, Where where = Where::current()) noexcept;
// The unhandled-result report: `label` with the result in hexadecimal ("%lx").
void note_unhandled(const char *label, long result, const char *function,
                    Where where = Where::current()) noexcept;

// ---- The standard guard, checks 1 to 6 in order, each failure reported
// naming `function`. `needs` says which optional checks apply; the entry
// points the operation calls are check 5.
enum GuardNeed : unsigned {
    kNeedBroker = 1u,            // check 3: brokerHost and brokerPort set (32, not reported)
    kNeedCredential = 2u,        // check 6: haveCredential (26)
    kVersionBeforeBroker = 4u,   // make check 4 before check 3
};
YssStatus guard_checks(const YssConInfo_t *record, const char *function, unsigned needs, bool entries_present,
                       Where where) noexcept;
template <typename... Slots>
YssStatus guard(const YssConInfo_t *record, const char *function, unsigned needs, Where where,
                Slots... used) noexcept {
    return guard_checks(record, function, needs, ((used != nullptr) && ...), where);
}

// A text released when the guard leaves scope.
class CharGuard {
public:
    explicit CharGuard(char **text) noexcept : text_(text) {}
    CharGuard(const CharGuard &) = delete;
    CharGuard &operator=(const CharGuard &) = delete;
    ~CharGuard() {
        if (*text_) {
            std::free(*text_);
            *text_ = nullptr;
        }
    }

private:
    char **text_;
};

}  // namespace yq::yss

// ---- Module-internal routines (C++ linkage; the overloads stand beside the
// exported functions of the same name).
YssStatus AllocString(char **out, int size) noexcept;
YssStatus GetYORBatPath(char **path, bool threaded) noexcept;
YssStatus YssInits(int version, const char *brokerHost, int brokerPort, bool threaded, YssConInfo_t *record) noexcept;
void DumpHumanMessage(int status) noexcept;
void YssPrintLine(const char *file, int line, const char *function, int status, const char *label,
                  const char *value) noexcept;
YssStatus YssGetCertInfo(YssCertInfo *info, char *credential, YssConInfo_t *record) noexcept;
YssStatus YssEnumRootCerts(YssCertInfo **certs, int *count, char ***rootList, YssConInfo_t *record) noexcept;
YssStatus GetPDR(void ***registries, int *index, YssConInfo_t *record) noexcept;
YssStatus YssRemoveRegister(const char *name, const char *password, const char *domain, bool remove, bool machine,
                            YssConInfo_t *record) noexcept;
YssStatus YssRemoveRegisterUser(const char *name, const char *password, const char *domain, bool remove,
                                YssConInfo_t *record) noexcept;
YssStatus YssRemoveRegisterMachine(const char *name, const char *password, bool remove,
                                   YssConInfo_t *record) noexcept;
YssStatus YssRemoveRegisterDomain(const char *domain, int remove, YssConInfo_t *record) noexcept;

#endif
