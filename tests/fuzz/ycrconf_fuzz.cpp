// The cw.conf parser of the configuration library on arbitrary bytes: it must
// neither crash nor leak, and whatever it accepts must form a sound record.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ycrconf_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // fmemopen wants a writable buffer of at least one byte.
    char *copy = static_cast<char *>(std::malloc(size + 1));
    if (copy == nullptr) return 0;
    if (size > 0) std::memcpy(copy, data, size);
    copy[size] = '\0';
    FILE *file = ::fmemopen(copy, size > 0 ? size : 1, "r");
    if (file == nullptr) {
        std::free(copy);
        return 0;
    }
    crconf_info_rec *rec = ycrconf_new_record();
    if (rec != nullptr) {
        if (ycrconf_read_stream(file, "fuzz", rec) == YCRCONF_OK) {
            if (rec->ni_client_port_low > rec->ni_client_port_high) std::abort();
            if (rec->ni_use_yqss < 0 || rec->ni_use_yqss > 2) std::abort();
            for (auto *d = rec->ni_authentication_domains; d != nullptr; d = d->ad_next)
                if (d->ad_domain == nullptr || d->ad_comment == nullptr ||
                    d->ad_broker == nullptr || d->ad_auth_type < 0 || d->ad_auth_type > 4)
                    std::abort();
            for (auto *n = rec->ni_yqss_networks; n != nullptr; n = n->nw_next)
                if (n->nw_network == nullptr || n->nw_use_yqss < 0 || n->nw_use_yqss > 2)
                    std::abort();
            for (auto *s = rec->ni_servers; s != nullptr; s = s->ns_next)
                if (s->ns_server == nullptr || s->ns_server[0] == '\0') std::abort();
            if (rec->ni_connect_timeout < 0 || rec->ni_request_timeout < 0 || rec->ni_verbose < 0)
                std::abort();
        }
        ycrconf_free_record(rec);
    }
    std::fclose(file);
    std::free(copy);
    return 0;
}
