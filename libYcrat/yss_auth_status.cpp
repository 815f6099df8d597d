// Security-services statuses in words, and the module's reports: a failure
// report (the status's human message, then "FILE.LINE: Function: NAME failed:
// STATUS") and a string report ("FILE.LINE: Function: NAME. LABEL = VALUE"),
// each written to the debug stream and the debug log.
#include <unistd.h>

#include <array>
#include <cstring>
#include <string_view>

#include "kdmsg.h"
#include "logging.h"
#include "yq_memory.h"
#include "yss_auth_private.h"
#include "ystrings.h"

namespace {

constexpr int kHumanMessageSize = 2048;
constexpr const char *kDefaultId = "YssCra0033N";

struct StatusId {
    int status;
    const char *id;
};

// The message id of each status that has one of its own; every other status
// has the default message.
constexpr std::array<StatusId, 38> kStatusIds{{
    {YSS_INVALID_PARAMETER, "YssCra0001N"},
    {YSS_INVALID_ARGUMENT_4, "YssCra0002N"},
    {YSS_INVALID_ARGUMENT_5, "YssCra0002N"},
    {YSS_VERSION_MISMATCH, "YssCra0003N"},
    {YSS_LIBRARY_LOAD_FAILED, "YssCra0004N"},
    {YSS_FILE_NOT_FOUND, "YssCra0005N"},
    {YSS_FORK_FAILED, "YssCra0006N"},
    {YSS_NO_MEMORY, "YssCra0007N"},
    {YSS_FILE_OPEN_FAILED, "YssCra0008N"},
    {YSS_SERVER_COMMUNICATION_FAILED, "YssCra0009N"},
    {YSS_SERVER_UNREACHABLE, "YssCra0010N"},
    {YSS_TRANSMISSION_TIMEOUT, "YssCra0011N"},
    {YSS_SERVER_COMMUNICATION_FAILED_2, "YssCra0009N"},
    {YSS_LIBRARY_FAILURE, "YssCra0013N"},
    {YSS_WRONG_PORT, "YssCra0014N"},
    {YSS_CONFIGURATION_DAMAGED, "YssCra0016N"},
    {YSS_CREDENTIAL_INVALID, "YssCra0017N"},
    {YSS_OUT_OF_ORDER, "YssCra0018N"},
    {YSS_REGISTRY_DAMAGED, "YssCra0019N"},
    {YSS_RESERVED_NAME, "YssCra0020N"},
    {YSS_BROKER_CREDENTIAL_FAILED, "YssCra0021N"},
    {YSS_DOMAIN_CHANGE_FAILED, "YssCra0022N"},
    {YSS_PRINCIPAL_CHANGE_FAILED, "YssCra0023N"},
    {YSS_NO_BROKER, "YssCra0002N"},
    {YSS_NO_CREDENTIAL, "YssCra0024N"},
    {YSS_FILE_CREATE_FAILED, "YssCra0025N"},
    {YSS_AUTH_TYPE_UNSUPPORTED, "YssCra0026N"},
    {YSS_PERMISSION_DENIED, "YssCra0015N"},
    {YSS_OBJECT_NOT_FOUND, "YssCra0029N"},
    {YSS_SERVER_BUSY, "YssCra0030N"},
    {YSS_SERVER_CONNECT_FAILED, "YssCra0031N"},
    {YSS_BROKER_CREDENTIAL_NOT_RECEIVED, "YssCra0027N"},
    {YSS_BAD_LOGIN, "YssCra0028N"},
    {YSS_PEER_NOT_TRUSTED, "YssCra0032N"},
    {YSS_USER_NOT_VALID, "YssCra0036N"},
    {YSS_GROUP_NOT_VALID, "YssCra0034N"},
    {YSS_PASSWORD_TOO_SHORT, "YssCra0035N"},
    {YSS_NO_HOME_DIRECTORY, "YssCra0037N"},
}};

struct IdText {
    const char *id;
    const char *text;
};

// The built-in English text of each id, used when no catalog has one.
constexpr std::array<IdText, 36> kBuiltInTexts{{
    {"YssCra0001N", "One or more of your command line parameters is invalid or missing."},
    {"YssCra0002N", "One of the internal arguments passed in was invalid."},
    {"YssCra0003N",
     "This application attempted to use a new version of the Carrow Security binaries than was available on "
     "this local system.  Please check your installation."},
    {"YssCra0004N", "Failed to load required shared library.  Please check your installation."},
    {"YssCra0005N", "A file required for this operation was not found on disk.  Please check your installation."},
    {"YssCra0006N", "Unable to fork child process."},
    {"YssCra0007N", "Unable to allocate required memory.  Please increase swap space."},
    {"YssCra0008N", "Unable to open required file."},
    {"YssCra0009N", "Communication with Authentication server failed."},
    {"YssCra0010N", "Unable to contact Authentication server."},
    {"YssCra0011N", "Socket connection timeout during data transmission."},
    {"YssCra0013N", "Unable to initialize libraries.  Please check your installation."},
    {"YssCra0014N", "Attempted to communicate with Authentication server on the wrong port number."},
    {"YssCra0015N", "You do not have permission to perform the requested operation."},
    {"YssCra0016N",
     "Carrow Access Control configuration is invalid or damaged.  Please review setup and installation of "
     "Carrow Access Control."},
    {"YssCra0017N", "Supplied credential is expired or incorrect.  Please reauthenticate and try again."},
    {"YssCra0018N", "Application called a function out of authentication order.  Please contact your vendor."},
    {"YssCra0019N",
     "The local Private Domain registry may be damaged.  Please review local Private Domain registry."},
    {"YssCra0020N", "That is a reserved Private Domain registry name.  Please choose another."},
    {"YssCra0021N", "Failed to obtain a credential from the broker."},
    {"YssCra0022N", "Domain modification failed.  Please review your local Private Domain registry."},
    {"YssCra0023N",
     "Principal (user or machine) modification failed.  Please review your local Private Domain registry."},
    {"YssCra0024N", "Please supply a credential to complete your operation."},
    {"YssCra0025N", "Failed to create file."},
    {"YssCra0026N", "That authentication type is not supported on this platform."},
    {"YssCra0027N", "Unable to receive credential from specified Broker."},
    {"YssCra0028N", "One or more of Name, Password and domain are incorrect."},
    {"YssCra0029N", "Unable to find specified object in database.  Please check your arguments and try again."},
    {"YssCra0030N", "The authorization server is busy.  Please try again."},
    {"YssCra0031N",
     "Unable to connect to authorization server.  Please check your -Server argument and try again."},
    {"YssCra0032N", "Peer is not trusted.  Please ensure peer's broker is trusted.\n"},
    {"YssCra0033N", "Unexpected error %d occurred."},
    {"YssCra0034N",
     "Group is not valid in the specified domain.  Check the spelling of the group name and make sure the "
     "correct domain is specified.  If the group is still not valid, contact your system administrator about "
     "getting the group added to the domain."},
    {"YssCra0035N", "The selected password is too short.  Password must be longer than 5 characters."},
    {"YssCra0036N",
     "User is not valid in the specified domain.  Check the spelling of the username and make sure the correct "
     "domain is specified.  If the user is still not valid, contact your system administrator about getting the "
     "user added to the domain."},
    {"YssCra0037N",
     "No home directory is valid or available for the current user.  Please ensure that your home directory is "
     "set up correctly."},
}};

constexpr const char *message_id(int status) {
    for (const StatusId &entry : kStatusIds)
        if (entry.status == status) return entry.id;
    return kDefaultId;
}

constexpr const char *built_in_text(std::string_view id) {
    for (const IdText &entry : kBuiltInTexts)
        if (id == entry.id) return entry.text;
    return nullptr;
}

// Every id a status can name has its built-in text.
constexpr bool every_id_has_a_text() {
    for (const StatusId &entry : kStatusIds)
        if (built_in_text(entry.id) == nullptr) return false;
    return true;
}
static_assert(every_id_has_a_text() && built_in_text(kDefaultId) != nullptr);
static_assert(std::string_view(message_id(YSS_SERVER_COMMUNICATION_FAILED)) ==
              message_id(YSS_SERVER_COMMUNICATION_FAILED_2));
static_assert(std::string_view(message_id(60)) == kDefaultId);

// The locale names kdgetlocale fills in; the messages locale is the one used.
char mMsgLocale[256], mCtypeLocale[256], mTimeLocale[256], mCollateLocale[256], mNumericLocale[256];
char *mpLocaleStatus = nullptr;

const char *or_empty(const char *text) { return text != nullptr ? text : ""; }

// Writes a finished report line to the debug stream (unless that is the debug
// log itself) and to the debug log.
void write_report(const char *line, const char *function) {
    FILE *stream = yq::yss::mYssDebugStream;
    if (stream != nullptr && ::fileno(stream) != debugFD) {
        std::fprintf(stream, "%s\n", line);
        std::fflush(stream);
    }
    logmsg(2, line, function);
}

}  // namespace

