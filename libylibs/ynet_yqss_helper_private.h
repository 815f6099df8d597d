// Internal to the module ynet_yqss_helper: its state, shared by the files of
// the module.
#ifndef YNET_YQSS_HELPER_PRIVATE_H
#define YNET_YQSS_HELPER_PRIVATE_H

#include <cstdio>

#include "crconf.h"

namespace yq::ynet_yqss_helper {

// The module's configuration record, kept current with crconf_get_info.
extern crconf_info_rec *crconf_info;
// The stream on the debug log handed to the security services, opened once;
// yqss_debug_failed is set when opening or installing it failed, so that it
// is not tried again.
extern FILE *yqss_debug_stream;
extern int yqss_debug_failed;

}  // namespace yq::ynet_yqss_helper

#endif
