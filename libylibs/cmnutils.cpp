// Directory creation and listings, name lists, name transcoding and reading
// lines of any length.
#include "cmnutils.h"

#include <dirent.h>
#include <netdb.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "cmnutils_private.h"
#include "logging.h"
#include "ynet.h"
#include "yq_memory.h"
#include "yq_sys.h"
#include "ystrings.h"

namespace {

// get_dir_list sorts by merging above this many names.
constexpr size_t kInsertionSortMax = 30;

// colonize/decolonize copy at most this many characters.
constexpr size_t kColonizeMax = 64;

constexpr size_t kLineChunk = 1024;

// A failed listing: stores `error` in *err and logs "<what>: <error text>
// (<error>)" under get_dir_list, keeping errno; evaluates to the listing's
// failure result.
char **listing_failed(int *err, const char *what, int error) {
    yq::ErrnoGuard keep;
    *err = error;
    char text[1025];
    if (Y_snprintf(text, sizeof text, "%s: %s (%d)", what, std::strerror(error), error) >= 0)
        logmsg(2, text, "get_dir_list");
    return nullptr;
}

struct NodesDeleter {
    void operator()(dlist_entry *list) const noexcept {
        while (list != nullptr) {
            dlist_entry *next = list->next;
            std::free(list->name);
            std::free(list);
            list = next;
        }
    }
};
// Owns a list of nodes and their names.
using unique_nodes = std::unique_ptr<dlist_entry, NodesDeleter>;

dlist_entry *prepend(dlist_entry *node, dlist_entry *list) {
    node->next = list;
    return node;
}

// Selects one of three static buffers by mode (1, 2, anything else).
char *mode_buffer(char (&buffers)[3][kColonizeMax + 1], int mode) {
    return buffers[mode == 1 ? 0 : mode == 2 ? 1 : 2];
}

char *translate(const char *in, char *out, char from, char to) {
    size_t i = 0;
    for (; in != nullptr && i < kColonizeMax && in[i] != '\0'; ++i) out[i] = in[i] == from ? to : in[i];
    out[i] = '\0';
    return out;
}

// Characters that pass through the transcoder unchanged: names made only of
// these stay readable.
bool passes_unchanged(unsigned char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("/\\:_.-+").find(static_cast<char>(c)) != std::string_view::npos;
}

bool continuation(unsigned char c) { return (c & 0xC0) == 0x80; }

}  // namespace

