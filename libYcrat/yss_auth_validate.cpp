// Identity validation with the broker, and reading a secret from the
// terminal without echo.
#include <ace/OS_NS_stdio.h>

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "yq_sys.h"
#include "yss_auth_private.h"

namespace yq::yss {
namespace {

constexpr const char *kValidate = "YssValidateID";
constexpr int kUser = 3, kGroup = 4;

struct Answer {
    yorbat_word *words = nullptr;
    ~Answer() {
        if (words != nullptr) entries.yorbAtFree(words);
    }
};

int ask_broker(const char *name, const char *domain, int authMode, int idType, const yorbat_broker_address &broker,
               void *context, Answer &answer) noexcept {
    const char *mechanism = nullptr;
    YssGetAuthString(authMode, &mechanism);
    if (idType == kUser) {
        const yorbat_principal_request request{mechanism, domain, name, nullptr};
        return entries.yorbAtValidatePrpl(context, &request, &broker, &answer.words);
    }
    const yorbat_group_request request{mechanism, domain, name};
    return entries.yorbAtValidateGroup(context, &request, &broker, &answer.words);
}

char *copy_word(const yorbat_word *words, int index) noexcept {
    const auto *text = static_cast<const char *>(words[index]);
    return sys::strdup(text != nullptr ? text : "");
}

// The broker's answer as a new record in *out.
YssStatus fill_valid_id(const yorbat_word *words, int idType, YssValidID **out) noexcept {
    if (words == nullptr) return fail(YSS_NO_MEMORY, kValidate);
    YssValidID *id = nullptr;
    AllocYssValidID(&id);
    if (id == nullptr) return fail(YSS_NO_MEMORY, kValidate);
    id->name = copy_word(words, YORBAT_VALID_NAME);
    id->domain = copy_word(words, YORBAT_VALID_DOMAIN);
    if (id->name == nullptr || id->domain == nullptr) {
        FreeYssValidID(&id);
        return fail(YSS_NO_MEMORY, kValidate);
    }
    id->principalValue =
        idType == kUser ? static_cast<int>(reinterpret_cast<intptr_t>(words[YORBAT_VALID_NUMBER])) : 0;
    id->idType = idType;
    *out = id;
    return YSS_SUCCESS;
}

YssStatus refusal_status(int result, int idType) noexcept {
    switch (result) {
    case YORBAT_INVALID_ARGUMENT:
        return fail(YSS_INVALID_PARAMETER, kValidate);
    case YORBAT_NO_MEMORY:
        return fail(YSS_NO_MEMORY, kValidate);
    case YORBAT_BROKER_UNREACHABLE:
        return fail(YSS_SERVER_UNREACHABLE, kValidate);
    case YORBAT_PEER_NOT_TRUSTED:
    case YORBAT_MECHANISM_UNSUPPORTED:
    case YORBAT_CREDENTIAL_NOT_YET_VALID:
    case YORBAT_CREDENTIAL_REVOKED:
    case YORBAT_BROKER_REFUSED:
        return fail(YSS_CREDENTIAL_INVALID, kValidate);
    case YORBAT_NOT_FOUND:
    case YORBAT_PRINCIPAL_DISABLED:
        return idType == kUser ? YSS_USER_NOT_VALID : YSS_GROUP_NOT_VALID;
    default:
        fail(result, kValidate);  // the report carries the library's own result
        return YSS_LIBRARY_FAILURE;
    }
}

bool valid_arguments(const char *name, const char *domain, int authMode, int idType, const char *brokerHost,
                     YssValidID *const *out) noexcept {
    return name != nullptr && domain != nullptr && brokerHost != nullptr && (idType == kUser || idType == kGroup) &&
           out != nullptr && *out == nullptr && authMode >= YSS_AUTH_NT && authMode <= YSS_AUTH_LOCALHOST;
}

// Echo of the terminal on standard input, on or off.
void set_echo(bool on) noexcept {
    termios modes{};
    if (::tcgetattr(STDIN_FILENO, &modes) != 0) return;
    if (on)
        modes.c_lflag |= ECHO;
    else
        modes.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSANOW, &modes);
}

constexpr int kGuardedSignals[] = {SIGINT, SIGQUIT, SIGTERM};

// SigHandler on the three signals while a secret is read; the previous
// actions come back when it leaves scope.
class SignalBracket {
public:
    SignalBracket() noexcept {
        struct sigaction action{};
        action.sa_handler = SigHandler;
        action.sa_flags = SA_RESTART;  // a read goes on once echo is back, as with signal()
        sigemptyset(&action.sa_mask);
        for (size_t i = 0; i < std::size(kGuardedSignals); ++i) ::sigaction(kGuardedSignals[i], &action, &saved_[i]);
    }
    ~SignalBracket() {
        for (size_t i = 0; i < std::size(kGuardedSignals); ++i) ::sigaction(kGuardedSignals[i], &saved_[i], nullptr);
    }
    SignalBracket(const SignalBracket &) = delete;
    SignalBracket &operator=(const SignalBracket &) = delete;

private:
    struct sigaction saved_[std::size(kGuardedSignals)]{};
};

// Keeps the characters of `line` in out[*count...], a backspace taking back
// the last one; true when the line ended the input.
bool keep_line(const char *line, char *out, int *count, int limit) noexcept {
    constexpr char kBackspace = 8;
    for (const char *c = line; *c != '\0'; ++c) {
        if (*c == '\n') return true;
        if (*c == kBackspace) {
            if (*count > 0) --*count;
        } else if (*count < limit) {
            out[(*count)++] = *c;
        }
    }
    return false;
}

}  // namespace
}  // namespace yq::yss

