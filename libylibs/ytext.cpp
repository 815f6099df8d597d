// Text files whose lines are records. A writable handle never writes the
// target in place: its content lives in a temporary file in the target's
// directory, replaced wholesale by every change, and a committing close
// publishes it with one rename, so readers see the old file or the new one
// and never a mixture.
#include "ytext.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "tempnam.h"
#include "ynet_private.h"
#include "ytext_private.h"
#include "yq_sys.h"
#include "ystrings.h"

namespace {


constexpr const char *kModule = "ytext";

struct FreeDeleter {
    void operator()(void *p) const noexcept { std::free(p); }
};
using CharPtr = std::unique_ptr<char, FreeDeleter>;

struct FileCloser {
    void operator()(FILE *f) const noexcept { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Append inserts here: past the last item of any real file.
constexpr int kAppendIndex = 0x7FFFFFFF;

// Line buffers start at one chunk and grow by another before fewer than
// kLineSlack bytes would remain, so long lines cost few reallocations.
constexpr size_t kLineChunk = 1024;
constexpr size_t kLineSlack = 80;

// Another process may take a generated name between its generation and our
// exclusive creation; a few fresh names settle that.
constexpr int kTempAttempts = 100;

constexpr mode_t kNewFileMode = 0644;
constexpr mode_t kTempMode = 0600;
constexpr mode_t kPermissionBits = 0777;

// The white space of records: the characters that a writer must quote.
bool is_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

bool is_blank(const char *s) {
    for (; *s != '\0'; ++s)
        if (!is_space(*s)) return false;
    return true;
}

// A line under construction; the buffer is released unless taken.
class LineBuffer {
public:
    LineBuffer() = default;
    LineBuffer(const LineBuffer &) = delete;
    LineBuffer &operator=(const LineBuffer &) = delete;
    ~LineBuffer() { std::free(data_); }

    bool push(char c) {
        if (size_ - length_ < kLineSlack) {
            void *grown = data_;
            if (Y_dumb_realloc(&grown, size_ + kLineChunk) == nullptr) {
                data_ = nullptr;
                size_ = length_ = 0;
                return false;
            }
            data_ = static_cast<char *>(grown);
            size_ += kLineChunk;
        }
        data_[length_++] = c;
        data_[length_] = '\0';
        return true;
    }
    bool empty() const { return length_ == 0; }
    char *take() {
        char *line = data_;
        data_ = nullptr;
        size_ = length_ = 0;
        return line;
    }

private:
    char *data_ = nullptr;
    size_t size_ = 0;
    size_t length_ = 0;
};

int read_file_line(FILE *stream, char **line) {
    LineBuffer buffer;
    int c = 0;
    while ((c = getc(stream)) != EOF) {
        // A NUL would cut the line short for every reader; such bytes are
        // not text and are dropped.
        if (c == '\0') continue;
        if (!buffer.push(static_cast<char>(c))) return YTEXT_NO_MEMORY;
        if (c == '\n') break;
    }
    if (c == EOF && std::ferror(stream)) return YTEXT_IO_ERROR;
    if (buffer.empty() && c == EOF) return YTEXT_SUCCESS;
    *line = buffer.take();
    return YTEXT_SUCCESS;
}

int read_memory_line(char **text, char **line) {
    char *start = *text;
    char *end = std::strpbrk(start, "\r\n");
    if (end == nullptr) {
        // An unterminated tail is not a line.
        *text = start + std::strlen(start);
        return YTEXT_SUCCESS;
    }
    size_t length = static_cast<size_t>(end - start);
    // The growth rule of the file reader, applied at once: the line, its
    // newline and terminator, and the slack.
    size_t size = kLineChunk;
    while (size < length + 2 + kLineSlack) size += kLineChunk;
    auto *copy = static_cast<char *>(yq::sys::malloc(size));
    if (copy == nullptr) return YTEXT_NO_MEMORY;
    std::memcpy(copy, start, length);
    copy[length] = '\n';
    copy[length + 1] = '\0';
    *text = end + 1;
    *line = copy;
    return YTEXT_SUCCESS;
}

// Joins physical lines ending in a backslash; `next` delivers physical
// lines (with their newline) or NULL at the end.
template <typename Next>
int join_logical_line(Next next, char **out) {
    char *first = nullptr;
    int status = next(&first);
    if (status != YTEXT_SUCCESS || first == nullptr) return status;
    CharPtr line(first);
    size_t length = std::strlen(first);
    while (length > 0 && line.get()[length - 1] == '\n') {
        line.get()[--length] = '\0';
        if (length == 0 || line.get()[length - 1] != '\\') break;
        line.get()[--length] = '\0';
        char *more = nullptr;
        status = next(&more);
        if (status != YTEXT_SUCCESS) return status;
        if (more == nullptr) break;
        CharPtr owned_more(more);
        size_t more_length = std::strlen(more);
        void *grown = line.release();
        if (Y_dumb_realloc(&grown, length + more_length + 1) == nullptr) return YTEXT_NO_MEMORY;
        line.reset(static_cast<char *>(grown));
        std::memcpy(line.get() + length, more, more_length + 1);
        length += more_length;
    }
    *out = line.release();
    return YTEXT_SUCCESS;
}

// Logical lines until one yields an item. With a parse callback every line
// is offered to it; without one, comment and blank lines are skipped and
// the line itself is the item.
template <typename NextLogical>
int read_record(NextLogical next, ytext_parse_fn parse, void **item) {
    for (;;) {
        char *raw = nullptr;
        int status = next(&raw);
        if (status != YTEXT_SUCCESS) return status;
        if (raw == nullptr) return YTEXT_SUCCESS;
        CharPtr line(raw);
        if (parse != nullptr) {
            void *parsed = nullptr;
            status = parse(line.get(), &parsed);
            if (status != YTEXT_SUCCESS) return status;
            if (parsed != nullptr) {
                *item = parsed;
                return YTEXT_SUCCESS;
            }
            continue;
        }
        if (raw[0] == '#' || is_blank(raw)) continue;
        *item = line.release();
        return YTEXT_SUCCESS;
    }
}

void release_item(ytext_free_fn free_fn, void *&item) {
    if (item == nullptr) return;
    if (free_fn != nullptr)
        free_fn(&item);
    else
        std::free(item);
    item = nullptr;
}

bool readable(const ytext_handle *h) {
    return h->mode == YTEXT_MODE_MEMORY ? h->path != nullptr : h->stream != nullptr;
}

int next_record(ytext_handle *h, void **item) {
    if (h->mode == YTEXT_MODE_MEMORY) return ytext_get_memory_record(h, h->parse_fn, item);
    return ytext_get_record(h->stream, h->parse_fn, item);
}

// Does `name` lie directly in `dir`? The system generator falls back to
// another directory when `dir` is missing, and a rename from there would be
// neither atomic nor possible across file systems.
bool lies_in(const char *name, const char *dir) {
    size_t length = std::strlen(dir);
    if (std::strncmp(name, dir, length) != 0) return false;
    const char *rest = name + length;
    if (*rest == '/') ++rest;
    else if (length == 0 || dir[length - 1] != '/') return false;
    return *rest != '\0' && std::strchr(rest, '/') == nullptr;
}

// Creates a new, empty temporary file in the directory of `path`, exclusively
// (never a file that someone else made). `name_status` is the status for a
// name that cannot be made.
int create_temp(const char *path, int name_status, char **name_out, FILE **stream_out) {
    CharPtr dir(ytext_dirname(path));
    if (!dir) return name_status;
    for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
        CharPtr name(Y_tempnam(dir.get(), yq::ytext_detail::kTempPrefix));
        if (!name) return name_status;
        if (!lies_in(name.get(), dir.get())) return YTEXT_OPEN_FAILED;
        int fd = ::open(name.get(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kTempMode);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return YTEXT_OPEN_FAILED;
        }
        FILE *stream = ::fdopen(fd, "w+");
        if (stream == nullptr) {
            ::close(fd);
            ::unlink(name.get());
            return YTEXT_OPEN_FAILED;
        }
        *name_out = name.release();
        *stream_out = stream;
        return YTEXT_SUCCESS;
    }
    return YTEXT_OPEN_FAILED;
}

// Closes and removes a temporary file that will not be published.
void drop_temp(FILE *&stream, char *&name) {
    if (stream != nullptr) std::fclose(stream);
    stream = nullptr;
    if (name != nullptr) ::unlink(name);
    std::free(name);
    name = nullptr;
}

// Releases everything a handle owns, removing its temporary file.
void discard(ytext_handle *h) {
    if (h == nullptr) return;
    drop_temp(h->stream, h->temp_path);
    if (h->mode == YTEXT_MODE_MEMORY)
        std::free(h->text_start);
    else
        std::free(h->path);
    std::free(h);
}

struct HandleDeleter {
    void operator()(ytext_handle *h) const noexcept { discard(h); }
};
using HandlePtr = std::unique_ptr<ytext_handle, HandleDeleter>;

// Copies the target's records into the fresh temporary file of an update.
int copy_records(FILE *from, ytext_handle *h) {
    for (;;) {
        void *item = nullptr;
        int status = ytext_get_record(from, h->parse_fn, &item);
        if (status != YTEXT_SUCCESS) return status;
        if (item == nullptr) return YTEXT_SUCCESS;
        status = ytext_put_record(h->stream, h->unparse_fn, item);
        release_item(h->free_fn, item);
        if (status != YTEXT_SUCCESS) return status;
    }
}

int sync_stream(FILE *stream) {
    if (std::fflush(stream) != 0) return YTEXT_IO_ERROR;
    if (yq::sys::fsync(fileno(stream)) != 0) return YTEXT_IO_ERROR;
    return YTEXT_SUCCESS;
}

// The closed, synced temporary file takes the target's attributes and its
// place; the directory is synced so that the rename survives a crash.
int publish(const char *path, const char *temp_path, bool &renamed) {
    CharPtr dir(ytext_dirname(path));
    if (!dir) return YTEXT_NO_MEMORY;
    int status = ytext_copy_attrs(path, temp_path);
    if (status != YTEXT_SUCCESS) return status;
    // Opened before the rename: after it, nothing may fail but the sync.
    int dir_fd = ::open(dir.get(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    status = ytext_rename_file(temp_path, path);
    if (status == YTEXT_SUCCESS) {
        renamed = true;
        // File systems that cannot sync a directory say so with EINVAL.
        if (dir_fd >= 0 && yq::sys::fsync(dir_fd) != 0 && errno != EINVAL) status = YTEXT_IO_ERROR;
    }
    if (dir_fd >= 0) ::close(dir_fd);
    return status;
}

}  // namespace

// ------------------------------------------------------------------ lines

extern "C" int ytext_get_line(FILE *stream, char **line) noexcept {
    if (line == nullptr || stream == nullptr) {
        if (line != nullptr) *line = nullptr;
        return YN_FAIL(YTEXT_NO_HANDLE);
    }
    *line = nullptr;
    int status = read_file_line(stream, line);
    if (status != YTEXT_SUCCESS) YN_FAIL(status);
    return status;
}

extern "C" int ytext_get_memory_line(char **text, char **line) noexcept {
    if (line == nullptr || text == nullptr || *text == nullptr) {
        if (line != nullptr) *line = nullptr;
        return YN_FAIL(YTEXT_NO_HANDLE);
    }
    *line = nullptr;
    int status = read_memory_line(text, line);
    if (status != YTEXT_SUCCESS) YN_FAIL(status);
    return status;
}

extern "C" int ytext_get_logical_line(FILE *stream, char **line) noexcept {
    if (line == nullptr || stream == nullptr) {
        if (line != nullptr) *line = nullptr;
        return YN_FAIL(YTEXT_NO_HANDLE);
    }
    *line = nullptr;
    int status = join_logical_line([stream](char **l) { return ytext_get_line(stream, l); }, line);
    if (status != YTEXT_SUCCESS) YN_FAIL(status);
    return status;
}

extern "C" int ytext_get_logical_memory_line(char **text, char **line) noexcept {
    if (line == nullptr || text == nullptr || *text == nullptr) {
        if (line != nullptr) *line = nullptr;
        return YN_FAIL(YTEXT_NO_HANDLE);
    }
    *line = nullptr;
    int status = join_logical_line([text](char **l) { return ytext_get_memory_line(text, l); }, line);
    if (status != YTEXT_SUCCESS) YN_FAIL(status);
    return status;
}

// ---------------------------------------------------------------- records

extern "C" int ytext_get_record(FILE *stream, ytext_parse_fn parse, void **item) noexcept {
    if (item == nullptr || stream == nullptr) {
        if (item != nullptr) *item = nullptr;
        return YN_FAIL(YTEXT_NO_HANDLE);
    }
    *item = nullptr;
    int status = read_record([stream](char **l) { return ytext_get_logical_line(stream, l); },
                             parse, item);
    if (status != YTEXT_SUCCESS) YN_FAIL(status);
    return status;
}

extern "C" int ytext_get_memory_record(ytext_handle *handle, ytext_parse_fn parse,
                                       void **item) noexcept {
    if (item == nullptr || handle == nullptr || handle->mode != YTEXT_MODE_MEMORY ||
        handle->path == nullptr) {
        if (item != nullptr) *item = nullptr;
        return YN_FAIL(YTEXT_NO_HANDLE);
    }
    *item = nullptr;
    char **cursor = &handle->path;
    int status = read_record(
        [cursor](char **l) { return ytext_get_logical_memory_line(cursor, l); }, parse, item);
    if (status != YTEXT_SUCCESS) YN_FAIL(status);
    return status;
}

extern "C" int ytext_put_record(FILE *stream, ytext_unparse_fn unparse, const void *item) noexcept {
    if (stream == nullptr) return YN_FAIL(YTEXT_NO_HANDLE);
    CharPtr made;
    const char *line = static_cast<const char *>(item);
    if (unparse != nullptr) {
        char *out = nullptr;
        int status = unparse(item, &out);
        made.reset(out);
        if (status != YTEXT_SUCCESS) return YN_FAIL(status);
        line = out;
    }
    if (line == nullptr) return YTEXT_SUCCESS;
    size_t length = std::strlen(line);
    bool failed = std::fputs(line, stream) == EOF;
    if (!failed && (length == 0 || line[length - 1] != '\n')) failed = std::fputc('\n', stream) == EOF;
    if (failed) return YN_FAIL(YTEXT_IO_ERROR);
    return YTEXT_SUCCESS;
}

// ----------------------------------------------------------------- tokens

extern "C" int ytext_delimiter(const char *value, char *delimiter) noexcept {
    char chosen = '\0';
    if (value == nullptr || std::strpbrk(value, "#\"' \t\r\n") == nullptr)
        chosen = ' ';
    else if (std::strchr(value, '"') == nullptr)
        chosen = '"';
    else if (std::strchr(value, '\'') == nullptr)
        chosen = '\'';
    if (delimiter != nullptr) *delimiter = chosen;
    if (chosen == '\0') return YN_FAIL(YTEXT_UNQUOTABLE);
    return YTEXT_SUCCESS;
}

extern "C" char *ytext_skip_space(char *s) noexcept {
    if (s == nullptr) return nullptr;
    while (is_space(*s)) ++s;
    // The rest of the text is a comment.
    if (*s == '#') *s = '\0';
    return s;
}

extern "C" char *ytext_skip_no_space(char **s) noexcept {
    if (s == nullptr || *s == nullptr) return nullptr;
    char *p = *s;
    if (*p == '"' || *p == '\'') {
        const char quote = *p;
        *s = ++p;
        while (*p != '\0' && *p != quote) ++p;
        if (*p == '\0') return p;  // unclosed: the token runs to the end
        *p = '\0';
        return p + 1;
    }
    while (*p != '\0' && !is_space(*p) && *p != '#') ++p;
    if (*p == '\0') return p;
    if (*p == '#') {
        *p = '\0';
        return p;  // a comment follows: nothing more to scan
    }
    *p = '\0';
    return p + 1;
}

// ------------------------------------------------------------ path names

extern "C" char *ytext_basename(const char *path) noexcept {
    if (path == nullptr) return nullptr;
    size_t end = std::strlen(path);
    while (end > 0 && path[end - 1] == '/') --end;
    size_t start = end;
    while (start > 0 && path[start - 1] != '/') --start;
    return yq::sys::strndup(path + start, end - start);
}

extern "C" char *ytext_dirname(const char *path) noexcept {
    if (path == nullptr) return nullptr;
    size_t end = std::strlen(path);
    while (end > 0 && path[end - 1] == '/') --end;
    while (end > 0 && path[end - 1] != '/') --end;
    while (end > 0 && path[end - 1] == '/') --end;
    if (end == 0) return yq::sys::strdup(path[0] == '/' ? "/" : ".");
    return yq::sys::strndup(path, end);
}

// ------------------------------------------------------------ file steps

extern "C" int ytext_rename_file(const char *old_name, const char *new_name) noexcept {
    if (old_name == nullptr || new_name == nullptr || yq::sys::rename(old_name, new_name) != 0) {
        return YN_FAIL(YTEXT_RENAME_FAILED);
    }
    return YTEXT_SUCCESS;
}

extern "C" int ytext_copy_attrs(const char *source, const char *destination) noexcept {
    if (source == nullptr || destination == nullptr) return YN_FAIL(YTEXT_STAT_FAILED);
    struct stat st{};
    bool exists = true;
    if (::stat(source, &st) != 0) {
        if (errno != ENOENT) return YN_FAIL(YTEXT_STAT_FAILED);
        exists = false;
        st.st_mode = kNewFileMode;
    }
    if (yq::sys::chmod(destination, st.st_mode & kPermissionBits) != 0) {
        return YN_FAIL(YTEXT_CHMOD_FAILED);
    }
    if (exists && yq::sys::chown(destination, st.st_uid, st.st_gid) != 0) {
        return YN_FAIL(YTEXT_CHOWN_FAILED);
    }
    return YTEXT_SUCCESS;
}

// ---------------------------------------------------------------- handles

extern "C" int ytext_open(const char *path, int mode, ytext_parse_fn parse,
                          ytext_unparse_fn unparse, ytext_free_fn free_fn,
                          ytext_handle **handle) noexcept {
    if (handle == nullptr) return YN_FAIL(YTEXT_NO_HANDLE);
    *handle = nullptr;
    HandlePtr h(static_cast<ytext_handle *>(yq::sys::calloc(1, sizeof(ytext_handle))));
    if (!h) return YN_FAIL(YTEXT_NO_MEMORY);
    h->mode = mode;
    h->parse_fn = parse;
    h->unparse_fn = unparse;
    h->free_fn = free_fn;
    h->read_only = mode == YTEXT_MODE_READ || mode == YTEXT_MODE_MEMORY;

    // Reports carry this function's name, not the lambda's.
    const char *const function = __func__;
    auto fail = [&](int status) {
        h.reset();
        ynet_failure(kModule, __LINE__, function, status);
        return status;
    };
    if (mode < YTEXT_MODE_READ || mode > YTEXT_MODE_MEMORY) return fail(YTEXT_OPEN_FAILED);
    char *copy = path != nullptr ? yq::sys::strdup(path) : nullptr;
    if (copy == nullptr) return fail(YTEXT_OPEN_FAILED);
    h->path = copy;
    if (mode == YTEXT_MODE_MEMORY) {
        h->text_start = copy;
        *handle = h.release();
        return YTEXT_SUCCESS;
    }
    if (mode == YTEXT_MODE_READ) {
        h->stream = std::fopen(path, "re");
        if (h->stream == nullptr) return fail(YTEXT_OPEN_FAILED);
        *handle = h.release();
        return YTEXT_SUCCESS;
    }

    FilePtr target;
    if (mode == YTEXT_MODE_UPDATE) {
        target.reset(std::fopen(path, "re"));
        // Only a missing file counts as empty: one we may not read would be
        // wiped out by the commit.
        if (!target && errno != ENOENT) return fail(YTEXT_OPEN_FAILED);
    }
    int status = create_temp(path, YTEXT_OPEN_FAILED, &h->temp_path, &h->stream);
    if (status != YTEXT_SUCCESS) return fail(status);
    if (target) {
        status = copy_records(target.get(), h.get());
        if (status != YTEXT_SUCCESS) return fail(status);
        target.reset();
    }
    if (std::fflush(h->stream) != 0) return fail(YTEXT_IO_ERROR);
    ytext_rewind(h.get());
    *handle = h.release();
    return YTEXT_SUCCESS;
}

extern "C" int ytext_close(ytext_handle **handle, int commit) noexcept {
    if (handle == nullptr || *handle == nullptr) return YN_FAIL(YTEXT_NO_HANDLE);
    ytext_handle *h = *handle;
    *handle = nullptr;
    const bool writable = !h->read_only && h->temp_path != nullptr && h->path != nullptr;
    int status = YTEXT_SUCCESS;
    if (h->stream != nullptr) {
        if (commit && writable) status = sync_stream(h->stream);
        int closed = std::fclose(h->stream);
        h->stream = nullptr;
        if (commit && closed != 0 && status == YTEXT_SUCCESS) status = YTEXT_IO_ERROR;
    }
    bool renamed = false;
    if (commit && writable && status == YTEXT_SUCCESS) status = publish(h->path, h->temp_path, renamed);
    if (renamed) {
        std::free(h->temp_path);
        h->temp_path = nullptr;
    }
    discard(h);
    if (status != YTEXT_SUCCESS) YN_FAIL(status);
    return status;
}

extern "C" void ytext_rewind(ytext_handle *handle) noexcept {
    if (handle == nullptr) return;
    handle->item_index = 0;
    if (handle->mode == YTEXT_MODE_MEMORY)
        handle->path = handle->text_start;
    else if (handle->stream != nullptr)
        std::rewind(handle->stream);
}

// ------------------------------------------------------------------ items

extern "C" int ytext_get_item(ytext_handle *handle, int index, void **item) noexcept {
    if (item != nullptr) *item = nullptr;
    if (item == nullptr || handle == nullptr || !readable(handle)) return YN_FAIL(YTEXT_NO_HANDLE);
    if (index < 0) return YTEXT_SUCCESS;
    if (index < handle->item_index) ytext_rewind(handle);
    for (;;) {
        void *next = nullptr;
        int status = next_record(handle, &next);
        if (status != YTEXT_SUCCESS) return YN_FAIL(status);
        if (next == nullptr) return YTEXT_SUCCESS;
        if (handle->item_index++ == index) {
            *item = next;
            return YTEXT_SUCCESS;
        }
        release_item(handle->free_fn, next);
    }
}

extern "C" int ytext_get_next_item(ytext_handle *handle, void **item) noexcept {
    if (item != nullptr) *item = nullptr;
    if (item == nullptr || handle == nullptr || !readable(handle)) return YN_FAIL(YTEXT_NO_HANDLE);
    int status = next_record(handle, item);
    if (status != YTEXT_SUCCESS) YN_FAIL(status);
    return status;
}

extern "C" int ytext_put_item(ytext_handle *handle, int index, int replace,
                              const void *item) noexcept {
    if (handle == nullptr) return YN_FAIL(YTEXT_NO_HANDLE);
    if (handle->read_only) return YN_FAIL(YTEXT_IO_ERROR);
    if (handle->stream == nullptr || handle->path == nullptr) return YN_FAIL(YTEXT_NO_HANDLE);
    if (index < 0) return YN_FAIL(YTEXT_PAST_END);

    char *new_name = nullptr;
    FILE *out = nullptr;
    int status = create_temp(handle->path, YTEXT_NO_MEMORY, &new_name, &out);
    if (status != YTEXT_SUCCESS) return YN_FAIL(status);
    // Every failure drops the new file; the handle keeps its content.
    const char *const function = __func__;
    auto fail = [&](int failed) {
        drop_temp(out, new_name);
        ytext_rewind(handle);
        ynet_failure(kModule, __LINE__, function, failed);
        return failed;
    };
    auto copy_one = [&](bool &ended, bool keep) {
        void *record = nullptr;
        int result = ytext_get_record(handle->stream, handle->parse_fn, &record);
        ended = record == nullptr;
        if (result == YTEXT_SUCCESS && record != nullptr && keep)
            result = ytext_put_record(out, handle->unparse_fn, record);
        release_item(handle->free_fn, record);
        return result;
    };

    ytext_rewind(handle);
    bool ended = false;
    for (int copied = 0; copied < index; ++copied) {
        status = copy_one(ended, true);
        if (status != YTEXT_SUCCESS) return fail(status);
        if (ended) break;
    }
    if (ended) {
        // Past the end: insert appends, replace has nothing to replace and
        // delete has nothing to delete.
        if (item != nullptr && replace) return fail(YTEXT_PAST_END);
        if (item != nullptr) {
            status = ytext_put_record(out, handle->unparse_fn, item);
            if (status != YTEXT_SUCCESS) return fail(status);
        }
    } else {
        if (item != nullptr) {
            status = ytext_put_record(out, handle->unparse_fn, item);
            if (status != YTEXT_SUCCESS) return fail(status);
        }
        int skip = (item == nullptr || replace) ? 1 : 0;
        while (!ended) {
            status = copy_one(ended, skip == 0);
            if (status != YTEXT_SUCCESS) return fail(status);
            if (skip > 0 && !ended) --skip;
        }
        // Just past the last item there is nothing to replace either.
        if (item != nullptr && replace && skip > 0) return fail(YTEXT_PAST_END);
    }
    if (std::fflush(out) != 0) return fail(YTEXT_IO_ERROR);

    drop_temp(handle->stream, handle->temp_path);
    handle->stream = out;
    handle->temp_path = new_name;
    ytext_rewind(handle);
    return YTEXT_SUCCESS;
}

extern "C" int ytext_append_item(ytext_handle *handle, const void *item) noexcept {
    return ytext_put_item(handle, kAppendIndex, 0, item);
}

extern "C" int ytext_insert_item(ytext_handle *handle, int index, const void *item) noexcept {
    return ytext_put_item(handle, index, 0, item);
}

extern "C" int ytext_replace_item(ytext_handle *handle, int index, const void *item) noexcept {
    return ytext_put_item(handle, index, 1, item);
}

extern "C" int ytext_delete_item(ytext_handle *handle, int index) noexcept {
    return ytext_put_item(handle, index, 0, nullptr);
}
