// This machine's IPv4 addresses and host names, and the resolver calls with
// retries that the whole name-resolution subsystem uses.
//
// The list of local addresses is gathered once from every source we can get
// at (the host's own name, loopback, the interface table, and netstat when
// the interface table says nothing), kept for the life of the process and
// handed out as copies. An address outside the list is still local when a
// socket can be bound to it, which catches interfaces added later.
#include <arpa/inet.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <source_location>

#include "local_addrs_private.h"
#include "ynet.h"
#include "yq_memory.h"
#include "yq_sys.h"
#include "ystrings.h"

FILE *local_addrs_debug_stream = nullptr;

namespace yq::resolver {
const char *h_errno_name(int error) noexcept {
    switch (error) {
    case HOST_NOT_FOUND: return "HOST_NOT_FOUND";
    case TRY_AGAIN: return "TRY_AGAIN";
    case NO_RECOVERY: return "NO_RECOVERY";
    case NO_ADDRESS: return "NO_ADDRESS";
    default: return "?undefined error?";
    }
}

}  // namespace yq::resolver

namespace {

constexpr const char *kModule = "local_addrs";

constexpr const char *kNetstatPaths[] = {
    "/usr/bin/netstat", "/usr/sbin/netstat", "/usr/etc/netstat", "/etc/netstat",
    "/usr/ucb/netstat", nullptr,
};

// Solaris reports the interface count; elsewhere (Linux) we size the table
// for this many interfaces.
constexpr int kDefaultInterfaces = 128;
constexpr size_t kHostNameSize = 257;
constexpr size_t kCommandSize = 128;
constexpr size_t kLineSize = 1024;
constexpr size_t kMaxAddressBytes = 16;
constexpr in_addr_t kAllOnes = 0xFFFFFFFFu;

struct in_addr *cached_local_addrs = nullptr;
int cached_local_addr_count = -1;

using Where = std::source_location;

// Writes one debug line when the stream is set; evaluates to `value`, so a
// step can report what it returns in one line.
int debug_msg(const char *file, int line, const char *label, const char *text, int value) {
    FILE *stream = local_addrs_debug_stream;
    if (stream == nullptr) return value;
    std::fprintf(stream, "%s.%d: %s = ", file, line, label);
    if (text != nullptr)
        std::fprintf(stream, "%s\n", text);
    else
        std::fprintf(stream, "%d 0x%08x\n", value, static_cast<unsigned>(value));
    std::fflush(stream);
    return value;
}

#define LA_DEBUG(label, text, value) debug_msg(kModule, __LINE__, (label), (text), (value))

// For helpers that report on their caller's behalf: the caller's line.
int debug_at(const Where &where, const char *label, int value) {
    return debug_msg(kModule, static_cast<int>(where.line()), label, nullptr, value);
}

int as_int(in_addr_t address) { return static_cast<int>(address); }

void release(struct in_addr **array, int *count) {
    std::free(*array);
    *array = nullptr;
    *count = 0;
}

// An allocation for the list failed: reported with the count the list had,
// which is then 0 (the caller releases the list).
int out_of_memory(int *count, Where where = Where::current()) {
    debug_at(where, "malloc failed for *count", *count);
    *count = 0;
    return -1;
}

// The interface count, where the system can tell it.
int interface_count(int fd) {
#ifdef SIOCGIFNUM
    constexpr int kMaxInterfaces = 1024;
    int n = 0;
    if (::ioctl(fd, SIOCGIFNUM, &n) == 0 && n >= 1 && n <= kMaxInterfaces) return n;
#else
    (void)fd;
#endif
    return kDefaultInterfaces;
}

// Ignores SIGCHLD while the netstat pipe is open, so a program's own child
// handler does not reap the shell; restores the whole action afterwards.
class ChildSignalIgnored {
public:
    ChildSignalIgnored() {
        struct sigaction ignore{};
        ignore.sa_handler = SIG_IGN;
        sigemptyset(&ignore.sa_mask);
        saved_ok_ = ::sigaction(SIGCHLD, &ignore, &saved_) == 0;
    }
    ~ChildSignalIgnored() {
        if (saved_ok_) ::sigaction(SIGCHLD, &saved_, nullptr);
    }
    ChildSignalIgnored(const ChildSignalIgnored &) = delete;
    ChildSignalIgnored &operator=(const ChildSignalIgnored &) = delete;

private:
    struct sigaction saved_{};
    bool saved_ok_ = false;
};

const char *first_netstat() {
    for (const char *const *path = kNetstatPaths; *path != nullptr; ++path)
        if (::access(*path, X_OK) == 0) return *path;
    return nullptr;
}

// The fourth field of a netstat line when it looks like a dotted address.
bool netstat_address(char *line, struct in_addr *out) {
    char *save = nullptr;
    char *token = strtok_r(line, " \t\n", &save);
    for (int i = 1; token != nullptr && i < 4; ++i) token = strtok_r(nullptr, " \t\n", &save);
    if (token == nullptr || *token < '0' || *token > '9' || std::strchr(token, '.') == nullptr)
        return false;
    in_addr_t address = ::inet_addr(token);
    if (address == kAllOnes) return false;
    out->s_addr = address;
    return true;
}

bool has_ipv4_addresses(const struct hostent *entry) {
    return entry != nullptr && entry->h_length == 4 && entry->h_addr_list != nullptr;
}

struct in_addr address_at(const struct hostent *entry, int i) {
    struct in_addr address{};
    std::memcpy(&address, entry->h_addr_list[i], sizeof address);
    return address;
}

// Runs one resolver call up to `attempts` times while it answers TRY_AGAIN,
// naming each failure into `error`; the pause follows every TRY_AGAIN, the
// last one included.
template <typename Lookup>
struct hostent *with_retries(Lookup lookup, int attempts, int interval, char *error,
                             int error_size) {
    for (int attempt = 0; attempt < attempts; ++attempt) {
        struct hostent *entry = lookup();
        if (entry != nullptr) return entry;
        int failure = h_errno;
        if (error != nullptr && error_size > 0)
            Y_strlcpy(error, yq::resolver::h_errno_name(failure), static_cast<size_t>(error_size));
        if (failure != TRY_AGAIN) break;
        yq::sys::sleep(static_cast<unsigned>(std::max(interval, 0)));
    }
    return nullptr;
}

}  // namespace