extern "C" {

int mkdirpath(const char *path, int mode, int *err) noexcept {
    int scratch_err = 0;
    if (err == nullptr) err = &scratch_err;
    if (path == nullptr) {
        *err = EINVAL;
        return -1;
    }
    yq::cmnutils::UmaskGuard mask(0);

    // Components are walked from the root whether or not the path starts
    // with '/'; a prefix is at most the path plus one leading '/'.
    size_t size = std::strlen(path) + 2;
    yq::unique_malloc<char> owned(static_cast<char *>(yq::sys::malloc(size)));
    if (!owned) {
        *err = ENOMEM;
        return -1;
    }
    char *prefix = owned.get();
    prefix[0] = '\0';

    std::string_view rest(path);
    while (!rest.empty()) {
        size_t start = rest.find_first_not_of('/');
        if (start == std::string_view::npos) break;
        rest.remove_prefix(start);
        std::string_view component = rest.substr(0, rest.find('/'));
        rest.remove_prefix(component.size());

        Y_strlcat(prefix, "/", size);
        Y_strlncat(prefix, component.data(), component.size(), size);
        if (::access(prefix, F_OK) == 0) continue;
        if (::mkdir(prefix, static_cast<mode_t>(mode)) != 0 && errno != EEXIST) {
            *err = errno;
            return -1;
        }
    }
    return 0;
}

int free_char_array(char **array) noexcept {
    if (array == nullptr) {
        logmsg(8, "called to free NULL array", "free_char_array");
        return 0;
    }
    for (char **p = array; *p != nullptr; ++p) std::free(*p);
    std::free(array);
    return 0;
}

int free_dir_list(char **list) noexcept { return free_char_array(list); }

dlist_entry *create_dlist_entry(const char *name) noexcept {
    if (name == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    yq::unique_malloc<dlist_entry> node(static_cast<dlist_entry *>(yq::sys::malloc(sizeof(dlist_entry))));
    if (!node || (node->name = yq::sys::strdup(name)) == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    node->next = nullptr;
    return node.release();
}

dlist_entry *insertion_sort_dlist(dlist_entry *list) noexcept {
    dlist_entry *sorted = nullptr;
    while (list != nullptr) {
        dlist_entry *node = list;
        list = list->next;
        dlist_entry **slot = &sorted;
        while (*slot != nullptr && std::strcmp((*slot)->name, node->name) <= 0) slot = &(*slot)->next;
        node->next = *slot;
        *slot = node;
    }
    return sorted;
}

dlist_entry *merge_sort_dlist(dlist_entry *list, int dir) noexcept {
    if (list == nullptr || list->next == nullptr) return list;

    // Deal the nodes alternately into two halves.
    dlist_entry *half[2] = {nullptr, nullptr};
    for (int side = 0; list != nullptr; side ^= 1) {
        dlist_entry *node = list;
        list = list->next;
        half[side] = prepend(node, half[side]);
    }

    // Each half is sorted the opposite way, so that prepending the head that
    // belongs last (the greater for ascending, the smaller for descending)
    // builds the result from its end in one pass.
    dlist_entry *a = merge_sort_dlist(half[0], !dir);
    dlist_entry *b = merge_sort_dlist(half[1], !dir);
    dlist_entry *merged = nullptr;
    while (a != nullptr || b != nullptr) {
        bool take_a;
        if (a == nullptr)
            take_a = false;
        else if (b == nullptr)
            take_a = true;
        else {
            int cmp = std::strcmp(a->name, b->name);
            take_a = dir == 0 ? cmp >= 0 : cmp <= 0;
        }
        dlist_entry *&from = take_a ? a : b;
        dlist_entry *node = from;
        from = from->next;
        merged = prepend(node, merged);
    }
    return merged;
}

char **get_dir_list(const char *dir, int *err) noexcept {
    int scratch_err = 0;
    if (err == nullptr) err = &scratch_err;
    *err = 0;

    if (dir == nullptr) {
        *err = EINVAL;
        return nullptr;
    }
    yq::unique_dir d(::opendir(dir));
    if (!d) {
        *err = errno;
        // A missing directory or a plain file is an ordinary answer, not a fault.
        if (*err == ENOENT || *err == ENOTDIR) return nullptr;
        return listing_failed(err, "opendir() failed", *err);
    }

    unique_nodes list;
    size_t count = 0;
    while (struct dirent *entry = ::readdir(d.get())) {
        if (entry->d_name[0] == '.') continue;
        dlist_entry *node = create_dlist_entry(entry->d_name);
        if (node == nullptr) return listing_failed(err, "create_dlist_entry() failed", errno);
        list.reset(prepend(node, list.release()));
        ++count;
    }
    d.reset();
    if (count == 0) return nullptr;

    list.reset(count > kInsertionSortMax ? merge_sort_dlist(list.release(), 0)
                                         : insertion_sort_dlist(list.release()));

    auto **names = static_cast<char **>(yq::sys::malloc((count + 1) * sizeof(char *)));
    if (names == nullptr) return listing_failed(err, "malloc() contents failed", ENOMEM);
    // The names move into the array; only the nodes are released.
    size_t i = 0;
    for (dlist_entry *node = list.release(), *next; node != nullptr; node = next) {
        next = node->next;
        names[i++] = node->name;
        std::free(node);
    }
    names[i] = nullptr;
    return names;
}

char *colonize_by_mode(const char *in, char *out, int mode) noexcept {
    static char buffers[3][kColonizeMax + 1];
    return translate(in, out != nullptr ? out : mode_buffer(buffers, mode), ' ', ':');
}

char *decolonize_by_mode(const char *in, char *out, int mode) noexcept {
    static char buffers[3][kColonizeMax + 1];
    return translate(in, out != nullptr ? out : mode_buffer(buffers, mode), ':', ' ');
}

void ucs1_to_utf8(const char *in, char *out) noexcept {
    if (out == nullptr) return;
    size_t o = 0;
    for (size_t i = 0; in != nullptr && in[i] != '\0'; ++i) {
        auto c = static_cast<unsigned char>(in[i]);
        if (passes_unchanged(c)) {
            out[o++] = static_cast<char>(c);
        } else {
            out[o++] = static_cast<char>(0xC0 + (c >> 6));
            out[o++] = static_cast<char>(0x80 + (c & 0x3F));
        }
    }
    out[o] = '\0';
}

void utf8_to_ucs1(const char *in, char *out) noexcept {
    if (out == nullptr) return;
    size_t o = 0;
    const auto *s = reinterpret_cast<const unsigned char *>(in);
    for (size_t i = 0; s != nullptr && s[i] != 0;) {
        unsigned char lead = s[i];
        // A sequence counts only when its continuation bytes are there, so a
        // cut sequence never swallows the terminator or the next character.
        if ((lead & 0xE0) == 0xC0 && continuation(s[i + 1])) {
            out[o++] = static_cast<char>(((lead & 0x1F) << 6 | (s[i + 1] & 0x3F)) & 0xFF);
            i += 2;
        } else if ((lead & 0xF0) == 0xE0 && continuation(s[i + 1]) && continuation(s[i + 2])) {
            out[o++] = static_cast<char>(
                ((lead & 0x0F) << 12 | (s[i + 1] & 0x3F) << 6 | (s[i + 2] & 0x3F)) & 0xFF);
            i += 3;
        } else {
            out[o++] = static_cast<char>(lead);
            i += 1;
        }
    }
    out[o] = '\0';
}

char *myfgetline(FILE *stream, int *len) noexcept {
    if (len != nullptr) *len = 0;
    if (stream == nullptr) return nullptr;
    size_t capacity = kLineChunk;
    auto *line = static_cast<char *>(yq::sys::malloc(capacity));
    if (line == nullptr) return nullptr;

    size_t count = 0;
    int c;
    while ((c = std::getc(stream)) != EOF) {
        if (count + 1 >= capacity) {
            capacity += kLineChunk;
            void *block = line;
            if (Y_dumb_realloc(&block, capacity) == nullptr) return nullptr;
            line = static_cast<char *>(block);
        }
        line[count++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    if (count == 0) {
        std::free(line);
        return nullptr;
    }
    line[count] = '\0';
    if (len != nullptr) *len = static_cast<int>(count);
    return line;
}

}  // extern "C"

// ---- Host comparison ------------------------------------------------------
// hosts_equal answers whether two names denote one machine, straight from the
// resolver (no cache), and explains a "no" in the debug log when he_verbose
// is set.

int he_verbose = 0;

namespace {

constexpr size_t kHostBufferSize = 257;
constexpr size_t kHostLogSize = 771;
constexpr size_t kHostErrorSize = 50;
constexpr int kKeptAddresses = 4;

// This module's own list of local addresses, gathered on first use.
struct in_addr *he_local_addrs = nullptr;
int he_local_addr_count = -1;

__attribute__((format(printf, 1, 2))) void he_log(const char *format, ...) {
    char message[kHostLogSize];
    va_list args;
    va_start(args, format);
    int n = Y_vsnprintf(message, sizeof message, format, args);
    va_end(args);
    if (n >= 0) logmsg(2, message, "hosts_equal");
}

bool empty_name(const char *name) { return name == nullptr || *name == '\0'; }

// What is kept of one resolver answer before the next call overwrites it.
struct KeptHost {
    char canonical[kHostBufferSize] = {};
    in_addr_t addresses[kKeptAddresses + 1] = {};  // zero-terminated
    bool local = false;
};

// Resolves `name` (three attempts), keeps its canonical name and first
// addresses, and returns the resolver's entry; null (logged) on failure.
const struct hostent *resolve_and_keep(const char *name, KeptHost *kept) {
    char error[kHostErrorSize] = {};
    const struct hostent *entry = retry_gethostbyname(name, 3, 1, error, sizeof error);
    if (entry == nullptr) {
        int failure = h_errno;
        he_log("gethostbyname failed for %s: %s (%d)", name, error, failure);
        return nullptr;
    }
    Y_strlcpy(kept->canonical, entry->h_name != nullptr ? entry->h_name : "",
              sizeof kept->canonical);
    if (entry->h_length == 4 && entry->h_addr_list != nullptr) {
        for (int i = 0; i < kKeptAddresses && entry->h_addr_list[i] != nullptr; ++i) {
            std::memcpy(&kept->addresses[i], entry->h_addr_list[i], sizeof(in_addr_t));
            struct in_addr one{};
            one.s_addr = kept->addresses[i];
            if (!kept->local && he_local_addr_count > 0 &&
                is_local_addr(he_local_addrs, he_local_addr_count, &one))
                kept->local = true;
        }
    }
    return entry;
}

// True when `canonical` is one of `entry`'s aliases.
bool matches_alias(const char *canonical, const struct hostent *entry) {
    if (entry->h_aliases == nullptr || entry->h_aliases[0] == nullptr) {
        if (he_verbose) he_log("there were NO aliases for %s", entry->h_name);
        return false;
    }
    for (char **alias = entry->h_aliases; *alias != nullptr; ++alias) {
        if (he_verbose) he_log("compare %s with alias %s", canonical, *alias);
        if (strcasecmp(canonical, *alias) == 0) return true;
    }
    return false;
}

bool addresses_match(const KeptHost &one, const char *name1, const KeptHost &two,
                     const char *name2) {
    for (const in_addr_t *a = one.addresses; *a != 0; ++a) {
        for (const in_addr_t *b = two.addresses; *b != 0; ++b) {
            if (*a == *b) return true;
            if (he_verbose) {
                he_log("addresses DO NOT match");
                he_log("%s=0x%x %s=0x%x", name1, static_cast<unsigned>(*a), name2,
                       static_cast<unsigned>(*b));
            }
        }
    }
    return false;
}

}  // namespace

extern "C" int hosts_equal(const char *name1, const char *name2) noexcept {
    if (empty_name(name1) && empty_name(name2)) return 1;
    if (empty_name(name1) || empty_name(name2)) return 0;
    if (strcasecmp(name1, name2) == 0) return 1;

    // Gathered first: gathering uses the resolver too, which would overwrite
    // an answer still being read.
    if (he_local_addr_count == -1 && get_local_addrs(&he_local_addrs, &he_local_addr_count) != 0)
        he_local_addr_count = 0;

    char hostbuf1[kHostBufferSize];
    char hostbuf2[kHostBufferSize];
    Y_strlcpy(hostbuf1, name1, sizeof hostbuf1);
    Y_strlcpy(hostbuf2, name2, sizeof hostbuf2);

    KeptHost one;
    KeptHost two;
    if (resolve_and_keep(hostbuf1, &one) == nullptr) return 0;
    const struct hostent *entry = resolve_and_keep(hostbuf2, &two);
    if (entry == nullptr) return 0;

    if (one.local && two.local) return 1;
    if (strcasecmp(one.canonical, entry->h_name != nullptr ? entry->h_name : "") == 0) return 1;
    if (he_verbose) {
        he_log("hostnames DO NOT compare");
        he_log("name1=%s  name2=%s", name1, name2);
        he_log("hostbuf=%s  hostentry->h_name=%s", one.canonical, entry->h_name);
    }

    if (matches_alias(one.canonical, entry)) return 1;
    // The other way round: name2's canonical name among name1's aliases.
    entry = retry_gethostbyname(hostbuf1, 1, 1, nullptr, 0);
    if (entry == nullptr) {
        int failure = h_errno;
        he_log("cannot find host: %s (%d)", name1, failure);
        return 0;
    }
    if (matches_alias(two.canonical, entry)) return 1;

    return addresses_match(one, hostbuf1, two, hostbuf2) ? 1 : 0;
}
