/* An outside program built against the installed library only: its headers
 * from the install tree, the library found through pkg-config or CMake. */
#include <stdio.h>
#include <string.h>

#include "md5.h"
#include "ynet.h"
#include "ystrings.h"

int main(void) {
    MD5_CTX ctx;
    unsigned char digest[16];
    char hex[33];
    char line[64];

    CR_MD5Init(&ctx);
    CR_MD5Update(&ctx, (const unsigned char *)"abc", 3);
    CR_MD5Final(digest, &ctx);
    rehex(digest, 16, hex);
    if (Y_snprintf(line, sizeof line, "md5(abc)=%s", hex) <= 0) return 1;
    puts(line);
    return strcmp(hex, "900150983cd24fb0d6963f7d28e17f72") == 0 ? 0 : 1;
}
