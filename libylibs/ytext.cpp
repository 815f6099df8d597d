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
#include <utility>

#include "tempnam.h"
#include "ynet_private.h"
#include "ytext_private.h"
#include "yq_sys.h"
#include "ystrings.h"

namespace {

constexpr const char *kModule = "ytext";

using Text = yq::unique_malloc<char>;
using yq::report::Where;

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
    Text line(first);
    size_t length = std::strlen(first);
    while (length > 0 && line.get()[length - 1] == '\n') {
        line.get()[--length] = '\0';
        if (length == 0 || line.get()[length - 1] != '\\') break;
        line.get()[--length] = '\0';
        char *more = nullptr;
        status = next(&more);
        if (status != YTEXT_SUCCESS) return status;
        if (more == nullptr) break;
        Text owned_more(more);
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
        Text line(raw);
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

// A temporary file beside a target, removed again when it goes out of scope
// unless it was handed to a handle or took the target's place.
class TempFile {
public:
    TempFile() = default;
    TempFile(const TempFile &) = delete;
    TempFile &operator=(const TempFile &) = delete;
    ~TempFile() { drop(); }

    // Takes over the temporary file of a handle.
    explicit TempFile(ytext_handle *h) noexcept
        : name_(std::exchange(h->temp_path, nullptr)), stream_(std::exchange(h->stream, nullptr)) {}

    // Creates a new, empty file in the directory of `target`, exclusively
    // (never a file that someone else made). `name_status` is the status for
    // a name that cannot be made.
    int create(const char *target, int name_status) noexcept {
        Text dir(ytext_dirname(target));
        if (!dir) return name_status;
        for (int attempt = 0; attempt < kTempAttempts; ++attempt) {
            Text name(Y_tempnam(dir.get(), yq::ytext_detail::kTempPrefix));
            if (!name) return name_status;
            if (!lies_in(name.get(), dir.get())) return YTEXT_OPEN_FAILED;
            yq::unique_fd fd(
                yq::sys::open(name.get(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kTempMode));
            if (!fd && errno == EEXIST) continue;
            if (!fd) return YTEXT_OPEN_FAILED;
            name_ = std::move(name);
            stream_ = yq::take_fdopen(fd, "w+");
            return stream_ ? YTEXT_SUCCESS : YTEXT_OPEN_FAILED;
        }
        return YTEXT_OPEN_FAILED;
    }

    FILE *stream() const noexcept { return stream_.get(); }
    const char *name() const noexcept { return name_.get(); }

    // Closes the stream, reporting whether the close wrote everything.
    bool close() noexcept { return std::fclose(stream_.release()) == 0; }
    // The file took the target's place: nothing left to remove.
    void published() noexcept { name_.reset(); }

    // Becomes the content of `h`, whose previous temporary file goes.
    void hand_to(ytext_handle *h) noexcept {
        TempFile previous(h);
        h->temp_path = name_.release();
        h->stream = stream_.release();
    }

private:
    void drop() noexcept {
        stream_.reset();
        if (name_) ::unlink(name_.get());
        name_.reset();
    }

    Text name_;
    yq::unique_file stream_;
};

// Releases everything a handle owns, removing its temporary file.
void discard(ytext_handle *h) {
    if (h == nullptr) return;
    TempFile temp(h);
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
int copy_records(FILE *from, const ytext_handle *h, FILE *to) {
    for (;;) {
        void *item = nullptr;
        int status = ytext_get_record(from, h->parse_fn, &item);
        if (status != YTEXT_SUCCESS || item == nullptr) return status;
        status = ytext_put_record(to, h->unparse_fn, item);
        release_item(h->free_fn, item);
        if (status != YTEXT_SUCCESS) return status;
    }
}

}  // namespace

// ------------------------------------------------------------------ lines

extern "C" int ytext_get_line(FILE *stream, char **line) noexcept {
    if (line != nullptr) *line = nullptr;
    if (line == nullptr || stream == nullptr) return YN_FAIL(YTEXT_NO_HANDLE);
    return YN_FAIL_IF(read_file_line(stream, line));
}

extern "C" int ytext_get_memory_line(char **text, char **line) noexcept {
    if (line != nullptr) *line = nullptr;
    if (line == nullptr || text == nullptr || *text == nullptr) return YN_FAIL(YTEXT_NO_HANDLE);
    return YN_FAIL_IF(read_memory_line(text, line));
}

extern "C" int ytext_get_logical_line(FILE *stream, char **line) noexcept {
    if (line != nullptr) *line = nullptr;
    if (line == nullptr || stream == nullptr) return YN_FAIL(YTEXT_NO_HANDLE);
    return YN_FAIL_IF(
        join_logical_line([stream](char **l) { return ytext_get_line(stream, l); }, line));
}

extern "C" int ytext_get_logical_memory_line(char **text, char **line) noexcept {
    if (line != nullptr) *line = nullptr;
    if (line == nullptr || text == nullptr || *text == nullptr) return YN_FAIL(YTEXT_NO_HANDLE);
    return YN_FAIL_IF(
        join_logical_line([text](char **l) { return ytext_get_memory_line(text, l); }, line));
}

// ---------------------------------------------------------------- records

extern "C" int ytext_get_record(FILE *stream, ytext_parse_fn parse, void **item) noexcept {
    if (item != nullptr) *item = nullptr;
    if (item == nullptr || stream == nullptr) return YN_FAIL(YTEXT_NO_HANDLE);
    return YN_FAIL_IF(read_record(
        [stream](char **l) { return ytext_get_logical_line(stream, l); }, parse, item));
}

extern "C" int ytext_get_memory_record(ytext_handle *handle, ytext_parse_fn parse,
                                       void **item) noexcept {
    if (item != nullptr) *item = nullptr;
    if (item == nullptr || handle == nullptr || handle->mode != YTEXT_MODE_MEMORY ||
        handle->path == nullptr)
        return YN_FAIL(YTEXT_NO_HANDLE);
    char **cursor = &handle->path;
    return YN_FAIL_IF(read_record(
        [cursor](char **l) { return ytext_get_logical_memory_line(cursor, l); }, parse, item));
}

extern "C" int ytext_put_record(FILE *stream, ytext_unparse_fn unparse, const void *item) noexcept {
    if (stream == nullptr) return YN_FAIL(YTEXT_NO_HANDLE);
    Text made;
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
    if (std::fputs(line, stream) == EOF) return YN_FAIL(YTEXT_IO_ERROR);
    if ((length == 0 || line[length - 1] != '\n') && std::fputc('\n', stream) == EOF)
        return YN_FAIL(YTEXT_IO_ERROR);
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
    if (old_name == nullptr || new_name == nullptr || yq::sys::rename(old_name, new_name) != 0)
        return YN_FAIL(YTEXT_RENAME_FAILED);
    return YTEXT_SUCCESS;
}

extern "C" int ytext_copy_attrs(const char *source, const char *destination) noexcept {
    if (source == nullptr || destination == nullptr) return YN_FAIL(YTEXT_STAT_FAILED);
    struct stat st{};
    const bool exists = yq::sys::stat(source, &st) == 0;
    if (!exists && errno != ENOENT) return YN_FAIL(YTEXT_STAT_FAILED);
    const mode_t mode = exists ? (st.st_mode & kPermissionBits) : kNewFileMode;
    if (yq::sys::chmod(destination, mode) != 0) return YN_FAIL(YTEXT_CHMOD_FAILED);
    if (exists && yq::sys::chown(destination, st.st_uid, st.st_gid) != 0)
        return YN_FAIL(YTEXT_CHOWN_FAILED);
    return YTEXT_SUCCESS;
}

// ---------------------------------------------------------------- handles

extern "C" int ytext_open(const char *path, int mode, ytext_parse_fn parse,
                          ytext_unparse_fn unparse, ytext_free_fn free_fn,
                          ytext_handle **handle) noexcept {
    if (handle == nullptr) return YN_FAIL(YTEXT_NO_HANDLE);
    *handle = nullptr;
    // Every failure below releases the handle with whatever it holds.
    HandlePtr h(static_cast<ytext_handle *>(yq::sys::calloc(1, sizeof(ytext_handle))));
    if (!h) return YN_FAIL(YTEXT_NO_MEMORY);
    h->mode = mode;
    h->parse_fn = parse;
    h->unparse_fn = unparse;
    h->free_fn = free_fn;
    h->read_only = mode == YTEXT_MODE_READ || mode == YTEXT_MODE_MEMORY;
    if (mode < YTEXT_MODE_READ || mode > YTEXT_MODE_MEMORY) return YN_FAIL(YTEXT_OPEN_FAILED);
    h->path = path != nullptr ? yq::sys::strdup(path) : nullptr;
    if (h->path == nullptr) return YN_FAIL(YTEXT_OPEN_FAILED);

    if (mode == YTEXT_MODE_MEMORY) {
        h->text_start = h->path;
    } else if (mode == YTEXT_MODE_READ) {
        h->stream = yq::open_for_reading(path).release();
        if (h->stream == nullptr) return YN_FAIL(YTEXT_OPEN_FAILED);
    } else {
        yq::unique_file target;
        if (mode == YTEXT_MODE_UPDATE) {
            target = yq::open_for_reading(path);
            // Only a missing file counts as empty: one we may not read would
            // be wiped out by the commit.
            if (!target && errno != ENOENT) return YN_FAIL(YTEXT_OPEN_FAILED);
        }
        TempFile temp;
        int status = temp.create(path, YTEXT_OPEN_FAILED);
        if (status != YTEXT_SUCCESS) return YN_FAIL(status);
        if (target && (status = copy_records(target.get(), h.get(), temp.stream())) != YTEXT_SUCCESS)
            return YN_FAIL(status);
        if (std::fflush(temp.stream()) != 0) return YN_FAIL(YTEXT_IO_ERROR);
        temp.hand_to(h.get());
        ytext_rewind(h.get());
    }
    *handle = h.release();
    return YTEXT_SUCCESS;
}

// A committing close publishes the temporary file atomically: flushed,
// synced and closed with every step checked, given the target's attributes,
// renamed over the target, and the directory synced so that the rename
// survives a crash. Every failure leaves the target as it was and removes
// the temporary file (TempFile's one exit).
extern "C" int ytext_close(ytext_handle **handle, int commit) noexcept {
    if (handle == nullptr || *handle == nullptr) return YN_FAIL(YTEXT_NO_HANDLE);
    HandlePtr h(std::exchange(*handle, nullptr));
    TempFile temp(h.get());
    if (!commit || h->read_only || temp.name() == nullptr) {
        // Without commit the target is never touched; a close that fails
        // still fails a commit.
        if (temp.stream() != nullptr && !temp.close() && commit) return YN_FAIL(YTEXT_IO_ERROR);
        return YTEXT_SUCCESS;
    }
    FILE *stream = temp.stream();
    if (std::fflush(stream) != 0) return YN_FAIL(YTEXT_IO_ERROR);
    if (yq::sys::fsync(fileno(stream)) != 0) return YN_FAIL(YTEXT_IO_ERROR);
    if (!temp.close()) return YN_FAIL(YTEXT_IO_ERROR);
    int status = ytext_copy_attrs(h->path, temp.name());
    if (status != YTEXT_SUCCESS) return YN_FAIL(status);
    Text dir(ytext_dirname(h->path));
    if (!dir) return YN_FAIL(YTEXT_NO_MEMORY);
    // Opened before the rename: after it, nothing may fail but the sync.
    yq::unique_fd dir_fd(yq::sys::open(dir.get(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir_fd) return YN_FAIL(YTEXT_IO_ERROR);
    status = ytext_rename_file(temp.name(), h->path);
    if (status != YTEXT_SUCCESS) return YN_FAIL(status);
    temp.published();
    // File systems that cannot sync a directory say so with EINVAL.
    if (yq::sys::fsync(dir_fd.get()) != 0 && errno != EINVAL) return YN_FAIL(YTEXT_IO_ERROR);
    return YTEXT_SUCCESS;
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
    return YN_FAIL_IF(next_record(handle, item));
}

extern "C" int ytext_put_item(ytext_handle *handle, int index, int replace,
                              const void *item) noexcept {
    if (handle == nullptr) return YN_FAIL(YTEXT_NO_HANDLE);
    if (handle->read_only) return YN_FAIL(YTEXT_IO_ERROR);
    if (handle->stream == nullptr || handle->path == nullptr) return YN_FAIL(YTEXT_NO_HANDLE);
    if (index < 0) return YN_FAIL(YTEXT_PAST_END);

    TempFile next;
    int status = next.create(handle->path, YTEXT_NO_MEMORY);
    if (status != YTEXT_SUCCESS) return YN_FAIL(status);
    // Every failure drops the new file; the handle keeps its content.
    auto fail = [handle](int failed, Where where = Where::current()) {
        ytext_rewind(handle);
        return yq::report::fail(kModule, failed, yq::report::kFunctionFailed, where);
    };
    // Passes the handle's next record on to the new file (or over it);
    // `ended` when there was none.
    auto pass_one = [&](bool keep, bool &ended) {
        void *record = nullptr;
        int result = ytext_get_record(handle->stream, handle->parse_fn, &record);
        ended = record == nullptr;
        if (result == YTEXT_SUCCESS && record != nullptr && keep)
            result = ytext_put_record(next.stream(), handle->unparse_fn, record);
        release_item(handle->free_fn, record);
        return result;
    };

    ytext_rewind(handle);
    bool ended = false;
    for (int copied = 0; copied < index && !ended; ++copied)
        if ((status = pass_one(true, ended)) != YTEXT_SUCCESS) return fail(status);
    // Past the end insert appends, and delete has nothing to delete.
    if (ended && item != nullptr && replace) return fail(YTEXT_PAST_END);
    if (item != nullptr) {
        status = ytext_put_record(next.stream(), handle->unparse_fn, item);
        if (status != YTEXT_SUCCESS) return fail(status);
    }
    int skip = (item == nullptr || replace) ? 1 : 0;
    while (!ended) {
        if ((status = pass_one(skip == 0, ended)) != YTEXT_SUCCESS) return fail(status);
        if (skip > 0 && !ended) --skip;
    }
    // Just past the last item there is nothing to replace either.
    if (item != nullptr && replace && skip > 0) return fail(YTEXT_PAST_END);
    if (std::fflush(next.stream()) != 0) return fail(YTEXT_IO_ERROR);
    next.hand_to(handle);
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
