#include <stdlib.h>
#include <string.h>

#include "md5.h"

static void check_md5(void) __attribute__((constructor));

static void check_md5(void) {
    static const unsigned char expected[16] = {0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0,
                                               0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72};
    MD5_CTX ctx;
    unsigned char digest[16], parsed[16];
    char line[MD5_DIGEST_LINE_SIZE];
    char hex[33];

    CR_MD5Init(&ctx);
    CR_MD5Update(&ctx, (const unsigned char *)"abc", 3);
    CR_MD5Final(digest, &ctx);
    if (memcmp(digest, expected, 16) != 0) abort();

    MD5DigestToLine(digest, line, (int)sizeof line);
    if (strcmp(line, "#YMD5_DIGEST=90 01 50 98 3c d2 4f b0 d6 96 3f 7d 28 e1 7f 72\n") != 0) abort();
    if (MD5LineToDigest(line, parsed) != 0 || memcmp(parsed, expected, 16) != 0) abort();

    rehex(digest, 16, hex);
    if (strcmp(hex, "900150983cd24fb0d6963f7d28e17f72") != 0) abort();
    if (unhex(hex, parsed) != 16 || memcmp(parsed, expected, 16) != 0) abort();
}
