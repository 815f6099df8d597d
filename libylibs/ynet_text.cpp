// Service entries and the service files that hold them, one entry per line:
// NAME, PID, REGTIME, EXPTIME, IPC, ICMD, DCMD and one ARG per argument,
// each as "KEY=value;". Files are read and rewritten through the text-file
// layer, so a rewrite replaces the whole file atomically.
#include "ynet_text_private.h"

#include <strings.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "ynet_private.h"
#include "ytext.h"
#include "yq_sys.h"
#include "ystrings.h"

namespace {

constexpr const char *kModule = "ynet_text";

using Text = yq::unique_malloc<char>;
using yq::report::Where;

struct EntryDeleter {
    void operator()(ynet_service_entry *e) const noexcept { ynet_service_free(&e); }
};
using EntryPtr = std::unique_ptr<ynet_service_entry, EntryDeleter>;

// A text handle that is closed without commit unless closed otherwise.
struct HandleCloser {
    void operator()(ytext_handle *h) const noexcept { ytext_close(&h, 0); }
};
using HandlePtr = std::unique_ptr<ytext_handle, HandleCloser>;

// One line key: a string field, a number field or the argument list.
struct Field {
    const char *key;
    char *ynet_service_entry::*text;
    int ynet_service_entry::*number;
    bool always; // numbers: written even when 0
};

// In the order a line is written; ARG comes last.
constexpr Field kFields[] = {
    {"NAME", &ynet_service_entry::name, nullptr, false},
    {"PID", nullptr, &ynet_service_entry::pid, true},
    {"REGTIME", nullptr, &ynet_service_entry::regtime, false},
    {"EXPTIME", nullptr, &ynet_service_entry::exptime, false},
    {"IPC", &ynet_service_entry::ipc, nullptr, false},
    {"ICMD", &ynet_service_entry::icmd, nullptr, false},
    {"DCMD", &ynet_service_entry::dcmd, nullptr, false},
};
constexpr const char kArgKey[] = "ARG";

// A value holding both quote characters cannot be written; the status has
// the number of the text layer's own status for it.
constexpr int kUnquotable = 2;

// Line numbers are 32-bit: printed unsigned, read back with base detection
// into the same bits.
int to_field_number(long value) { return static_cast<int>(static_cast<uint32_t>(value)); }

// Makes room for `room` more bytes (terminator included) at the end of the
// growing *line and returns where they start; NULL, with the line released,
// when memory runs out.
char *grow_line(char **line, size_t room) {
    size_t used = *line != nullptr ? std::strlen(*line) : 0;
    void *grown = *line;
    if (Y_dumb_realloc(&grown, used + room) == nullptr) {
        *line = nullptr;
        return nullptr;
    }
    *line = static_cast<char *>(grown);
    (*line)[used] = '\0';
    return *line + used;
}

// The bounded formatter needs memory of its own; when it or the growth
// fails, the partial line goes. Reported as the caller's failing step.
int line_failed(char **line, Where where = Where::current()) {
    std::free(*line);
    *line = nullptr;
    return yq::report::fail(kModule, YN_STATUS_NO_MEMORY, yq::report::kFunctionFailed, where);
}

int add_arg(ynet_service_entry *e, const char *value) {
    Text copy(yq::sys::strdup(value));
    if (!copy) return YN_STATUS_NO_MEMORY;
    // Plain realloc: the old array (and its elements) must survive a failure.
    auto *grown = static_cast<char **>(
        yq::sys::realloc(e->args, (static_cast<size_t>(e->arg_count) + 2) * sizeof(char *)));
    if (grown == nullptr) return YN_STATUS_NO_MEMORY;
    e->args = grown;
    e->args[e->arg_count++] = copy.release();
    e->args[e->arg_count] = nullptr;
    return YN_STATUS_SUCCESS;
}

// One "key=value" piece of a line; pieces that say nothing usable are
// ignored. Only memory failures are statuses.
int read_field(ynet_service_entry *e, char *piece) {
    char *equals = std::strchr(piece, '=');
    if (equals == nullptr) return YN_STATUS_SUCCESS;
    *equals = '\0';
    char *key = ytext_skip_space(piece);
    ytext_skip_no_space(&key);
    char *value = ytext_skip_space(equals + 1);
    ytext_skip_no_space(&value);
    if (*key == '\0' || *value == '\0') return YN_STATUS_SUCCESS;

    if (strcasecmp(key, kArgKey) == 0) return add_arg(e, value);
    for (const Field &field : kFields) {
        if (strcasecmp(key, field.key) != 0) continue;
        if (field.number != nullptr) {
            e->*field.number = to_field_number(std::strtol(value, nullptr, 0));
            return YN_STATUS_SUCCESS;
        }
        char *copy = yq::sys::strdup(value);
        if (copy == nullptr) return YN_STATUS_NO_MEMORY;
        std::free(e->*field.text);
        e->*field.text = copy;
        return YN_STATUS_SUCCESS;
    }
    return YN_STATUS_SUCCESS;
}

// Maps a connection status of this module to the ytext status a callback
// returns.
int to_text_status(int status) {
    if (status == YN_STATUS_SUCCESS) return YTEXT_SUCCESS;
    return status == YN_STATUS_NO_MEMORY ? YTEXT_NO_MEMORY : YTEXT_UNQUOTABLE;
}

}  // namespace

