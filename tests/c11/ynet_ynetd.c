#define _POSIX_C_SOURCE 200809L
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ynet.h"

static void check_ynet_ynetd(void) __attribute__((constructor));

/* The hash pair of a hand-over verifies, and stops verifying when a digit of
   either string changes; no hash asked for takes only an empty one. */
static void check_ynet_ynetd(void) {
    int pair[2];
    char hash1[YNETD_HASH_SIZE];
    char hash2[YNETD_HASH_SIZE];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) abort();
    ynet_generate_hashes(pair[0], hash1, sizeof hash1, hash2, sizeof hash2);
    close(pair[0]);
    close(pair[1]);
    if (strlen(hash1) != 32 || strlen(hash2) != 32) abort();
    if (verify_hashes(hash1, hash2) != 1) abort();
    hash2[5] = hash2[5] == '0' ? '1' : '0';
    if (verify_hashes(hash1, hash2) != 0) abort();
    if (verify_hashes(NULL, "") != 1 || verify_hashes(NULL, hash1) != 0) abort();
    if (YNETD_REQUEST_SERVICE != 6 || YNETD_DEFAULT_PORT != 13724) abort();
}
