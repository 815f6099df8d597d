// The cw.conf parser of the configuration library on arbitrary bytes: it must
// neither crash nor leak, and whatever it accepts must form a sound record.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ycrconf_parse.h"

#define check(ok) ((ok) ? void() : (std::fprintf(stderr, "ycrconf_fuzz: line %d failed\n", __LINE__), std::abort()))

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string copy(reinterpret_cast<const char *>(data), size);  // fmemopen wants at least one byte
    FILE *file = ::fmemopen(copy.data(), size > 0 ? size : 1, "r");
    crconf_info_rec *rec = ycrconf_new_record();
    if (file != nullptr && rec != nullptr && ycrconf_read_stream(file, "fuzz", rec) == YCRCONF_OK) {
        check(rec->ni_client_port_low <= rec->ni_client_port_high);
        check(rec->ni_use_yqss >= 0 && rec->ni_use_yqss <= 2);
        for (auto *d = rec->ni_authentication_domains; d != nullptr; d = d->ad_next)
            check(d->ad_domain && d->ad_comment && d->ad_broker && d->ad_auth_type >= 0 && d->ad_auth_type <= 4);
        for (auto *n = rec->ni_yqss_networks; n != nullptr; n = n->nw_next)
            check(n->nw_network != nullptr && n->nw_use_yqss >= 0 && n->nw_use_yqss <= 2);
        for (auto *s = rec->ni_servers; s != nullptr; s = s->ns_next) check(s->ns_server && s->ns_server[0] != '\0');
        check(rec->ni_connect_timeout >= 0 && rec->ni_request_timeout >= 0 && rec->ni_verbose >= 0);
    }
    ycrconf_free_record(rec);
    if (file != nullptr) std::fclose(file);
    return 0;
}
