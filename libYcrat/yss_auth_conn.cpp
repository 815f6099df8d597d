// Secure connections over a record's socket: connect or accept, read and
// write, close; the socket and debug stream of the API; the authentication
// modes and their mechanism names.
#include <strings.h>

#include <algorithm>
#include <cstdint>
#include <limits>

#include "yss_auth_private.h"

namespace yq::yss {
namespace {

// Index = mode number; the text is the mechanism name the library knows.
constexpr const char *AuthModeText[] = {"unknown", "nt", "nisplus", "yq", "unixpwd", "nis", "localhost"};
constexpr int kFirstMode = YSS_AUTH_NT, kLastMode = YSS_AUTH_LOCALHOST;

// Connect, accept and close share one mapping of the library's result.
YssStatus connection_status(int result) noexcept {
    switch (result) {
    case YORBAT_OK:
        return YSS_SUCCESS;
    case YORBAT_CONNECTION_BROKEN:
        return YSS_SERVER_UNREACHABLE;
    case YORBAT_CONN_LIBRARY_FAILURE:
        return YSS_FILE_OPEN_FAILED;
    default:
        return YSS_LIBRARY_FAILURE;
    }
}

// The last result of a read or write loop that ended short.
YssStatus transfer_status(int result, const YssConInfo_t &record) noexcept {
    if (result == YORBAT_INVALID_ARGUMENT)
        return record.secureConnection != nullptr ? YSS_INVALID_PARAMETER : YSS_SERVER_UNREACHABLE;
    return result == YORBAT_OK ? YSS_SUCCESS : connection_status(result);
}

template <typename Fn>
YssStatus handshake(YssConInfo_t *record, const char *function, Fn entry, Where where) noexcept {
    if (const YssStatus status = guard(record, function, kNeedCredential, where, entry); status != YSS_SUCCESS)
        return status;
    const int result = entry(record->socket, record->credential, nullptr, &record->secureConnection,
                             &record->peerCredential);
    const YssStatus status = connection_status(result);
    return status == YSS_SUCCESS ? status : fail(status, function, where);
}

// Moves buffer[offset, length) through `entry`, one call after another while
// each moves something; the bytes before `offset` count as moved.
template <typename Char, typename Fn>
YssStatus transfer(Char *buffer, unsigned length, unsigned offset, YssConInfo_t *record, const char *function,
                   Fn entry, Where where) noexcept {
    if (const YssStatus status = guard(record, function, kNeedCredential, where, entry); status != YSS_SUCCESS)
        return status;
    if (buffer == nullptr || length == 0) return fail(YSS_INVALID_PARAMETER, function, where);
    if (offset > length) return fail(YSS_LIBRARY_FAILURE, function, where);
    // The library's result codes are positive too: one that overshoots
    // `length` ends the loop and is mapped below like any other.
    uint64_t done = offset;
    int result = YORBAT_OK;
    while (done < length) {
        const uint64_t chunk = std::min<uint64_t>(length - done, std::numeric_limits<int>::max());
        result = entry(record->secureConnection, buffer + done, static_cast<int>(chunk));
        if (result <= 0) break;
        done += static_cast<uint64_t>(result);
    }
    if (done == length) return YSS_SUCCESS;
    const YssStatus status = transfer_status(result, *record);
    return status == YSS_SUCCESS ? status : fail(status, function, where);
}

}  // namespace
}  // namespace yq::yss

using namespace yq::yss;

extern "C" int YssSetSocket(int socket, YssConInfo_t *record) noexcept {
    if (record == nullptr) return 1;
    record->socket = socket;
    return 0;
}

extern "C" YssStatus YssSetDebugStream(int version, FILE *stream) noexcept {
    if (mYssLoaded == 1 && version != mVerInUse) return fail(YSS_VERSION_MISMATCH, "YssSetDebugStream");
    mYssDebugStream = stream;
    return YSS_SUCCESS;
}

extern "C" void YssGetAuthMode(const char *text, int *mode) noexcept {
    if (mode == nullptr) return;
    *mode = YSS_AUTH_UNKNOWN;
    if (text == nullptr) return;
    for (int m = kFirstMode; m <= kLastMode; ++m) {
        if (::strcasecmp(text, AuthModeText[m]) == 0) {
            *mode = m;
            return;
        }
    }
}

extern "C" void YssGetAuthString(int mode, const char **text) noexcept {
    if (text == nullptr) return;
    *text = AuthModeText[mode >= kFirstMode && mode <= kLastMode ? mode : YSS_AUTH_UNKNOWN];
}

extern "C" YssStatus YssConnect(YssConInfo_t *record) noexcept {
    return handshake(record, "YssConnect", entries.yorbAtSecConnConnect, Where::current());
}

extern "C" YssStatus YssAccept(YssConInfo_t *record) noexcept {
    return handshake(record, "YssAccept", entries.yorbAtSecConnAccept, Where::current());
}

extern "C" YssStatus YssRead(char *buffer, unsigned length, unsigned offset, YssConInfo_t *record) noexcept {
    return transfer(buffer, length, offset, record, "YssRead", entries.yorbAtSecConnRead, Where::current());
}

extern "C" YssStatus YssWrite(const char *buffer, unsigned length, unsigned offset, YssConInfo_t *record) noexcept {
    return transfer(buffer, length, offset, record, "YssWrite", entries.yorbAtSecConnWrite, Where::current());
}

extern "C" YssStatus YssClose(YssConInfo_t *record) noexcept {
    constexpr const char *function = "YssClose";
    if (const YssStatus status = guard(record, function, kNeedCredential, Where::current(), entries.yorbAtSecConnClose);
        status != YSS_SUCCESS)
        return status;
    if (record->secureConnection == nullptr) return YSS_SUCCESS;
    const YssStatus status = connection_status(entries.yorbAtSecConnClose(&record->secureConnection));
    if (status != YSS_SUCCESS) return fail(status, function);
    record->secureConnection = nullptr;
    return YSS_SUCCESS;
}
