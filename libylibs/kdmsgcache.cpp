// Catalog files and the message cache. A catalog file is read once, on the
// first request for one of its messages: every message of it goes into the
// cache, keyed by identifier and locale, and so does every message asked
// for that turned out to be absent, so no request reads a file twice.
#include <sys/stat.h>

#include <clocale>
#include <cstdlib>
#include <cstring>

#include "kdmsg.h"
#include "kdmsg_private.h"
#include "yq_paths.h"
#include "yq_sys.h"
#include "ystrings.h"

namespace yq::kdmsg {

avl_tree *msgCache = nullptr;
Locale *cmnLocales = nullptr;
int useAtExit = 1;

namespace {

// atexit is asked once per process, however often the cache is rebuilt.
bool unloadRegistered = false;
bool localeEverCreated = false;

void unloadAtExit() { msgCacheUnload(0); }

// "<a>/<b>" into buf (size bytes), without the allocation of a formatter.
void join(char *buf, size_t size, const char *a, const char *b) {
    Y_strlcpy(buf, a, size);
    Y_strlcat(buf, "/", size);
    Y_strlcat(buf, b, size);
}

struct Component {
    char letter;
    const char *dir;
};
constexpr Component kComponents[] = {
    {'H', "tiering"}, {'N', "carrow"}, {'V', "robotics"}, {'X', "auxcat"}};

// "<component dir>/<prefix>Msgs" for msgid into out; false when the
// component letter has no catalog.
bool catalogRelPath(const char *msgid, char (&name)[8], char (&out)[32]) {
    const char *dir = componentDir(msgid[kMsgIdLength - 1]);
    if (dir == nullptr) return false;
    Y_strlncpy(name, msgid, 3, sizeof name);
    Y_strlcat(name, "Msgs", sizeof name);
    join(out, sizeof out, dir, name);
    return true;
}

Locale *findLocale(const char *name) {
    for (Locale *l = cmnLocales; l != nullptr; l = l->next)
        if (std::strcmp(l->name, name) == 0) return l;
    return nullptr;
}

CatalogFile *findFile(const Locale *locale, const char *msgid) {
    char name[8];
    char rel[32];
    if (!catalogRelPath(msgid, name, rel)) return nullptr;
    for (CatalogFile *f = locale->files; f != nullptr; f = f->next)
        if (std::strcmp(f->relpath, rel) == 0) return f;
    return nullptr;
}

void freeLocale(Locale *locale) {
    destroyFileList(locale->files);
    if (locale->sysname != locale->name) std::free(locale->sysname);
    std::free(locale->path != nullptr ? locale->path : locale->name);
    std::free(locale);
}

// Up to kChunkSize bytes of one line (its newline included) into buf, which
// is then terminated; 0 at the end of the file.
size_t readChunk(FILE *stream, char *buf) {
    size_t n = 0;
    while (n < kChunkSize) {
        int c = std::getc(stream);
        if (c == EOF) break;
        buf[n++] = static_cast<char>(c);
        if (c == '\n') break;
    }
    buf[n] = '\0';
    return n;
}

// A full chunk whose last byte is neither a terminator nor a newline: the
// line goes on in the next chunk.
bool continues(const char *buf, size_t n) {
    return n == kChunkSize && buf[kChunkSize - 1] != '\n' && buf[kChunkSize - 1] != '\0';
}

bool belongsToFile(const char *line, size_t n, const char *msgid) {
    return n >= kMsgIdLength && line[0] != '#' && std::memcmp(line, msgid, 3) == 0 &&
           line[kMsgIdLength - 1] == msgid[kMsgIdLength - 1];
}

// Reads the text of a message that spanned several chunks back from the
// catalog by offset and length, leaving the stream where it was. `lost` is
// set when memory ran out (a short read just gives no text).
char *readBack(const Message *record, bool &lost) {
    lost = false;
    FILE *stream = record->stream;
    if (stream == nullptr || record->length < 0) return nullptr;
    const long saved = std::ftell(stream);
    if (saved < 0) return nullptr;
    auto *text = static_cast<char *>(yq::sys::malloc(static_cast<size_t>(record->length) + 1));
    if (text == nullptr) {
        lost = true;
        return nullptr;
    }
    const size_t want = static_cast<size_t>(record->length);
    size_t got = 0;
    if (std::fseek(stream, record->offset, SEEK_SET) == 0) got = std::fread(text, 1, want, stream);
    std::fseek(stream, saved, SEEK_SET);
    if (got != want) {
        std::free(text);
        return nullptr;
    }
    text[want] = '\0';
    return text;
}

// Escapes are resolved under the catalog's own character-type locale, so
// that a backslash byte inside a multibyte character stays what it is.
// Text without a backslash cannot change, so it needs no switch.
void resolveEscapesIn(char *text, const char *syslocale) {
    if (std::strchr(text, '\\') == nullptr) return;
    char *previous = nullptr;
    if (syslocale != nullptr) {
        const char *current = std::setlocale(LC_CTYPE, nullptr);
        previous = current != nullptr ? yq::sys::strdup(current) : nullptr;
        if (previous != nullptr && std::setlocale(LC_CTYPE, syslocale) == nullptr) {
            std::free(previous);
            previous = nullptr;
        }
    }
    resolveEscapes(text);
    if (previous != nullptr) {
        std::setlocale(LC_CTYPE, previous);
        std::free(previous);
    }
}

char controlFor(char c) {
    switch (c) {
        case 'b': return '\b';
        case 'f': return '\f';
        case 'n': return '\n';
        case 'r': return '\r';
        case 't': return '\t';
        case 'v': return '\v';
        default: return c;
    }
}

}  // namespace

const char *componentDir(char letter) noexcept {
    for (const Component &c : kComponents)
        if (c.letter == letter) return c.dir;
    return nullptr;
}

void resolveEscapes(char *text) noexcept {
    const char *in = text;
    const char *const end = text + std::strlen(text);
    char *out = text;
    std::mblen(nullptr, 0);
    while (in < end) {
        const int width = std::mblen(in, static_cast<size_t>(end - in));
        if (width > 1) {
            // Multibyte characters are copied as they are.
            std::memmove(out, in, static_cast<size_t>(width));
            out += width;
            in += width;
            continue;
        }
        if (width < 1) {
            // A byte the locale does not accept is copied too.
            std::mblen(nullptr, 0);
            *out++ = *in++;
            continue;
        }
        if (*in != '\\') {
            *out++ = *in++;
            continue;
        }
        ++in;
        if (in == end) break;  // a backslash at the very end is dropped
        const int next = std::mblen(in, static_cast<size_t>(end - in));
        if (next > 1) {
            // Only single-byte characters are escapes: the backslash just goes.
            std::memmove(out, in, static_cast<size_t>(next));
            out += next;
            in += next;
            continue;
        }
        if (next < 1) std::mblen(nullptr, 0);
        *out++ = controlFor(*in++);
    }
    *out = '\0';
}

int msgCmp(const void *key, const void *item) noexcept {
    const auto *a = static_cast<const Message *>(key);
    const auto *b = static_cast<const Message *>(item);
    const int byId = std::strcmp(a->id, b->id);
    return byId != 0 ? byId : std::strcmp(a->locale, b->locale);
}

void destroyMsg(void *item) noexcept {
    auto *record = static_cast<Message *>(item);
    if (record == nullptr) return;
    std::free(record->text);
    std::free(record);
}

void destroyFileList(CatalogFile *list) noexcept {
    while (list != nullptr) {
        CatalogFile *next = list->next;
        if (list->stream != nullptr) std::fclose(list->stream);
        std::free(list);
        list = next;
    }
}

Message *newMessage(const char *msgid, const char *locale, FILE *stream, long offset,
                    long length) noexcept {
    auto *record = static_cast<Message *>(yq::sys::malloc(sizeof(Message)));
    if (record == nullptr) return nullptr;
    Y_strlncpy(record->id, msgid, kMsgIdLength, sizeof record->id);
    record->locale = locale;
    record->text = nullptr;
    record->stream = stream;
    record->offset = offset;
    record->length = length;
    return record;
}

Locale *createLocale(const char *name) noexcept {
    if (name == nullptr) return nullptr;
    auto *locale = static_cast<Locale *>(yq::sys::calloc(1, sizeof(Locale)));
    if (locale == nullptr) return nullptr;

    const size_t dirLength = std::strlen(YQ_PATH_MSG_DIR);
    const size_t size = dirLength + 1 + std::strlen(name) + 1;
    auto *path = static_cast<char *>(yq::sys::malloc(size));
    if (path == nullptr) {
        std::free(locale);
        return nullptr;
    }
    join(path, size, YQ_PATH_MSG_DIR, name);

    struct stat st{};
    if (::stat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
        locale->path = path;
        locale->name = path + dirLength + 1;
        const char *sys = common2reallocale(locale->name);
        locale->sysname = std::strcmp(sys, locale->name) == 0 ? locale->name : yq::sys::strdup(sys);
    } else {
        std::free(path);
        locale->name = yq::sys::strdup(name);
        locale->sysname = nullptr;
    }
    if (locale->name == nullptr || (locale->path != nullptr && locale->sysname == nullptr)) {
        freeLocale(locale);
        return nullptr;
    }

    if (msgCache == nullptr) {
        msgCache = AVLopen(msgCmp, destroyMsg);
        if (msgCache == nullptr) {
            freeLocale(locale);
            return nullptr;
        }
    }
    if (!localeEverCreated && useAtExit != 0 && !unloadRegistered)
        unloadRegistered = std::atexit(unloadAtExit) == 0;
    localeEverCreated = true;
    locale->next = cmnLocales;
    cmnLocales = locale;
    return locale;
}

CatalogFile *createMsgFile(Locale *locale, const char *msgid) noexcept {
    if (locale == nullptr || locale->path == nullptr || msgid == nullptr) return nullptr;
    auto *file = static_cast<CatalogFile *>(yq::sys::calloc(1, sizeof(CatalogFile)));
    if (file == nullptr) return nullptr;
    if (!catalogRelPath(msgid, file->name, file->relpath)) {
        std::free(file);
        return nullptr;
    }
    file->unavailable = 1;
    const size_t size = std::strlen(locale->path) + 1 + std::strlen(file->relpath) + 1;
    auto *path = static_cast<char *>(yq::sys::malloc(size));
    if (path == nullptr) {
        std::free(file);
        return nullptr;
    }
    join(path, size, locale->path, file->relpath);
    file->stream = std::fopen(path, "re");
    std::free(path);
    if (file->stream != nullptr) file->unavailable = 0;
    // Linked even when the file is missing, so it is not looked for again.
    file->next = locale->files;
    locale->files = file;
    return file;
}

Message *scanMsgFile(CatalogFile *file, const char *locale, const char *msgid,
                     const char *syslocale) noexcept {
    static char chunk[kChunkSize + 1];
    if (file == nullptr || file->stream == nullptr || locale == nullptr || msgid == nullptr)
        return nullptr;
    FILE *stream = file->stream;
    Message *result = nullptr;
    long position = 0;  // of the next line in the file

    for (;;) {
        size_t n = readChunk(stream, chunk);
        if (n == 0) break;
        const long start = position;
        const bool member = belongsToFile(chunk, n, msgid);
        char id[kMsgIdLength + 1] = "";
        if (member) Y_strlncpy(id, chunk, kMsgIdLength, sizeof id);

        // Follow the line through its chunks, keeping its length and the
        // position of its last double quote past the opening one.
        long length = 0;
        long quote = -1;
        bool single = true;
        for (;;) {
            for (size_t i = n; i > 0; --i) {
                const long at = length + static_cast<long>(i - 1);
                if (chunk[i - 1] == '"' && at >= static_cast<long>(kTextOffset)) {
                    quote = at;
                    break;
                }
            }
            length += static_cast<long>(n);
            if (!continues(chunk, n)) break;
            single = false;
            n = readChunk(stream, chunk);
            if (n == 0) break;
        }
        position += length;
        if (!member) continue;

        // The text ends at the last double quote, or, in a line without a
        // closing quote, at the end of the line.
        long end = quote;
        if (end < 0) {
            end = length;
            if (single) {
                while (end > 0 && (chunk[end - 1] == '\n' || chunk[end - 1] == '\r')) --end;
            } else if (n > 0 && chunk[n - 1] == '\n') {
                end -= (n > 1 && chunk[n - 2] == '\r') ? 2 : 1;
            }
        }
        const long textLength = end > static_cast<long>(kTextOffset) ? end - static_cast<long>(kTextOffset) : 0;

        Message *record = newMessage(id, locale, stream, start + static_cast<long>(kTextOffset), textLength);
        if (record == nullptr) continue;
        Message *cached = nullptr;
        if (single) {
            // The whole text is still in the chunk.
            chunk[kTextOffset + static_cast<size_t>(textLength)] = '\0';
            cached = cacheMsg(record, textLength > 0 ? chunk + kTextOffset : "", 1, syslocale);
        } else {
            cached = cacheMsg(record, nullptr, 1, syslocale);
        }
        if (cached != nullptr && std::memcmp(id + 3, msgid + 3, 7) == 0) result = cached;
    }

    std::fclose(stream);
    file->stream = nullptr;
    file->unavailable = 1;
    return result;
}

Message *cacheMsg(Message *record, const char *text, int mode, const char *syslocale) noexcept {
    if (record == nullptr) return nullptr;
    char *owned = nullptr;
    if (text != nullptr) {
        owned = yq::sys::strdup(text);
        if (owned == nullptr) {
            destroyMsg(record);
            return nullptr;
        }
    } else if (mode >= 0) {
        bool lost = false;
        owned = readBack(record, lost);
        if (lost) {
            destroyMsg(record);
            return nullptr;
        }
    }
    std::free(record->text);
    record->text = owned;
    if (owned != nullptr) resolveEscapesIn(owned, syslocale);
    if (mode == 0) return record;

    if (msgCache == nullptr) {
        destroyMsg(record);
        return nullptr;
    }
    auto *stored = static_cast<Message *>(AVLinsert(msgCache, record));
    if (stored == nullptr) {
        destroyMsg(record);
        return nullptr;
    }
    if (stored != record) {
        // Already cached (a repeated identifier, or a remembered absence):
        // the newer text wins.
        if (record->text != nullptr) {
            std::free(stored->text);
            stored->text = record->text;
            record->text = nullptr;
        }
        destroyMsg(record);
    }
    return stored;
}

}  // namespace yq::kdmsg

