#define _POSIX_C_SOURCE 200809L
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ynet.h"

static void check_ynet(void) __attribute__((constructor));

static void check_ynet(void) {
    int sv[2];
    char buf[16];
    long value = 0;
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) abort();
    if (ynet_push_string(sv[0], "hello", 5) != YN_STATUS_SUCCESS) abort();
    if (ynet_push_signed(sv[0], -5, 5) != YN_STATUS_SUCCESS) abort();
    if (ynet_pop_string(sv[1], buf, (int)sizeof buf, 5) != YN_STATUS_SUCCESS) abort();
    if (strcmp(buf, "hello") != 0) abort();
    if (ynet_pop_signed(sv[1], &value, 5) != YN_STATUS_SUCCESS || value != -5) abort();
    if (ynet_push_byte(sv[0], 256, 5) != YN_STATUS_BAD_VALUE) abort();
    if (ynet_text_to_net_status(10) != YN_STATUS_WRITE_FAILED) abort();
    close(sv[0]);
    close(sv[1]);
}
