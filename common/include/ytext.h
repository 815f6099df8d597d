/* Line-oriented text files whose lines are records (items): reading by index
   or in sequence, and safe rewriting through a temporary file in the target's
   directory that a committing close renames over the target. */
#ifndef YTEXT_H
#define YTEXT_H

#include <stdio.h>

#include "yq_api.h"

YQ_BEGIN_C

/* Statuses of every ytext_ operation (ynet_text_to_net_status turns them
   into connection statuses). */
enum {
    YTEXT_SUCCESS = 0,
    YTEXT_NO_HANDLE = 1,      /* no handle, or a handle with nothing to read */
    YTEXT_UNQUOTABLE = 2,     /* a value holds both quote characters; a record
                                 that a callback cannot convert */
    YTEXT_CHMOD_FAILED = 3,   /* permissions cannot be set on the new file */
    YTEXT_CHOWN_FAILED = 4,   /* ownership cannot be set on the new file */
    YTEXT_PAST_END = 5,       /* replace past the last item; a negative index */
    YTEXT_NO_MEMORY = 6,
    YTEXT_OPEN_FAILED = 7,    /* a file cannot be opened or created; no
                                 temporary name at open */
    YTEXT_RENAME_FAILED = 8,  /* the new file cannot be renamed over the target */
    YTEXT_STAT_FAILED = 9,    /* the target's attributes cannot be read */
    YTEXT_IO_ERROR = 10       /* a write, flush, sync or close failed; a write
                                 on a read-only handle */
};

/* Open modes. */
enum {
    YTEXT_MODE_READ = 0,    /* read an existing file */
    YTEXT_MODE_UPDATE = 1,  /* change a file's items; a missing file is empty */
    YTEXT_MODE_REWRITE = 2, /* write a file's items anew */
    YTEXT_MODE_MEMORY = 3   /* read a text passed in place of the path */
};

/* Callbacks. parse turns a logical line (released by the reader after the
   call) into an item; status 0 with a NULL item means the line carries none.
   unparse makes a newly allocated line (taken over by the writer; NULL writes
   nothing). free releases an item and sets the pointer to NULL. */
typedef int (*ytext_parse_fn)(const char *line, void **item);
typedef int (*ytext_unparse_fn)(const void *item, char **line);
typedef void (*ytext_free_fn)(void **item);

typedef struct ytext_handle {
    char *path;       /* copy of the target path; mode 3: read cursor */
    char *temp_path;  /* current temporary file (modes 1, 2), else NULL */
    FILE *stream;     /* the file (mode 0) or the temporary file (1, 2) */
    int read_only;    /* 1 for modes 0 and 3 */
    int item_index;   /* items delivered by ytext_get_item since the rewind */
    ytext_parse_fn parse_fn;
    ytext_unparse_fn unparse_fn;
    ytext_free_fn free_fn;
    char *text_start; /* mode 3: start of the copied text */
    int mode;
} ytext_handle;

/* Handle life. Without commit the target is never touched; the temporary
   file is always removed. */
YQ_API int ytext_open(const char *path, int mode, ytext_parse_fn parse, ytext_unparse_fn unparse,
                      ytext_free_fn free_fn, ytext_handle **handle) YQ_NOEXCEPT;
YQ_API int ytext_close(ytext_handle **handle, int commit) YQ_NOEXCEPT;
YQ_API void ytext_rewind(ytext_handle *handle) YQ_NOEXCEPT;

/* Reading items; a NULL item means there is none. Items belong to the caller
   (release with the free callback, or free()). */
YQ_API int ytext_get_item(ytext_handle *handle, int index, void **item) YQ_NOEXCEPT;
YQ_API int ytext_get_next_item(ytext_handle *handle, void **item) YQ_NOEXCEPT;

/* Changing items (writable handles); items stay the caller's. Past the last
   item, insert appends, replace is status 5 and delete changes nothing; a
   NULL item deletes. Append is insert at 0x7FFFFFFF. */
YQ_API int ytext_append_item(ytext_handle *handle, const void *item) YQ_NOEXCEPT;
YQ_API int ytext_insert_item(ytext_handle *handle, int index, const void *item) YQ_NOEXCEPT;
YQ_API int ytext_replace_item(ytext_handle *handle, int index, const void *item) YQ_NOEXCEPT;
YQ_API int ytext_delete_item(ytext_handle *handle, int index) YQ_NOEXCEPT;
YQ_API int ytext_put_item(ytext_handle *handle, int index, int replace,
                          const void *item) YQ_NOEXCEPT;

/* Physical lines keep their newline; logical lines join lines that end in a
   backslash and have none. A NULL line means the end. Lines are released
   with free(). The memory readers advance *text. */
YQ_API int ytext_get_line(FILE *stream, char **line) YQ_NOEXCEPT;
YQ_API int ytext_get_memory_line(char **text, char **line) YQ_NOEXCEPT;
YQ_API int ytext_get_logical_line(FILE *stream, char **line) YQ_NOEXCEPT;
YQ_API int ytext_get_logical_memory_line(char **text, char **line) YQ_NOEXCEPT;

/* One record: logical lines until one yields an item. */
YQ_API int ytext_get_record(FILE *stream, ytext_parse_fn parse, void **item) YQ_NOEXCEPT;
YQ_API int ytext_get_memory_record(ytext_handle *handle, ytext_parse_fn parse,
                                   void **item) YQ_NOEXCEPT;
YQ_API int ytext_put_record(FILE *stream, ytext_unparse_fn unparse, const void *item) YQ_NOEXCEPT;

/* Tokens for record parsers and writers. */
YQ_API int ytext_delimiter(const char *value, char *delimiter) YQ_NOEXCEPT;
YQ_API char *ytext_skip_space(char *s) YQ_NOEXCEPT;
YQ_API char *ytext_skip_no_space(char **s) YQ_NOEXCEPT;

/* Paths and files. The names are new allocations, released with free(). */
YQ_API char *ytext_basename(const char *path) YQ_NOEXCEPT;
YQ_API char *ytext_dirname(const char *path) YQ_NOEXCEPT;
YQ_API int ytext_rename_file(const char *old_name, const char *new_name) YQ_NOEXCEPT;
YQ_API int ytext_copy_attrs(const char *source, const char *destination) YQ_NOEXCEPT;

YQ_END_C

#endif
