#include <stdlib.h>

#include "crconf.h"

static void check_crconf(void) __attribute__((constructor));

static void check_crconf(void) {
    crconf_authorization_service_rec *service = NULL;
    if (crconf_create_authorization_service("_NONE_", 13722, &service) != 0) abort();
    if (service == NULL || service->as_host != NULL || service->as_port != 13722) abort();
    crconf_free_authorization_service(&service);
    if (service != NULL) abort();
    crconf_free_authorization_service(&service); /* a pointer to NULL is fine */
}
