/* Stand-in configuration libraries for the loader tests: each build
   (CRCONF_FAKE_<VARIANT>) leaves out or breaks one part, and every call is
   appended to the file named by CRCONF_FAKE_TRACE. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "crconf.h"

static void trace(const char *text) {
    const char *path = getenv("CRCONF_FAKE_TRACE");
    FILE *file = path != NULL ? fopen(path, "ae") : NULL;
    if (file != NULL) fputs(text, file), fclose(file); /* a failed write leaves a gap the test sees */
}

YQ_API int crconf_init(int interface_version, int debug_fd) {
    char text[64];
    snprintf(text, sizeof text, "init(%d,%d) ", interface_version, debug_fd);
    trace(text);
#ifdef CRCONF_FAKE_INIT_FAILS
    return 5;
#endif
    return 0;
}

#ifndef CRCONF_FAKE_NO_GET
YQ_API int crconf_get_cwinfo(crconf_info_rec **info) {
    trace("get ");
#ifdef CRCONF_FAKE_GET_NULL
    return 0; /* success without a record */
#endif
    crconf_info_rec *rec = calloc(1, sizeof *rec);
    if (rec == NULL) return 36;
    rec->ni_update_time = -7; /* the loader, not the library, sets the time */
    rec->ni_reserved_text_1 = strdup("fake");
    if ((rec->ni_servers = calloc(1, sizeof *rec->ni_servers)) != NULL) rec->ni_servers->ns_server = strdup("master");
    *info = rec;
#ifdef CRCONF_FAKE_GET_FAILS
    return 232; /* and leaves its record behind for the loader to free */
#endif
    return 0;
}
#endif

#ifndef CRCONF_FAKE_NO_CLEANUP
YQ_API int crconf_cleanup(void) { return trace("cleanup "), 0; }
#endif