extern "C" char *YssCreateHumanMessage(int status) noexcept {
    auto *text = static_cast<char *>(yq::sys::calloc(kHumanMessageSize, 1));
    if (text == nullptr) return nullptr;
    kdgetlocale(mMsgLocale, mCtypeLocale, mTimeLocale, mCollateLocale, mNumericLocale, &mpLocaleStatus);
    if (status == YSS_SUCCESS) return text;
    const char *id = message_id(status);
    // Only the default text has a place for the status; the others ignore it.
    kdgetmsg(id, mMsgLocale, kHumanMessageSize, text, nullptr, 0, nullptr, built_in_text(id), status);
    return text;
}

void DumpHumanMessage(int status) noexcept {
    yq::unique_malloc<char> text(YssCreateHumanMessage(status));
    if (text) logmsg(2, text.get(), "");
}

void YssPrintLine(const char *file, int line, const char *function, int status, const char *label,
                  const char *value) noexcept {
    yq::ErrnoGuard keep_errno;
    file = or_empty(file);
    function = or_empty(function);
    size_t size = std::strlen(file) + std::strlen(function) + 128;
    if (value != nullptr) size += std::strlen(value) + (label != nullptr ? std::strlen(label) : 0);
    yq::unique_malloc<char> text(static_cast<char *>(yq::sys::malloc(size)));
    if (!text) return;
    char *out = text.get();
    if (value == nullptr) {
        DumpHumanMessage(status);
        Y_snprintf(out, size, "%s.%d: Function: %s failed: %d", file, line, function, status);
    } else {
        Y_snprintf(out, size, "%s.%d: Function: %s. ", file, line, function);
        if (label != nullptr) {
            Y_strlcat(out, label, size);
            Y_strlcat(out, " = ", size);
        } else {
            Y_strlcat(out, "NULL = ", size);
        }
        Y_strlcat(out, value, size);
    }
    write_report(out, function);
}

extern "C" void YssPrintFailure(const char *file, int line, const char *function, int status) noexcept {
    YssPrintLine(file, line, function, status, nullptr, nullptr);
}

extern "C" void YssPrintString(const char *file, int line, const char *function, const char *label,
                               const char *value) noexcept {
    // A missing value is an empty one: the string form never turns into a failure line.
    YssPrintLine(file, line, function, YSS_SUCCESS, label, or_empty(value));
}

namespace yq::yss {

YssStatus fail(YssStatus status, const char *function, Where where) noexcept {
    YssPrintFailure(kModule, static_cast<int>(where.line()), function, status);
    return status;
}

void note(const char *label, const char *value, const char *function, Where where) noexcept {
    YssPrintString(kModule, static_cast<int>(where.line()), function, label, value);
}

void note_unhandled(const char *label, long result, const char *function, Where where) noexcept {
    char value[64];
    Y_snprintf(value, sizeof value, "%lx", result);
    note(label, value, function, where);
}

}  // namespace yq::yss
