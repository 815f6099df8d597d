// yqss_items.h: what the two example programs share about YqSS.
//
// Once the magic exchange has authenticated a connection, the items of the
// conversation travel inside the secure connection: each item is its length
// (four bytes, network order) followed by its bytes, written with YssWrite
// and read with YssRead. Without YqSS they are the library's wire strings on
// the socket itself.
#ifndef EXAMPLES_YQSS_ITEMS_H
#define EXAMPLES_YQSS_ITEMS_H

#include <arpa/inet.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "crconf.h"
#include "ynet.h"
#include "yss_auth.h"
#include "ystrings.h"

namespace examples {

inline const char *use_yqss_text(int use) {
    switch (use) {
    case 0: return "automatic";
    case 1: return "required";
    case 2: return "prohibited";
    default: return "unknown";
    }
}

// The four letters a magic value spells ("YqSD" ...).
inline std::string magic_text(int magic) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        char c = static_cast<char>((static_cast<unsigned>(magic) >> shift) & 0xff);
        text += (c >= 0x21 && c <= 0x7e) ? c : '?';
    }
    return text;
}

// This side's own YqSS decision for the peer on `sock`, the one the magic
// exchange will take: USE_YQSS, remote capability, credential path.
inline std::string yqss_decision(int sock, int check_version) {
    crconf_info_rec *info = nullptr;
    char cred_path[1025] = "";
    int use = 2;
    int capable = 0;
    int status = ynet_determine_yqss_socket(sock, check_version, &info, cred_path, sizeof cred_path, &use,
                                            &capable);
    crconf_free_info(&info);
    char text[1200];
    if (status != YN_STATUS_SUCCESS)
        Y_snprintf(text, sizeof text, "cannot be made: status %d", status);
    else
        Y_snprintf(text, sizeof text, "USE_YQSS %d (%s), remote capable %d, credential %s", use,
                   use_yqss_text(use), capable, cred_path[0] != '\0' ? cred_path : "(none)");
    return text;
}

// "name N, domain D, issued by I, expires E" of the peer's certificate.
inline std::string peer_certificate(YssConInfo_t *ctx) {
    YssCertInfo info{};
    if (ctx == nullptr || YssGetPeerCertInfo(&info, ctx) != 0) return "unavailable";
    auto field = [](const char *value) { return value != nullptr ? value : "NULL"; };
    char text[2048];
    Y_snprintf(text, sizeof text, "name %s, domain %s, issued by %s, expires %s", field(info.Name),
               field(info.Domain), field(info.IssuedBy), field(info.ExpiryDate));
    FreeYssCertInfo(&info);
    return text;
}

// The items of one conversation: inside the secure connection when `ctx` is
// set, else wire strings on `sock`. Results are connection statuses.
struct Items {
    int sock = -1;
    YssConInfo_t *ctx = nullptr;
    int timeout = 30;

    const char *sent_by() const { return ctx != nullptr ? "YssWrite" : "plain"; }
    const char *read_by() const { return ctx != nullptr ? "YssRead" : "plain"; }

    int push(const std::string &text) const {
        if (ctx == nullptr) return ynet_push_string(sock, text.c_str(), timeout);
        uint32_t length = htonl(static_cast<uint32_t>(text.size()));
        if (YssWrite(reinterpret_cast<const char *>(&length), sizeof length, 0, ctx) != 0)
            return YN_STATUS_WRITE_FAILED;
        if (!text.empty() && YssWrite(text.data(), static_cast<unsigned>(text.size()), 0, ctx) != 0)
            return YN_STATUS_WRITE_FAILED;
        return YN_STATUS_SUCCESS;
    }

    // At most `limit` bytes; a longer item is a format error.
    int pop(std::string &text, size_t limit) const {
        text.clear();
        if (ctx == nullptr) {
            std::string buffer(limit + 1, '\0');
            int status = ynet_pop_string(sock, buffer.data(), static_cast<int>(buffer.size()), timeout);
            if (status == YN_STATUS_SUCCESS) text = buffer.c_str();
            return status;
        }
        uint32_t length = 0;
        if (YssRead(reinterpret_cast<char *>(&length), sizeof length, 0, ctx) != 0) return YN_STATUS_READ_FAILED;
        length = ntohl(length);
        if (length > limit) return YN_STATUS_BAD_FORMAT;
        text.resize(length);
        if (length > 0 && YssRead(text.data(), length, 0, ctx) != 0) return YN_STATUS_READ_FAILED;
        return YN_STATUS_SUCCESS;
    }

    int push_status(int status) const {
        return ctx == nullptr ? ynet_push_status(sock, status, timeout) : push(std::to_string(status));
    }

    int pop_status(int *status) const {
        if (ctx == nullptr) return ynet_pop_status(sock, status, timeout);
        std::string text;
        int result = pop(text, 16);
        if (result == YN_STATUS_SUCCESS) *status = std::atoi(text.c_str());
        return result;
    }
};

}  // namespace examples

#endif
