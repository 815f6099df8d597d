// Internal to the negotiation modules: the decision's own configuration
// record, which the out-of-process client magic keeps current through the
// decision, and how a failed configuration load reads as a connection status.
#ifndef YNET_YQSS_PRIVATE_H
#define YNET_YQSS_PRIVATE_H

#include "crconf.h"
#include "ynet.h"

namespace yq::ynet_yqss {

// The module's configuration record, reloaded by crconf_get_info when the
// configuration changes. Tests may install a record here directly.
extern crconf_info_rec *crconf_info;

// The configuration loader's failure as a connection status: 12 and 110
// (no file, no library) 19, 20 (no record) 2, 36 (no memory) 8, anything
// else 24.
inline int from_crconf_status(int status) noexcept {
    switch (status) {
    case 12:
    case 110:
        return YN_STATUS_FILE_OPEN_FAILED;
    case 20:
        return YN_STATUS_NULL_POINTER;
    case 36:
        return YN_STATUS_NO_MEMORY;
    default:
        return YN_STATUS_VERSION_MISMATCH;
    }
}

}  // namespace yq::ynet_yqss

#endif
