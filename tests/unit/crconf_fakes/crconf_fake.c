/* Stand-in configuration libraries for the loader tests. Each build of this
   file (CRCONF_FAKE_<VARIANT>) leaves out or breaks one part. Every call is
   appended to the file named by CRCONF_FAKE_TRACE, so a test sees which entry
   points the loader called, with which arguments, and how often it loaded. */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "crconf.h"

static void trace(const char *text) {
    const char *path = getenv("CRCONF_FAKE_TRACE");
    int fd;
    if (path == NULL) return;
    fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    if (write(fd, text, strlen(text)) < 0) { /* the test sees the gap */
    }
    close(fd);
}

YQ_API int crconf_init(int interface_version, int debug_fd) {
    char text[64];
    snprintf(text, sizeof text, "init(%d,%d) ", interface_version, debug_fd);
    trace(text);
#ifdef CRCONF_FAKE_INIT_FAILS
    return 5;
#else
    return 0;
#endif
}

#ifndef CRCONF_FAKE_NO_GET
YQ_API int crconf_get_cwinfo(crconf_info_rec **info) {
    trace("get ");
#ifdef CRCONF_FAKE_GET_NULL
    (void)info;
    return 0;
#else
    crconf_info_rec *rec = calloc(1, sizeof *rec);
    if (rec == NULL) return 36;
    rec->ni_update_time = -7; /* the loader, not the library, sets the time */
    rec->ni_reserved_text_1 = strdup("fake");
    rec->ni_servers = calloc(1, sizeof *rec->ni_servers);
    if (rec->ni_servers != NULL) rec->ni_servers->ns_server = strdup("master");
    *info = rec;
#ifdef CRCONF_FAKE_GET_FAILS
    return 232; /* and leaves its record behind for the loader to free */
#else
    return 0;
#endif
#endif
}
#endif

#ifndef CRCONF_FAKE_NO_CLEANUP
YQ_API int crconf_cleanup(void) {
    trace("cleanup ");
    return 0;
}
#endif