using namespace yq::kdmsg;

extern "C" {

const char *getLocalMsgFmt(const char *locale, const char *msgid) noexcept {
    if (locale == nullptr || locale[0] == '\0' || msgid == nullptr) return nullptr;
    if (::strnlen(msgid, kMsgIdLength + 1) != kMsgIdLength) return nullptr;

    if (msgCache != nullptr) {
        Message key{};
        Y_strlcpy(key.id, msgid, sizeof key.id);
        key.locale = locale;
        if (auto *hit = static_cast<Message *>(AVLretrieve(msgCache, &key))) return hit->text;
    }

    Locale *record = findLocale(locale);
    if (record == nullptr) record = createLocale(locale);
    if (record == nullptr) return nullptr;

    Message *found = nullptr;
    if (findFile(record, msgid) == nullptr && record->path != nullptr) {
        CatalogFile *file = createMsgFile(record, msgid);
        if (file != nullptr && file->stream != nullptr)
            found = scanMsgFile(file, record->name, msgid, record->sysname);
    }
    if (found == nullptr) {
        // Remember the absence, so the next request is answered at once.
        found = cacheMsg(newMessage(msgid, record->name, nullptr, 0, 0), nullptr, -1, nullptr);
    }
    return found != nullptr ? found->text : nullptr;
}

int msgCacheUnload(int value) noexcept {
    AVLclose(msgCache);
    msgCache = nullptr;
    while (cmnLocales != nullptr) {
        Locale *next = cmnLocales->next;
        freeLocale(cmnLocales);
        cmnLocales = next;
    }
    return value;
}

void disableAutoMsgCacheUnload(void) noexcept {
    if (!localeEverCreated) useAtExit = 0;
}

}  // extern "C"
