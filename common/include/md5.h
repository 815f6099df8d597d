/* MD5 message digest (RFC 1321) and the services built on it: keyed digests,
   the "#YMD5_DIGEST=" trailer line that marks a text file as unaltered, and
   a reversible keyed scrambling of a short text into hexadecimal. */
#ifndef MD5_H
#define MD5_H

#include <stdint.h>
#include <stdio.h>

#include "yq_api.h"

/* The digest line: prefix, 16 bytes as "%02x" separated by single spaces,
   newline. 61 characters; MD5_DIGEST_LINE_SIZE holds it with its terminator. */
#define MD5_DIGEST_PREFIX "#YMD5_DIGEST="
#define MD5_DIGEST_PREFIX_LEN 13
#define MD5_DIGEST_LINE_LEN 61
#define MD5_DIGEST_LINE_SIZE 62
#define MD5_DIGEST_LEN 16

YQ_BEGIN_C

/* The caller's digest context. Finishing a digest clears it to zero bytes. */
typedef struct {
    uint32_t state[4];        /* chaining words A, B, C, D */
    uint32_t count[2];        /* number of bits digested, low word first */
    unsigned char buffer[64]; /* input not yet forming a whole block */
} MD5_CTX;

/* Descriptor for MD5Error lines; -1 (the initial value) writes nothing. */
YQ_API extern int MD5DebugFD;

YQ_API void CR_MD5Init(MD5_CTX *ctx) YQ_NOEXCEPT;
YQ_API void CR_MD5Update(MD5_CTX *ctx, const unsigned char *data, unsigned int length) YQ_NOEXCEPT;
YQ_API void CR_MD5Final(unsigned char digest[16], MD5_CTX *ctx) YQ_NOEXCEPT;

/* Keyed finishing: digest the product's key block A (check_system_time) or
   key block B (list_mode_bits) after what ctx already holds, then finish. */
YQ_API void check_system_time(unsigned char digest[16], MD5_CTX *ctx) YQ_NOEXCEPT;
YQ_API void list_mode_bits(unsigned char digest[16], MD5_CTX *ctx) YQ_NOEXCEPT;

/* Formats the digest line of `digest` and copies it into `line`, cut to
   `size` bytes and terminated; size 0 or less copies nothing. */
YQ_API void MD5DigestToLine(const unsigned char digest[16], char *line, int size) YQ_NOEXCEPT;

/* 0 when `line` is a well-formed digest line (its 16 bytes to `digest`, which
   may be NULL to only check), -1 otherwise; `digest` is untouched then. The
   last number must be followed by white space, normally the newline. */
YQ_API int MD5LineToDigest(const char *line, unsigned char digest[16]) YQ_NOEXCEPT;

/* Digest of a text file read from its start, ignoring its digest lines;
   keyed (any non-NULL pointer) finishes with key block A. The bytes of the
   last digest line seen go to `stored` and *found becomes 1 (stored and
   found may be NULL). 0, or -1 for a NULL stream or digest or a read error.
   Verification: compare `digest` with `stored` when *found is 1. */
YQ_API int MD5TextFileDigest(FILE *stream, const void *keyed, unsigned char digest[16],
                             unsigned char stored[16], int *found) YQ_NOEXCEPT;

/* Appends the digest line of the file's current content (stream open for
   reading and writing). Earlier digest lines stay; the content should end
   with a newline, or the new line joins the last line of content. 0 or -1. */
YQ_API int MD5AppendDigest(FILE *stream, const void *keyed) YQ_NOEXCEPT;

/* Writes "FILE.LINE: FUNCTION failed: VALUE\n" to MD5DebugFD unless it is -1. */
YQ_API void MD5Error(const char *file, int line, const char *function, int value) YQ_NOEXCEPT;

/* Pairs of hexadecimal digits (either case) to bytes: the number of bytes,
   0 for an empty text, -1 when a pair is not two hexadecimal digits (an odd
   length fails at its last pair). `bytes` needs strlen(hex) / 2 bytes. */
YQ_API int unhex(const char *hex, unsigned char *bytes) YQ_NOEXCEPT;

/* 2 * count lower-case digits and a terminator; `hex` needs 2 * count + 1. */
YQ_API void rehex(const unsigned char *bytes, int count, char *hex) YQ_NOEXCEPT;

/* Scrambles `text` (at most 64 characters are used) under the two keys into
   128 hexadecimal digits; `hex` needs 129 bytes. */
YQ_API void get_final_config(const char *key1, const char *key2, const char *text,
                             char *hex) YQ_NOEXCEPT;

/* Recovers a text scrambled by get_final_config with the same keys into
   `text`, which needs 64 bytes; hand it zero-filled (65 bytes for a
   64-character text, which gets no terminator of its own). Only the first
   128 digits are used. 0, or -1 when `hex` is not valid hexadecimal; an
   empty `hex` leaves `text` untouched. */
YQ_API int return_first_file(const char *key1, const char *key2, const char *hex,
                             char *text) YQ_NOEXCEPT;

YQ_END_C

#endif
