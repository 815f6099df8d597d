/* The parser of libYcrconf, apart from its entry points so that a fuzz
   target can drive it on any stream. Hidden in the shared library. */
#ifndef YCRCONF_PARSE_H
#define YCRCONF_PARSE_H

#include <stdio.h>

#include "crconf.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Statuses of this library (documented in README.md). */
enum {
    YCRCONF_OK = 0,
    YCRCONF_BAD_ARGUMENT = 20,
    YCRCONF_NO_MEMORY = 36,
    YCRCONF_UNREADABLE = 110
};

/* A new record holding the defaults, or NULL when memory ran out. */
crconf_info_rec *ycrconf_new_record(void);

/* Reads configuration lines from `file` into `rec` (which holds the
   defaults); `path` names the file in reports of bad lines. Returns
   YCRCONF_OK, YCRCONF_NO_MEMORY or YCRCONF_UNREADABLE; on failure `rec` may
   be partly filled and is still released with ycrconf_free_record. */
int ycrconf_read_stream(FILE *file, const char *path, crconf_info_rec *rec);

/* Frees a record and everything it owns; NULL is fine. */
void ycrconf_free_record(crconf_info_rec *rec);

#ifdef __cplusplus
}
#endif

#endif
