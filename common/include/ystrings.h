/* Bounded string functions: every copy, join and format of the library goes
   through these. Sizes always count the whole destination buffer, terminator
   included, in characters of the string's type. The copy and concatenation
   functions return the number of characters actually written and always
   leave the destination terminated. */
#ifndef YSTRINGS_H
#define YSTRINGS_H

#include <stdarg.h>
#include <stddef.h>
#include <wchar.h>

#include "yq_api.h"

YQ_BEGIN_C

YQ_API size_t Y_strlcpy(char *dst, const char *src, size_t size) YQ_NOEXCEPT;
YQ_API size_t Y_strlcat(char *dst, const char *src, size_t size) YQ_NOEXCEPT;
YQ_API size_t Y_strlncpy(char *dst, const char *src, size_t n, size_t size) YQ_NOEXCEPT;
YQ_API size_t Y_strlncat(char *dst, const char *src, size_t n, size_t size) YQ_NOEXCEPT;
YQ_API int Y_snprintf(char *dst, size_t size, const char *format, ...) YQ_NOEXCEPT
    __attribute__((format(printf, 3, 4)));
YQ_API int Y_vsnprintf(char *dst, size_t size, const char *format, va_list args) YQ_NOEXCEPT
    __attribute__((format(printf, 3, 0)));
/* 0 when a terminator lies within the first n characters (its index in *pos),
   -1 otherwise or for a NULL buffer (*pos 0). pos may be NULL. */
YQ_API int Y_strverify(const char *buf, size_t n, size_t *pos) YQ_NOEXCEPT;

YQ_API size_t Y_wcslcpy(wchar_t *dst, const wchar_t *src, size_t size) YQ_NOEXCEPT;
YQ_API size_t Y_wcslcat(wchar_t *dst, const wchar_t *src, size_t size) YQ_NOEXCEPT;
YQ_API size_t Y_wcslncpy(wchar_t *dst, const wchar_t *src, size_t n, size_t size) YQ_NOEXCEPT;
YQ_API size_t Y_wcslncat(wchar_t *dst, const wchar_t *src, size_t n, size_t size) YQ_NOEXCEPT;
YQ_API int Y_snwprintf(wchar_t *dst, size_t size, const wchar_t *format, ...) YQ_NOEXCEPT;
YQ_API int Y_vsnwprintf(wchar_t *dst, size_t size, const wchar_t *format, va_list args) YQ_NOEXCEPT;
YQ_API int Y_wstrverify(const wchar_t *buf, size_t n, size_t *pos) YQ_NOEXCEPT;

/* realloc that never leaves a stale pointer: on failure the old block is
   released and *p set to NULL. */
YQ_API void *Y_dumb_realloc(void **p, size_t size) YQ_NOEXCEPT;

YQ_API wchar_t *Y_wmemset(wchar_t *s, wchar_t c, size_t n) YQ_NOEXCEPT;
YQ_API wchar_t *Y_wmemchr(const wchar_t *s, wchar_t c, size_t n) YQ_NOEXCEPT;

YQ_END_C

#endif
