// Loading the authentication library, initialising and cleaning up security
// contexts, and the standard guard every operation on a context begins with.
#include "yss_auth_private.h"

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
