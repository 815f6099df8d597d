/* Directory creation, directory listings and name lists, name transcoding,
   line reading. */
#ifndef CMNUTILS_H
#define CMNUTILS_H

#include <stdio.h>

#include "yq_api.h"

YQ_BEGIN_C

typedef struct dlist_entry {
    char *name;                /* owned copy */
    struct dlist_entry *next;
} dlist_entry;

/* Creates `path` (absolute) and every missing parent with `mode`. */
YQ_API int mkdirpath(const char *path, int mode, int *err) YQ_NOEXCEPT;

YQ_API int free_char_array(char **array) YQ_NOEXCEPT;
YQ_API int free_dir_list(char **list) YQ_NOEXCEPT;
YQ_API char **get_dir_list(const char *dir, int *err) YQ_NOEXCEPT;
YQ_API dlist_entry *create_dlist_entry(const char *name) YQ_NOEXCEPT;
YQ_API dlist_entry *insertion_sort_dlist(dlist_entry *list) YQ_NOEXCEPT;
YQ_API dlist_entry *merge_sort_dlist(dlist_entry *list, int dir) YQ_NOEXCEPT;

YQ_API char *colonize_by_mode(const char *in, char *out, int mode) YQ_NOEXCEPT;
YQ_API char *decolonize_by_mode(const char *in, char *out, int mode) YQ_NOEXCEPT;
YQ_API void ucs1_to_utf8(const char *in, char *out) YQ_NOEXCEPT;
YQ_API void utf8_to_ucs1(const char *in, char *out) YQ_NOEXCEPT;
YQ_API char *myfgetline(FILE *stream, int *len) YQ_NOEXCEPT;

/* Host comparison straight from the resolver: 1 when the two names denote
   one machine (both having an address of this machine counts). With
   he_verbose set, the reasons for a "no" go to the debug log. */
YQ_API extern int he_verbose;
YQ_API int hosts_equal(const char *name1, const char *name2) YQ_NOEXCEPT;

YQ_END_C

#endif