extern "C" struct hostent *retry_gethostbyname(const char *name, int attempts, int interval,
                                               char *error, int error_size) noexcept {
    return with_retries([name] { return yq::sys::gethostbyname(name); }, attempts,
                        interval, error, error_size);
}

extern "C" struct hostent *retry_gethostbyaddr(const void *address, int length, int type,
                                               int attempts, int interval, char *error,
                                               int error_size) noexcept {
    // The resolver gets a private copy: the caller's bytes may live in the
    // resolver's own static buffer, which the call overwrites.
    unsigned char copy[kMaxAddressBytes] = {};
    size_t size = std::clamp(length, 0, static_cast<int>(kMaxAddressBytes));
    if (address != nullptr) std::memcpy(copy, address, size);
    return with_retries(
        [&] {
            return yq::sys::gethostbyaddr(copy, static_cast<socklen_t>(size), type);
        },
        attempts, interval, error, error_size);
}

namespace yq::local_addrs {

int add_one(struct in_addr **array, int *count, struct in_addr address) noexcept {
    if (*array != nullptr && *count != 0) {
        for (int i = 0; i < *count; ++i)
            if ((*array)[i].s_addr == address.s_addr) return 0;
        void *grown = yq::sys::realloc(*array, (static_cast<size_t>(*count) + 1) * sizeof address);
        if (grown == nullptr) return out_of_memory(count);
        *array = static_cast<struct in_addr *>(grown);
    } else {
        std::free(*array);
        *array = static_cast<struct in_addr *>(yq::sys::malloc(sizeof address));
        *count = 0;
        if (*array == nullptr) return out_of_memory(count);
    }
    (*array)[(*count)++] = address;
    LA_DEBUG("added new_addr.s_addr", nullptr, as_int(address.s_addr));
    return 0;
}

int check_ifconf(struct in_addr **array, int *count) noexcept {
    yq::unique_fd fd(yq::sys::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd) return 0;

    int slots = interface_count(fd.get());
    yq::unique_malloc<struct ifreq> table(static_cast<struct ifreq *>(
        yq::sys::calloc(static_cast<size_t>(slots), sizeof(struct ifreq))));
    if (!table) return -1;
    struct ifconf conf{};
    conf.ifc_len = slots * static_cast<int>(sizeof(struct ifreq));
    conf.ifc_req = table.get();
    if (::ioctl(fd.get(), SIOCGIFCONF, &conf) != 0) return 0;

    int found = 0;
    int records = conf.ifc_len / static_cast<int>(sizeof(struct ifreq));
    for (int i = 0; i < records; ++i) {
        struct ifreq request = table.get()[i];
        if (request.ifr_name[0] == '\0') continue;
        if (::ioctl(fd.get(), SIOCGIFADDR, &request) != 0) continue;
        if (request.ifr_addr.sa_family != AF_INET) continue;
        struct sockaddr_in addr{};
        std::memcpy(&addr, &request.ifr_addr, sizeof addr);
        if (addr.sin_addr.s_addr == 0) continue;
        LA_DEBUG("SIOCGIFCONF addr.sin_addr.s_addr", nullptr, as_int(addr.sin_addr.s_addr));
        if (add_one(array, count, addr.sin_addr) != 0) return -1;
        ++found;
    }
    return LA_DEBUG("SIOCGIFCONF total", nullptr, found);
}

int check_netstat(struct in_addr **array, int *count) noexcept {
    const char *path = first_netstat();
    if (path == nullptr) return 0;
    char command[kCommandSize];
    Y_snprintf(command, sizeof command, "%s -i -n 2> /dev/null", path);
    LA_DEBUG("netstat command", command, 0);

    // Declared first, so the pipe is closed before the action comes back.
    ChildSignalIgnored no_reaper;
    yq::unique_pipe pipe(::popen(command, "r"));
    if (!pipe) return 0;
    int found = 0;
    char line[kLineSize];
    while (std::fgets(line, sizeof line, pipe.get()) != nullptr) {
        struct in_addr address{};
        if (!netstat_address(line, &address)) continue;
        LA_DEBUG("netstat new_addr.s_addr", nullptr, as_int(address.s_addr));
        if (add_one(array, count, address) != 0) {
            release(array, count);
            return -1;
        }
        ++found;
    }
    pipe.reset();
    return LA_DEBUG("netstat total", nullptr, found);
}

int isLocalIPaddr(const struct in_addr *address) noexcept {
    yq::unique_fd fd(yq::sys::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return 0;
    struct sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = 0;
    addr.sin_addr = *address;
    return yq::sys::bind(fd.get(), reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) == 0
               ? 1
               : 0;
}

int isLocalHostname(const char *name) noexcept {
    if (name == nullptr) return 0;
    struct in_addr dotted{};
    dotted.s_addr = ::inet_addr(name);
    if (dotted.s_addr != kAllOnes) return isLocalIPaddr(&dotted);
    struct hostent *entry = retry_gethostbyname(name, 5, 1, nullptr, 0);
    if (!has_ipv4_addresses(entry)) return 0;
    for (int i = 0; entry->h_addr_list[i] != nullptr; ++i) {
        struct in_addr address = address_at(entry, i);
        if (isLocalIPaddr(&address)) return 1;
    }
    return 0;
}

void reset_cache() noexcept {
    std::free(cached_local_addrs);
    cached_local_addrs = nullptr;
    cached_local_addr_count = -1;
}

int cached_count() noexcept { return cached_local_addr_count; }

}  // namespace yq::local_addrs

namespace {

using yq::local_addrs::add_one;

int gathering_failed(struct in_addr **array, int *count, const char *label,
                     Where where = Where::current()) {
    release(array, count);
    debug_at(where, label, *count);
    return -1;
}

// Adds every 4-byte address that this machine's own name resolves to.
int add_host_name_addresses(struct in_addr **array, int *count) {
    char name[kHostNameSize] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return 0;
    name[sizeof name - 1] = '\0';
    struct hostent *entry = retry_gethostbyname(name, 5, 1, nullptr, 0);
    if (!has_ipv4_addresses(entry)) return 0;
    for (int i = 0; entry->h_addr_list[i] != nullptr; ++i) {
        struct in_addr address = address_at(entry, i);
        LA_DEBUG("gethostname new_addr.s_addr", nullptr, as_int(address.s_addr));
        if (add_one(array, count, address) != 0) return -1;
    }
    return 0;
}

void refill_cache(const struct in_addr *array, int count) {
    std::free(cached_local_addrs);
    cached_local_addrs = nullptr;
    cached_local_addr_count = -1;
    auto *copy = static_cast<struct in_addr *>(
        yq::sys::malloc(static_cast<size_t>(count) * sizeof(struct in_addr)));
    if (copy == nullptr) return;
    std::memcpy(copy, array, static_cast<size_t>(count) * sizeof(struct in_addr));
    cached_local_addrs = copy;
    cached_local_addr_count = count;
}

}  // namespace

extern "C" int get_local_addrs(struct in_addr **addrs, int *count) noexcept {
    if (addrs == nullptr || count == nullptr) return -1;
    *addrs = nullptr;
    *count = 0;

    if (cached_local_addrs != nullptr && cached_local_addr_count >= 1) {
        for (int i = 0; i < cached_local_addr_count; ++i)
            if (add_one(addrs, count, cached_local_addrs[i]) != 0)
                return gathering_failed(addrs, count, "add_one failed for *count");
        LA_DEBUG("got local address *count", nullptr, *count);
        return 0;
    }

    if (add_host_name_addresses(addrs, count) != 0)
        return gathering_failed(addrs, count, "add_one failed for *count");

    struct in_addr loopback{};
    loopback.s_addr = htonl(INADDR_LOOPBACK);
    LA_DEBUG("LOOPBACK new_addr.s_addr", nullptr, as_int(loopback.s_addr));
    if (add_one(addrs, count, loopback) != 0)
        return gathering_failed(addrs, count, "add_one failed for *count");

    int found = yq::local_addrs::check_ifconf(addrs, count);
    if (found < 0) return gathering_failed(addrs, count, "check_ifconf failed for *count");
    if (found == 0 && yq::local_addrs::check_netstat(addrs, count) < 0)
        return gathering_failed(addrs, count, "check_netstat failed for *count");

    if (*count > 0) refill_cache(*addrs, *count);
    LA_DEBUG("got local address *count", nullptr, *count);
    return 0;
}

extern "C" int is_local_addr(const struct in_addr *addrs, int count,
                             const struct in_addr *address) noexcept {
    if (address == nullptr) return 0;
    if (addrs != nullptr && count >= 1)
        for (int i = 0; i < count; ++i)
            if (addrs[i].s_addr == address->s_addr) return 1;
    return yq::local_addrs::isLocalIPaddr(address);
}

extern "C" int is_local_host(const struct in_addr *addrs, int count, const char *name) noexcept {
    if (name == nullptr) return 0;
    struct hostent *entry = retry_gethostbyname(name, 5, 1, nullptr, 0);
    if (has_ipv4_addresses(entry)) {
        for (int i = 0; entry->h_addr_list[i] != nullptr; ++i) {
            struct in_addr address = address_at(entry, i);
            if (is_local_addr(addrs, count, &address)) return 1;
        }
    }
    return yq::local_addrs::isLocalHostname(name);
}

extern "C" int isLocalHost(const char *name) noexcept {
    return yq::local_addrs::isLocalHostname(name);
}