namespace yq::ynet_text {

int append_string_to_line(char **line, const char *key, const char *value) noexcept {
    char delimiter = '\0';
    if (ytext_delimiter(value, &delimiter) != YTEXT_SUCCESS) return YN_FAIL(kUnquotable);
    size_t room = std::strlen(key) + std::strlen(value) + 5;
    char *at = grow_line(line, room);
    if (at == nullptr) return line_failed(line);
    if (Y_snprintf(at, room, "%s=%c%s%c;", key, delimiter, value, delimiter) < 0)
        return line_failed(line);
    return YN_STATUS_SUCCESS;
}

int append_number_to_line(char **line, const char *key, int value) noexcept {
    char digits[24];
    if (Y_snprintf(digits, sizeof digits, "%lu",
                   static_cast<unsigned long>(static_cast<uint32_t>(value))) < 0)
        return line_failed(line);
    size_t room = std::strlen(key) + std::strlen(digits) + 3;
    char *at = grow_line(line, room);
    if (at == nullptr) return line_failed(line);
    if (Y_snprintf(at, room, "%s=%s;", key, digits) < 0) return line_failed(line);
    return YN_STATUS_SUCCESS;
}

}  // namespace yq::ynet_text

// ------------------------------------------------------------ one line

int ynet_service_parse(const char *line, ynet_service_entry **entry) noexcept {
    if (entry == nullptr) return YN_FAIL(YN_STATUS_NULL_POINTER);
    *entry = nullptr;
    if (line == nullptr) return YN_STATUS_SUCCESS;
    EntryPtr e(static_cast<ynet_service_entry *>(yq::sys::calloc(1, sizeof(ynet_service_entry))));
    Text copy(yq::sys::strdup(line));
    if (!e || !copy) return YN_FAIL(YN_STATUS_NO_MEMORY);
    if (char *newline = std::strchr(copy.get(), '\n')) *newline = '\0';
    // Fields end at ';' wherever it stands, even inside quotes; the text
    // after the last ';' is not a field.
    char *piece = copy.get();
    while (char *end = std::strchr(piece, ';')) {
        *end = '\0';
        if (read_field(e.get(), piece) != YN_STATUS_SUCCESS) return YN_FAIL(YN_STATUS_NO_MEMORY);
        piece = end + 1;
    }
    *entry = e.release();
    return YN_STATUS_SUCCESS;
}

