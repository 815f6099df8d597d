/* Per-program daily debug logs and the severity-masked common log.
   Log files live in "<log dir>/<program>/log.MMDDYY" and are reopened at the
   first line of a new day when Auto_Recycle_Logs is 1. */
#ifndef LOGGING_H
#define LOGGING_H

#include <stdio.h>

#include "yq_api.h"

YQ_BEGIN_C

/* Debug and activity logs. */
YQ_API extern int debugFD;            /* open debug log, -1 when none */
YQ_API extern int g_ppid;             /* written before the pid when non-zero */
YQ_API extern int Auto_Recycle_Logs;  /* 1: reopen the log when the day changes */
YQ_API extern int zero_write_tries;   /* budget of retries after writes of 0 bytes */
YQ_API extern char logdir1[1025];
YQ_API extern char logdir2[1025];
YQ_API extern int log_mode1;
YQ_API extern int log_mode2;
YQ_API extern int logfd1;
YQ_API extern int logfd2;
YQ_API extern int log_day;            /* day of the year of the latest opening */

YQ_API int open_log(const char *dir, int mode, int *err) YQ_NOEXCEPT;
YQ_API int open_debug_file(const char *name, int mode, int *err) YQ_NOEXCEPT;
YQ_API FILE *open_logging_file(const char *dir) YQ_NOEXCEPT;
YQ_API void close_logging_file(FILE **stream) YQ_NOEXCEPT;

YQ_API int debuglog(int fd, const char *text) YQ_NOEXCEPT;
YQ_API int logwithdate(int fd, const char *text) YQ_NOEXCEPT;
YQ_API int logwithtime(int fd, const char *text) YQ_NOEXCEPT;
YQ_API int logwithtime_and_id(int fd, const char *id, const char *text) YQ_NOEXCEPT;
YQ_API int logwithoutdate(int fd, const char *text) YQ_NOEXCEPT;
YQ_API int logmsg(int level, const char *message, const char *function) YQ_NOEXCEPT;
YQ_API int logparams(int argc, char **argv) YQ_NOEXCEPT;
YQ_API int logparamswithdate(int argc, char **argv) YQ_NOEXCEPT;

/* Common log: severities are the bits 1, 2, 4, 8, 16 and 32. */
YQ_API extern int cmnlogSEVERITY;     /* mask of written severities, low six bits */

YQ_API int cmnlogOPEN(const char *dir, const char *name, int mode) YQ_NOEXCEPT;
YQ_API int cmnlogCLOSE(void) YQ_NOEXCEPT;
YQ_API void cmnlogSeveritySET(int mask) YQ_NOEXCEPT;
YQ_API void cmnlogARGS(char **args) YQ_NOEXCEPT;
YQ_API int cmnlogMSG(int severity, const char *message, const char *function) YQ_NOEXCEPT;
YQ_API int cmnlogMSGS(int severity, char **messages, const char *function) YQ_NOEXCEPT;
YQ_API int cmnlogPARAMS(char **array) YQ_NOEXCEPT;
YQ_API const char *cmnlogASSERT(const char *text, const char *where) YQ_NOEXCEPT;

YQ_END_C

#endif
