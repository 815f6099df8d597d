// cwcrat_helper SOCKET SERVICE USE_YQSS
//
// Runs the client side of the magic exchange on the inherited, connected
// SOCKET (its descriptor number), writing the magic as a wire string, and
// tells the outcome by its exit status: 39 when the connection is
// authenticated, 40 when it is not, the failing step's status otherwise.
// SERVICE names the caller's protocol; USE_YQSS is the caller's decision,
// which the exchange makes again from the same configuration.
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "crconf.h"
#include "ynet.h"


namespace {

constexpr int kWriteTimeout = 60;

int push_text(int fd, const char *text, int *error) {
    int status = ynet_push_string(fd, text, kWriteTimeout);
    if (status == YN_STATUS_SUCCESS) return 0;
    *error = status;
    return -1;
}

bool parse_number(const char *text, int *value) {
    char *end = nullptr;
    errno = 0;
    long number = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || number < INT_MIN || number > INT_MAX) return false;
    *value = static_cast<int>(number);
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    int fd = -1;
    int use_yqss = 0;
    if (argc != 4 || !parse_number(argv[1], &fd) || fd < 0 || !parse_number(argv[3], &use_yqss))
        return YN_STATUS_INVALID_ARGUMENT;
    int status = ynet_check_yqss_client_magic(fd, 0, -1, &use_yqss, push_text, nullptr);
    if (status != YN_STATUS_SUCCESS) return status;
    return use_yqss == USE_YQSS_REQUIRED ? YN_STATUS_YQSS_USED : YN_STATUS_YQSS_NOT_USED;
}
