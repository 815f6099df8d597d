// Internal to the negotiation module: its own configuration record, which
// the out-of-process client magic keeps current through the decision.
#ifndef YNET_YQSS_PRIVATE_H
#define YNET_YQSS_PRIVATE_H

#include "crconf.h"

namespace yq::ynet_yqss {

// The module's configuration record, reloaded by crconf_get_info when the
// configuration changes. Tests may install a record here directly.
extern crconf_info_rec *crconf_info;

}  // namespace yq::ynet_yqss

#endif
