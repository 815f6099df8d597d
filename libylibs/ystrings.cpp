// Bounded copy, concatenation and formatting; one template serves each
// narrow/wide pair so the two can never drift apart.
#include "ystrings.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <iterator>

#include "yq_memory.h"
#include "yq_sys.h"

namespace {

// Length of s, looking at no more than limit characters.
template <typename Ch>
size_t bounded_length(const Ch *s, size_t limit) {
    size_t n = 0;
    while (n < limit && s[n] != Ch{}) ++n;
    return n;
}

template <typename Ch>
int verify(const Ch *buf, size_t n, size_t *pos) {
    if (pos != nullptr) *pos = 0;
    if (buf == nullptr) return -1;
    size_t len = bounded_length(buf, n);
    if (len == n) return -1;
    if (pos != nullptr) *pos = len;
    return 0;
}

template <typename Ch>
size_t copy(Ch *dst, const Ch *src, size_t size) {
    if (size == 0 || dst == nullptr || src == nullptr) return 0;
    size_t len = bounded_length(src, size - 1);
    std::copy_n(src, len, dst);
    dst[len] = Ch{};
    return len;
}

template <typename Ch>
size_t concat(Ch *dst, const Ch *src, size_t size) {
    if (size == 0 || dst == nullptr || src == nullptr) return 0;
    size_t used = bounded_length(dst, size);
    size_t room = size - used;
    if (room <= 1) return 0;
    return copy(dst + used, src, room);
}

template <typename Ch>
size_t copy_at_most(Ch *dst, const Ch *src, size_t n, size_t size) {
    if (size == 0 || dst == nullptr || src == nullptr) return 0;
    size_t pos = 0;
    size_t len = verify(src, n, &pos) == 0 ? pos : n;
    // n + 1 without overflow: n may be "no limit" (SIZE_MAX).
    size_t copied = copy(dst, src, n < size ? n + 1 : size);
    // Pad with zeros up to n characters, as the standard bounded copy does,
    // but never beyond the buffer.
    if (n > 0 && len < n - 1) {
        size_t end = std::min(n, size);
        for (size_t i = len + 1; i < end; ++i) dst[i] = Ch{};
    }
    return copied;
}

template <typename Ch>
size_t concat_at_most(Ch *dst, const Ch *src, size_t n, size_t size) {
    if (size == 0 || dst == nullptr || src == nullptr) return 0;
    size_t used = bounded_length(dst, size);
    size_t limit = (n > size) ? size : std::min(used + n + 1, size);
    return concat(dst, src, limit);
}

int platform_format(char *buf, size_t size, const char *format, va_list args) {
    return std::vsnprintf(buf, size, format, args);
}

int platform_format(wchar_t *buf, size_t size, const wchar_t *format, va_list args) {
    return std::vswprintf(buf, size, format, args);
}

// Scratch buffers up to this many bytes live on the stack: the usual line
// or path costs no allocation and cannot fail for want of memory.
constexpr size_t kStackScratchBytes = 4096;

// Formats into a scratch buffer first so that a format that reads from dst
// itself still sees the original text.
template <typename Ch>
int format_bounded(Ch *dst, size_t size, const Ch *format, va_list args) {
    if (size == 0 || dst == nullptr || format == nullptr) return -1;
    if (size > SIZE_MAX / sizeof(Ch)) return -1;
    Ch stack_scratch[kStackScratchBytes / sizeof(Ch)];
    yq::unique_malloc<Ch> heap_scratch;
    Ch *scratch = stack_scratch;
    if (size > std::size(stack_scratch)) {
        heap_scratch.reset(static_cast<Ch *>(yq::sys::malloc(size * sizeof(Ch))));
        if (!heap_scratch) return -1;
        scratch = heap_scratch.get();
    }
    scratch[0] = Ch{};  // a failed platform format leaves an empty text
    int result = platform_format(scratch, size, format, args);
    copy(dst, scratch, size);
    return result;
}

}  // namespace

extern "C" {

size_t Y_strlcpy(char *dst, const char *src, size_t size) noexcept { return copy(dst, src, size); }
size_t Y_wcslcpy(wchar_t *dst, const wchar_t *src, size_t size) noexcept { return copy(dst, src, size); }

size_t Y_strlcat(char *dst, const char *src, size_t size) noexcept { return concat(dst, src, size); }
size_t Y_wcslcat(wchar_t *dst, const wchar_t *src, size_t size) noexcept { return concat(dst, src, size); }

size_t Y_strlncpy(char *dst, const char *src, size_t n, size_t size) noexcept {
    return copy_at_most(dst, src, n, size);
}
size_t Y_wcslncpy(wchar_t *dst, const wchar_t *src, size_t n, size_t size) noexcept {
    return copy_at_most(dst, src, n, size);
}

size_t Y_strlncat(char *dst, const char *src, size_t n, size_t size) noexcept {
    return concat_at_most(dst, src, n, size);
}
size_t Y_wcslncat(wchar_t *dst, const wchar_t *src, size_t n, size_t size) noexcept {
    return concat_at_most(dst, src, n, size);
}

int Y_strverify(const char *buf, size_t n, size_t *pos) noexcept { return verify(buf, n, pos); }
int Y_wstrverify(const wchar_t *buf, size_t n, size_t *pos) noexcept { return verify(buf, n, pos); }

int Y_vsnprintf(char *dst, size_t size, const char *format, va_list args) noexcept {
    return format_bounded(dst, size, format, args);
}
int Y_vsnwprintf(wchar_t *dst, size_t size, const wchar_t *format, va_list args) noexcept {
    return format_bounded(dst, size, format, args);
}

int Y_snprintf(char *dst, size_t size, const char *format, ...) noexcept {
    va_list args;
    va_start(args, format);
    int result = format_bounded(dst, size, format, args);
    va_end(args);
    return result;
}

int Y_snwprintf(wchar_t *dst, size_t size, const wchar_t *format, ...) noexcept {
    va_list args;
    va_start(args, format);
    int result = format_bounded(dst, size, format, args);
    va_end(args);
    return result;
}

void *Y_dumb_realloc(void **p, size_t size) noexcept {
    if (p == nullptr) return nullptr;
    void *grown = yq::sys::realloc(*p, size);
    if (grown == nullptr) {
        // realloc(p, 0) may already have released the block.
        if (*p != nullptr && size != 0) std::free(*p);
        *p = nullptr;
        return nullptr;
    }
    *p = grown;
    return grown;
}

wchar_t *Y_wmemset(wchar_t *s, wchar_t c, size_t n) noexcept {
    for (size_t i = 0; i < n; ++i) s[i] = c;
    return s;
}

wchar_t *Y_wmemchr(const wchar_t *s, wchar_t c, size_t n) noexcept {
    for (size_t i = 0; i < n; ++i)
        if (s[i] == c) return const_cast<wchar_t *>(s + i);
    return nullptr;
}

}  // extern "C"
