/* Temporary names that stay in the requested directory. */
#ifndef TEMPNAM_H
#define TEMPNAM_H

#include "yq_api.h"

YQ_BEGIN_C

/* New name (release with free), or NULL. */
YQ_API char *Y_tempnam(const char *dir, const char *prefix) YQ_NOEXCEPT;

YQ_END_C

#endif
