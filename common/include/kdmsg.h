/* Product message catalogs and locale names.

   A message identifier has exactly 11 characters: a 3-character catalog
   prefix, a 7-character message number and a component letter ('H', 'N',
   'V' or 'X'). Its text for a locale lives in the catalog file
   "/usr/kelda/msg/<locale>/<component directory>/<prefix>Msgs"; the first
   request for a message of a catalog file reads the whole file once and
   caches all of its messages (and every absent message asked for) until
   msgCacheUnload.

   The locale definition file "/usr/kelda/msg/.conf" maps the system's
   locale names to the product's common locale names and back.

   Returned name and status pointers refer to static buffers that the next
   call overwrites. No locks: use from one thread, or serialise calls. */
#ifndef KDMSG_H
#define KDMSG_H

#include "yq_api.h"

YQ_BEGIN_C

/* Formats the message msgid for locale1 into buf1 (len1 bytes) and, when
   locale2 and buf2 are both given, for locale2 into buf2 (len2 bytes). The
   format is the catalog text, or default_fmt when the catalog has none.
   When default_fmt contains "%%s", the first variadic argument is an error
   number (int) whose system text takes the place of that "%%s" once the
   other arguments are formatted. errno is preserved. Returns 0, or -1 when
   locale1 or buf1 is NULL. */
YQ_API int kdgetmsg(const char *msgid, const char *locale1, int len1, char *buf1,
                    const char *locale2, int len2, char *buf2, const char *default_fmt,
                    ...) YQ_NOEXCEPT;

/* Sets the process's character type, time, collation, numeric and messages
   categories from the environment and fills the five buffers with their
   common locale names ("C" when a name has no mapping; each buffer needs
   room for 100 bytes). *status points to a text that says what went wrong
   last, or "kd getlocale Completed Successfully". Returns 0, or -1 when a
   category other than the character type has no mapping. errno is 0
   afterwards. */
YQ_API int kdgetlocale(char *messages, char *ctype, char *time, char *collate, char *numeric,
                       char **status) YQ_NOEXCEPT;

/* Maps a system locale name to its common name. Returns 0 with the common
   name in *common, or -1 with a message text in *common. */
YQ_API int real2commonlocale(const char *real, const char **common) YQ_NOEXCEPT;

/* A system locale name for a common name: the name itself when the system
   accepts it, else the first accepted mapping of the definition file, else
   "C" (the name itself when there is no definition file). */
YQ_API const char *common2reallocale(const char *common) YQ_NOEXCEPT;

/* The catalog text of msgid for locale (escapes resolved), or NULL. Valid
   until msgCacheUnload. */
YQ_API const char *getLocalMsgFmt(const char *locale, const char *msgid) YQ_NOEXCEPT;

/* Kept for callers of the registry interface; always -1. */
YQ_API int getregistrylocale(void) YQ_NOEXCEPT;

/* Releases the message cache and every locale and catalog record; returns
   value. Registered with atexit when the first locale is set up, unless
   disableAutoMsgCacheUnload ran before. */
YQ_API int msgCacheUnload(int value) YQ_NOEXCEPT;

/* Keeps msgCacheUnload from being registered with atexit; has an effect only
   before the first message request. */
YQ_API void disableAutoMsgCacheUnload(void) YQ_NOEXCEPT;

YQ_END_C

#endif
