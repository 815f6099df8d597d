/* Growable string arrays: a handle around a plain NULL-terminated array that
   keeps a count, a capacity and a growth step. Every slot from `count` to the
   end of the block is NULL, so `array` can be used as a plain array at any
   time. The handle does not own the strings except where a function says so
   (cstrvsaFREEALL, cstrvsaREMOVEALL). */
#ifndef CSTRVSA_H
#define CSTRVSA_H

#include "yq_api.h"

YQ_BEGIN_C

typedef struct cstrvsa_handle {
    char **array;   /* the NULL-terminated slot block */
    int increment;  /* slots added at each growth; 0 forbids growth */
    int capacity;   /* slots allocated */
    int count;      /* elements in use */
} cstrvsa_handle;

/* New handle. increment < 0 means 16. initial > 0 allocates initial + 1 slots
   and counts initial NULL elements (to be filled with cstrvsaSET); otherwise
   the first block is one growth step. NULL when memory runs out. */
YQ_API cstrvsa_handle *cstrvsaNEW(int initial, int increment) YQ_NOEXCEPT;
/* Handle around an existing malloc'ed array (count = its elements, capacity
   one more); NULL for a NULL array or when memory runs out. */
YQ_API cstrvsa_handle *cstrvsaATTACH(char **array, int increment) YQ_NOEXCEPT;
/* Frees the handle and returns its array, which now belongs to the caller. */
YQ_API char **cstrvsaDETACH(cstrvsa_handle *handle) YQ_NOEXCEPT;
/* Frees the array block and the handle, not the strings. */
YQ_API void cstrvsaFREE(cstrvsa_handle *handle) YQ_NOEXCEPT;
/* Frees every string, then as cstrvsaFREE. */
YQ_API void cstrvsaFREEALL(cstrvsa_handle *handle) YQ_NOEXCEPT;

/* Inserts element at index 0..count; address of its slot, or NULL for a bad
   index or a growth that is forbidden or fails. */
YQ_API char **cstrvsaINSERT(cstrvsa_handle *handle, char *element, int index) YQ_NOEXCEPT;
/* cstrvsaINSERT at index count. */
YQ_API char **cstrvsaAPPEND(cstrvsa_handle *handle, char *element) YQ_NOEXCEPT;
/* Removes n elements from index (clipped to the end); number removed, 0 for a
   bad index or n < 1. */
YQ_API int cstrvsaREMOVE(cstrvsa_handle *handle, int index, int n) YQ_NOEXCEPT;
/* As cstrvsaREMOVE, freeing the removed strings. */
YQ_API int cstrvsaREMOVEALL(cstrvsa_handle *handle, int index, int n) YQ_NOEXCEPT;

/* Address of slot index (0 <= index < count), else NULL. */
YQ_API char **cstrvsaPOINTER(cstrvsa_handle *handle, int index) YQ_NOEXCEPT;
/* Element at index, else NULL. */
YQ_API char *cstrvsaOBJECT(const cstrvsa_handle *handle, int index) YQ_NOEXCEPT;
/* Stores element at an existing index (the previous one is not freed); slot
   address, or NULL for a bad index. */
YQ_API char **cstrvsaSET(cstrvsa_handle *handle, char *element, int index) YQ_NOEXCEPT;

/* count, capacity, array; 0 or NULL for a NULL handle. */
YQ_API int cstrvsaCOUNT(const cstrvsa_handle *handle) YQ_NOEXCEPT;
YQ_API int cstrvsaSIZE(const cstrvsa_handle *handle) YQ_NOEXCEPT;
YQ_API char **cstrvsaVSARRAY(const cstrvsa_handle *handle) YQ_NOEXCEPT;
/* cstraMATCH on the handle's array. */
YQ_API int cstrvsaMATCH(const cstrvsa_handle *handle, const char *s) YQ_NOEXCEPT;
/* Removes every later duplicate (strcmp) of each element, keeping the first;
   with free_removed the removed strings are freed. */
YQ_API void cstrvsaUNIQUE(cstrvsa_handle *handle, int free_removed) YQ_NOEXCEPT;

YQ_END_C

#endif