int ynet_service_unparse(const ynet_service_entry *entry, char **line) noexcept {
    if (line == nullptr) return YN_FAIL(YN_STATUS_NULL_POINTER);
    *line = nullptr;
    if (entry == nullptr) return YN_STATUS_SUCCESS;
    char *out = nullptr;
    int status = YN_STATUS_SUCCESS;
    for (const Field &field : kFields) {
        if (field.text != nullptr) {
            const char *value = entry->*field.text;
            if (value != nullptr)
                status = yq::ynet_text::append_string_to_line(&out, field.key, value);
        } else {
            int value = entry->*field.number;
            if (value != 0 || field.always)
                status = yq::ynet_text::append_number_to_line(&out, field.key, value);
        }
        if (status != YN_STATUS_SUCCESS) break;
    }
    for (char *const *arg = entry->args; status == YN_STATUS_SUCCESS && arg != nullptr && *arg;
         ++arg)
        status = yq::ynet_text::append_string_to_line(&out, kArgKey, *arg);
    if (status != YN_STATUS_SUCCESS) {
        std::free(out);
        return YN_FAIL(status);
    }
    *line = out;
    return YN_STATUS_SUCCESS;
}

// --------------------------------------------------------- entries, lists

void ynet_service_free(ynet_service_entry **entry) noexcept {
    if (entry == nullptr || *entry == nullptr) return;
    ynet_service_entry *e = *entry;
    std::free(e->name);
    std::free(e->ipc);
    std::free(e->icmd);
    std::free(e->dcmd);
    if (e->args != nullptr)
        for (char **arg = e->args; *arg != nullptr; ++arg) std::free(*arg);
    std::free(e->args);
    std::free(e);
    *entry = nullptr;
}

void ynet_free_service_entry(ynet_service_entry **list, ynet_service_entry *entry) noexcept {
    if (list == nullptr || entry == nullptr) return;
    ynet_service_entry *e = *list;
    while (e != nullptr && e != entry) e = e->next;
    if (e == nullptr) return;
    if (e->prev != nullptr)
        e->prev->next = e->next;
    else
        *list = e->next;
    if (e->next != nullptr) e->next->prev = e->prev;
    ynet_service_free(&e);
}

extern "C" void ynet_free_service_list(ynet_service_entry **list) noexcept {
    if (list == nullptr) return;
    while (*list != nullptr) ynet_free_service_entry(list, *list);
}

extern "C" int ynet_add_service_entry(ynet_service_entry **list, ynet_service_entry *before,
                                      const char *name, int pid, int regtime, int exptime,
                                      const char *ipc, const char *icmd, const char *dcmd,
                                      char *const *args) noexcept {
    if (list == nullptr) return YN_FAIL(YN_STATUS_NULL_POINTER);
    // Through a line and back: the stored entry is what a later read of the
    // file gives (empty strings vanish, unquotable values are refused).
    ynet_service_entry draft{};
    draft.name = const_cast<char *>(name);
    draft.pid = pid;
    draft.regtime = regtime;
    draft.exptime = exptime;
    draft.ipc = const_cast<char *>(ipc);
    draft.icmd = const_cast<char *>(icmd);
    draft.dcmd = const_cast<char *>(dcmd);
    draft.args = const_cast<char **>(args);
    char *raw = nullptr;
    int status = ynet_service_unparse(&draft, &raw);
    Text line(raw);
    ynet_service_entry *entry = nullptr;
    if (status == YN_STATUS_SUCCESS) status = ynet_service_parse(line.get(), &entry);
    if (status != YN_STATUS_SUCCESS) return YN_FAIL(status);

    ynet_service_entry *at = *list;
    while (at != nullptr && at != before) at = at->next;
    if (at != nullptr) {
        entry->next = at;
        entry->prev = at->prev;
        if (at->prev != nullptr)
            at->prev->next = entry;
        else
            *list = entry;
        at->prev = entry;
        return YN_STATUS_SUCCESS;
    }
    if (*list == nullptr) {
        *list = entry;
        return YN_STATUS_SUCCESS;
    }
    ynet_service_entry *tail = *list;
    while (tail->next != nullptr) tail = tail->next;
    tail->next = entry;
    entry->prev = tail;
    return YN_STATUS_SUCCESS;
}

