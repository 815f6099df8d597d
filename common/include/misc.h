/* Number formatting, command-line option lookup, environment removal and a
   self-contained sscanf. */
#ifndef MISC_H
#define MISC_H

#include "yq_api.h"

YQ_BEGIN_C

YQ_API char *itoaLJ(int n) YQ_NOEXCEPT;
YQ_API char *itoaRJ(int n) YQ_NOEXCEPT;
YQ_API int argEXISTS(char **argv, const char *option) YQ_NOEXCEPT;
YQ_API char **argValuesGET(char **argv, const char *option) YQ_NOEXCEPT;
YQ_API int unsetenv(const char *name) YQ_NOEXCEPT;
YQ_API int Y_sscanf(const char *str, const char *format, ...) YQ_NOEXCEPT;

YQ_END_C

#endif
