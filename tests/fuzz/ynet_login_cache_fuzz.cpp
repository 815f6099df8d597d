// The login cache on arbitrary content. The first byte picks the caller's
// buffer lengths (or, with its high bit, a round trip); the rest is the cache
// file read back, or the fields written. Every text handed back ends within
// the length given and carries no newline, bytes past it stay untouched, and
// whatever the writer accepts reads back the same.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <string_view>

#include "fuzz_sandbox.h"
#include "ynet.h"

namespace {

void check(bool ok) { if (!ok) std::abort(); }

constexpr int kLengths[] = {0, 1, 2, 8, 64, 1025};
constexpr int kRoom = 1100;
constexpr char kUser[] = "fuzz";
constexpr char kCanary = '\x7f';

const std::string &cache_file() {
    static const std::string path = [] {
        std::string home = fuzz_sandbox::private_home();
        char dir[1025];
        check(ynet_check_yqss_user_directory(dir, sizeof dir) == 0);
        char host[256] = "";
        ::gethostname(host, sizeof host - 1);
        return home + "/.yqss/" + host + "_" + kUser + "_cache.txt";
    }();
    return path;
}

struct Field {
    char text[kRoom];
    int length;
    explicit Field(int len, const char *initial = "") : length(len) {
        std::memset(text, kCanary, sizeof text);
        std::strcpy(text, initial);
    }
    // NUL within the length, no newline, nothing written past it.
    void check_bounded() const {
        check(std::memchr(text, '\0', static_cast<size_t>(length > 1 ? length : 1)) != nullptr);
        check(std::strchr(text, '\n') == nullptr);
        const size_t first_free = length > 5 ? static_cast<size_t>(length) : 5;
        for (size_t i = first_free; i < sizeof text; ++i) check(text[i] == kCanary);
    }
};

void read_back(const uint8_t *data, size_t size, uint8_t pick) {
    {
        std::ofstream(cache_file(), std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
    }
    Field domain(kLengths[pick % 6]), broker(kLengths[(pick / 6) % 6]), user(kRoom - 75, kUser);
    int mechanism = -1, port = -1;
    const int status = ynet_yqss_get_login_cache(domain.text, domain.length, &mechanism, broker.text, broker.length,
                                                 &port, user.text, user.length);
    check(status == 0 || status == YN_STATUS_BAD_FORMAT);
    domain.check_bounded();
    broker.check_bounded();
    user.check_bounded();
}

// Fields split at newlines; numbers from the first bytes.
void round_trip(const uint8_t *data, size_t size) {
    if (size < 2) return;
    const int mechanism = static_cast<int8_t>(data[0]);
    const int port = data[1] * 257;
    std::string_view rest(reinterpret_cast<const char *>(data) + 2, size - 2);
    std::string fields[2];
    for (std::string &field : fields) {
        const size_t end = rest.find('\n');
        field = std::string(rest.substr(0, end));
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        if (field.find('\0') != std::string::npos || field.size() >= 1024) return;
    }
    cache_file();
    if (ynet_yqss_set_login_cache(fields[0].c_str(), mechanism, fields[1].c_str(), port, kUser) != 0) return;
    Field domain(1025), broker(1025), user(1025, kUser);
    int mechanism_read = 0, port_read = 0;
    check(ynet_yqss_get_login_cache(domain.text, 1025, &mechanism_read, broker.text, 1025, &port_read, user.text,
                                    1025) == 0);
    check(domain.text == fields[0] && broker.text == fields[1] && std::strcmp(user.text, kUser) == 0);
    check(mechanism_read == mechanism && port_read == port);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0 || size > 1 << 14) return 0;
    if (data[0] & 0x80)
        round_trip(data + 1, size - 1);
    else
        read_back(data + 1, size - 1, data[0]);
    return 0;
}