using namespace yq::yss;

extern "C" YssStatus YssValidateID(const char *name, const char *domain, int authMode, int idType,
                                   const char *brokerHost, unsigned brokerPort, YssValidID **out,
                                   YssConInfo_t *record) noexcept {
    if (const YssStatus status = guard(record, kValidate, kNeedBroker, Where::current(), entries.yorbAtValidatePrpl,
                                       entries.yorbAtValidateGroup, entries.yorbAtFree);
        status != YSS_SUCCESS)
        return status;
    if (!valid_arguments(name, domain, authMode, idType, brokerHost, out)) return YSS_INVALID_PARAMETER;
    const yorbat_broker_address broker{brokerHost, static_cast<int>(brokerPort != 0 ? brokerPort : kDefaultBrokerPort)};
    Answer answer;
    const int result = ask_broker(name, domain, authMode, idType, broker, record->atContext, answer);
    if (result != YORBAT_OK) return refusal_status(result, idType);
    return fill_valid_id(answer.words, idType, out);
}

extern "C" void AllocYssValidID(YssValidID **out) noexcept {
    if (out != nullptr) *out = static_cast<YssValidID *>(yq::sys::calloc(1, sizeof(YssValidID)));
}

extern "C" void FreeYssValidID(YssValidID **id) noexcept {
    if (id == nullptr || *id == nullptr) return;
    std::free((*id)->name);
    std::free((*id)->domain);
    std::free(*id);
    *id = nullptr;
}

extern "C" void NoStdIOEcho(void) noexcept { set_echo(false); }

extern "C" void StdIOEcho(void) noexcept { set_echo(true); }

extern "C" void SigHandler(int signal) noexcept {
    StdIOEcho();
    ::signal(signal, SIG_DFL);
}

extern "C" char *SecureFGets(char *out, int size, FILE *stream) noexcept {
    if (out == nullptr || size < 2) return out;
    const int limit = size - 2;  // room for the newline and the terminator
    int count = 0;
    char *scratch = nullptr;
    CharGuard hold(&scratch);
    if (stream != nullptr && AllocString(&scratch, size) == YSS_SUCCESS) {
        SignalBracket signals;
        NoStdIOEcho();
        bool ended = false;
        while (!ended && count < limit && !std::feof(stream)) {
            if (ACE_OS::fgets(scratch, limit + 1, stream) == nullptr) break;
            ended = keep_line(scratch, out, &count, limit);
        }
        StdIOEcho();
    }
    out[count] = '\n';
    out[count + 1] = '\0';
    return out;
}