// -------------------------------------------------------------- callbacks

int ynet_service_parse_function(const char *line, void **item) noexcept {
    ynet_service_entry *entry = nullptr;
    int status = ynet_service_parse(line, &entry);
    if (item != nullptr)
        *item = entry;
    else
        ynet_service_free(&entry);
    return to_text_status(status);
}

int ynet_service_unparse_function(const void *item, char **line) noexcept {
    return to_text_status(
        ynet_service_unparse(static_cast<const ynet_service_entry *>(item), line));
}

void ynet_service_free_function(void **item) noexcept {
    if (item == nullptr) return;
    auto *entry = static_cast<ynet_service_entry *>(*item);
    ynet_service_free(&entry);
    *item = nullptr;
}

// ----------------------------------------------------------------- files

int ynet_read_service(const char *path, const char *text, ynet_service_entry **list) noexcept {
    if (list == nullptr) return YN_FAIL(YN_STATUS_NULL_POINTER);
    *list = nullptr;
    ytext_handle *opened = nullptr;
    int status = ytext_open(path != nullptr ? path : text,
                            path != nullptr ? YTEXT_MODE_READ : YTEXT_MODE_MEMORY,
                            ynet_service_parse_function, ynet_service_unparse_function,
                            ynet_service_free_function, &opened);
    HandlePtr h(opened);
    if (status != YTEXT_SUCCESS) return YN_FAIL(ynet_text_to_net_status(status));
    ynet_service_entry *head = nullptr;
    ynet_service_entry *tail = nullptr;
    for (;;) {
        void *item = nullptr;
        status = ytext_get_next_item(h.get(), &item);
        if (status != YTEXT_SUCCESS) {
            ynet_free_service_list(&head);
            return YN_FAIL(ynet_text_to_net_status(status));
        }
        if (item == nullptr) break;
        auto *entry = static_cast<ynet_service_entry *>(item);
        entry->prev = tail;
        if (tail != nullptr)
            tail->next = entry;
        else
            head = entry;
        tail = entry;
    }
    *list = head;
    return YN_STATUS_SUCCESS;
}

extern "C" int ynet_read_service_file(const char *path, ynet_service_entry **list) noexcept {
    if (path == nullptr) {
        if (list != nullptr) *list = nullptr;
        return YN_FAIL(YN_STATUS_FILE_OPEN_FAILED);
    }
    return ynet_read_service(path, nullptr, list);
}

extern "C" int ynet_update_service_file(const char *path,
                                        const ynet_service_entry *first) noexcept {
    ytext_handle *opened = nullptr;
    int status = ytext_open(path, YTEXT_MODE_REWRITE, ynet_service_parse_function,
                            ynet_service_unparse_function, ynet_service_free_function, &opened);
    HandlePtr h(opened);
    if (status != YTEXT_SUCCESS) return YN_FAIL(ynet_text_to_net_status(status));
    // The handle starts empty, so each entry is appended by writing its line
    // at the end; going through the item engine would re-read and rewrite
    // every earlier line for each entry. A failure leaves the old file.
    for (const ynet_service_entry *e = first; e != nullptr; e = e->next) {
        status = ytext_put_record(h->stream, h->unparse_fn, e);
        if (status != YTEXT_SUCCESS) return YN_FAIL(ynet_text_to_net_status(status));
    }
    opened = h.release();
    status = ytext_close(&opened, 1);
    if (status != YTEXT_SUCCESS) return YN_FAIL(ynet_text_to_net_status(status));
    return YN_STATUS_SUCCESS;
}
