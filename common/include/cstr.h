/* String toolkit: counts, case changes, trimming, tokens with double-quoted
   literals, quote stripping and enclosing, a quote-aware strtok.

   Functions returning char * (other than strchrwdelim and strtokwdelim,
   which point into their argument) return a new string from the malloc
   family that the caller releases with free(); NULL means there is nothing
   to return or memory ran out. */
#ifndef CSTR_H
#define CSTR_H

#include "yq_api.h"

YQ_BEGIN_C

/* cstrTRIM modes */
#define CSTR_TRIM_LEADING 0   /* leading characters of the set */
#define CSTR_TRIM_TRAILING 1  /* trailing characters of the set */
#define CSTR_TRIM_ALL 2       /* every character of the set */
#define CSTR_TRIM_BOTH 3      /* leading, then trailing */
#define CSTR_TRIM_ZEROS 4     /* leading zero digits (the set is ignored) */

/* 1 if s is NULL or empty, else 0. */
YQ_API int cstrEMPTY(const char *s) YQ_NOEXCEPT;
/* Last character of s, 0 for NULL or empty. */
YQ_API char cstrLAST(const char *s) YQ_NOEXCEPT;
/* 1 if equal by strcmp, a NULL string counting as empty. */
YQ_API int cstrMATCH(const char *a, const char *b) YQ_NOEXCEPT;
/* Occurrences of c in s; 0 for NULL/empty s or c == 0. */
YQ_API int cstrCOUNTchar(const char *s, char c) YQ_NOEXCEPT;
/* Characters of s that belong to set. */
YQ_API int cstrCOUNTchars(const char *s, const char *set) YQ_NOEXCEPT;
/* In-place case changes; NULL is left alone. */
YQ_API void cstrLOWER(char *s) YQ_NOEXCEPT;
YQ_API void cstrUPPER(char *s) YQ_NOEXCEPT;

/* Removes delim from both ends of s in place when s starts and ends with it. */
YQ_API void stripdelims(char *s, char delim) YQ_NOEXCEPT;
/* First c in s outside a section quoted with q, or NULL. */
YQ_API char *strchrwdelim(const char *s, char c, char q) YQ_NOEXCEPT;
/* strtok-like: tokens separated by delim, delimiters inside q-quoted sections
   ignored. s NULL continues the previous string (one position per process). */
YQ_API char *strtokwdelim(char *s, char delim, char q) YQ_NOEXCEPT;

/* Trimmed copy, see CSTR_TRIM_*; NULL for NULL s or an unknown mode. */
YQ_API char *cstrTRIM(const char *s, int mode, const char *set) YQ_NOEXCEPT;
/* Copy without trailing repetitions of suffix, never shortened to nothing
   (mode must be 1). */
YQ_API char *cstrTRIMcstr(const char *s, int mode, const char *suffix) YQ_NOEXCEPT;

/* Tokens: separated by runs of characters of delims; a token starting with a
   double quote extends through the next double quote (delimiters inside do
   not count). */
/* Copy of token index (1-based, 0 = the last), or NULL. */
YQ_API char *cstrTokenGET(const char *s, int index, const char *delims) YQ_NOEXCEPT;
/* Copy of the next token at *cursor; *cursor moves just past it. At the end
   *cursor moves over trailing delimiters and the result is NULL. */
YQ_API char *cstrTokenNEXT(char **cursor, const char *delims) YQ_NOEXCEPT;
/* Length of token index (1-based) from *cursor, *cursor moved to its start;
   0 with *cursor unchanged when there is none. */
YQ_API int cstrTokenFIND(char **cursor, int index, const char *delims) YQ_NOEXCEPT;
/* Copy of field index (1-based) of s cut at every occurrence of the whole
   string delim; NULL for an empty or missing field. */
YQ_API char *cstrTokenOBTAIN(const char *s, int index, const char *delim) YQ_NOEXCEPT;
/* NULL-terminated array of copies of every token (release with cstraFREE). */
YQ_API char **cstrTOcstra(const char *s, const char *delims) YQ_NOEXCEPT;
/* Length of the double-quoted literal at the start of s (quotes included),
   0 if s does not start with a double quote. */
YQ_API int cstrLiteralSIZE(const char *s) YQ_NOEXCEPT;

/* Inside of a string that starts and ends with a double quote, else NULL. */
YQ_API char *cstrDQuotesSTRIP(const char *s) YQ_NOEXCEPT;
/* The inside if quoted, else a plain copy. */
YQ_API char *cstrDQuotesUNCHECK(const char *s) YQ_NOEXCEPT;
/* "\"s\"" when s holds a blank and does not start with a quote, else NULL. */
YQ_API char *cstrDQuotesENCLOSE(const char *s) YQ_NOEXCEPT;
/* As cstrDQuotesENCLOSE when it applies, else a plain copy. */
YQ_API char *cstrDQuotesCHECK(const char *s) YQ_NOEXCEPT;

YQ_END_C

#endif
