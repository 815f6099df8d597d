/* Plain string arrays: a malloc'ed block of char * slots ending with a NULL
   slot (the form argv has); the strings are separate malloc'ed blocks owned
   by whoever owns the array. */
#ifndef CSTRA_H
#define CSTRA_H

#include "yq_api.h"

YQ_BEGIN_C

/* Number of elements; 0 for NULL. */
YQ_API int cstraCOUNT(char *const *array) YQ_NOEXCEPT;
/* Deep copy; NULL for NULL or when memory runs out. */
YQ_API char **cstraDUP(char *const *array) YQ_NOEXCEPT;
/* Frees every string and the array. */
YQ_API void cstraFREE(char **array) YQ_NOEXCEPT;
/* Frees every string and clears its slot; the array itself stays. */
YQ_API void cstraItemsFREE(char **array) YQ_NOEXCEPT;
/* Moves b's strings to the end of a and frees b's block. The result replaces
   a (it may have moved). NULL a gives b, NULL b gives a. On failure the
   result is NULL and a and b are left as they were. */
YQ_API char **cstraAPPEND(char **a, char **b) YQ_NOEXCEPT;
/* New string: the elements joined with separator (NULL = none) between them;
   NULL when the joined text would be empty or memory runs out. */
YQ_API char *cstraTOcstr(char *const *array, const char *separator) YQ_NOEXCEPT;
/* Index of the first element equal to s (strcmp), or -1. */
YQ_API int cstraMATCH(char *const *array, const char *s) YQ_NOEXCEPT;
/* New array of copies of the elements of a that do not occur in b, in order;
   NULL when there are none or memory runs out. */
YQ_API char **cstraDIFF(char *const *a, char *const *b) YQ_NOEXCEPT;

YQ_END_C

#endif
