/* Export and linkage markers shared by every public header. */
#ifndef YQ_API_H
#define YQ_API_H

#if defined(__GNUC__) || defined(__clang__)
#define YQ_API __attribute__((visibility("default")))
#else
#define YQ_API
#endif

#ifdef __cplusplus
#define YQ_BEGIN_C extern "C" {
#define YQ_END_C }
#define YQ_NOEXCEPT noexcept
#else
#define YQ_BEGIN_C
#define YQ_END_C
#define YQ_NOEXCEPT
#endif

#endif
