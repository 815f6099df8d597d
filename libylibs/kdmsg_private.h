// Internals of the message catalog modules kdmsg_tar (public functions,
// locale mapping) and kdmsgcache (catalog files and the message cache).
// Not exported; tests and the fuzz target reach them through the static
// library.
#ifndef KDMSG_PRIVATE_H
#define KDMSG_PRIVATE_H

#include <cstddef>
#include <cstdio>
#include <string_view>

#include "avl.h"

namespace yq::kdmsg {

constexpr size_t kMsgIdLength = 11;
// Catalog files are read in chunks of this many bytes; a longer line goes on
// in the next chunk(s).
constexpr size_t kChunkSize = 8192;
// A message line: identifier, a space and an opening quote, then the text.
constexpr size_t kTextOffset = 13;
// Lines of the locale definition file, terminator included.
constexpr size_t kConfLineSize = 100;

// One cached message (the item of msgCache): text NULL records an absence.
struct Message {
    char id[kMsgIdLength + 1];
    const char *locale;  // the owning Locale's common name
    char *text;
    FILE *stream;        // catalog being scanned (only used while scanning)
    long offset;         // of the text in the catalog file
    long length;         // of the text in the catalog file
};

// One catalog file of a locale.
struct CatalogFile {
    CatalogFile *next;
    char name[8];       // prefix followed by "Msgs"
    char relpath[32];   // component directory, "/", name
    FILE *stream;       // NULL once read to the end, or when it cannot be opened
    int unavailable;    // 1 until opened, and again once read to the end
};

// One locale asked for, in the list cmnLocales (newest first).
struct Locale {
    Locale *next;
    char *name;         // common name: inside `path` when there is one, else its own buffer
    char *sysname;      // system name; == name when equal; NULL without a directory
    char *path;         // locale directory; NULL when it does not exist
    CatalogFile *files;
};

extern avl_tree *msgCache;
extern Locale *cmnLocales;
extern int useAtExit;

// Cache and catalog files (kdmsgcache).
Locale *createLocale(const char *name) noexcept;
CatalogFile *createMsgFile(Locale *locale, const char *msgid) noexcept;
Message *scanMsgFile(CatalogFile *file, const char *locale, const char *msgid,
                     const char *syslocale) noexcept;
Message *cacheMsg(Message *record, const char *text, int mode, const char *syslocale) noexcept;
int msgCmp(const void *key, const void *item) noexcept;
void destroyMsg(void *item) noexcept;
void destroyFileList(CatalogFile *list) noexcept;

// A message record with no text yet, or NULL when memory runs out.
Message *newMessage(const char *msgid, const char *locale, FILE *stream, long offset,
                    long length) noexcept;
// Component directory of a component letter, or NULL.
const char *componentDir(char letter) noexcept;
// Resolves the catalog escapes of text in place, under the current
// character-type locale (multibyte characters are copied untouched).
void resolveEscapes(char *text) noexcept;

// One valid line of the locale definition file (kdmsg_tar).
struct LocaleLine {
    char type;                 // 'M' mapping, 'L' common name that is a system name too
    std::string_view sysname;  // system locale name
    std::string_view common;   // common locale name
};
// Parses one line (at most kConfLineSize - 1 characters, newline allowed).
bool parseLocaleLine(std::string_view line, LocaleLine &out) noexcept;

// Whether a catalog text may stand in for the built-in format of its
// message: every argument the formatter would read for the text (widths and
// precisions given as '*' included) is one it reads for the built-in format,
// at the same position and of the same type, and the text writes nothing
// through %n. A text that uses fewer of the arguments fits; a NULL built-in
// format passes no arguments at all.
bool formatFits(const char *text, const char *builtin) noexcept;

}  // namespace yq::kdmsg

#endif
