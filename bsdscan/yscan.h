// Internals of the self-contained scanf engine behind Y_sscanf: the read-only
// input stream, the engine over it and the 64-bit number parsers it uses.
// Not exported; tests reach it through the static library.
#ifndef YSCAN_H
#define YSCAN_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace yscan {

// A read-only byte stream. Every byte made available so far stays in
// [base, rend), so the engine pushes back what it read by moving rpos back.
// refill is called when rpos reaches rend: it makes more bytes available and
// returns the next one (consuming it), or EOF once the source is exhausted.
struct YFILE {
    const unsigned char *base;
    const unsigned char *rpos;
    const unsigned char *rend;
    int (*refill)(YFILE *);
    bool eof;
};

inline int yf_getc(YFILE *f) { return f->rpos < f->rend ? *f->rpos++ : f->refill(f); }

// Bytes consumed from the stream so far.
inline size_t yf_tell(const YFILE *f) { return static_cast<size_t>(f->rpos - f->base); }

// How far ahead of the reader the string stream looks for the terminating
// NUL at each refill.
inline constexpr size_t kStringChunk = 64;

// Opens a stream over a NUL-terminated string; the end of the string is the
// end of input. The string is examined one chunk at a time, never measured
// as a whole.
void yf_open_string(YFILE *f, const char *str) noexcept;

// The scanf engine: the standard contract over any YFILE.
int yvfscanf(YFILE *f, const char *format, va_list ap) noexcept;

// strtoimax/strtoumax at 64 bits, independent of the C library's versions:
// white space, sign, base 0 and 2..36 with the 0x and 0 prefixes, saturation
// with ERANGE, EINVAL for a bad base.
std::intmax_t __Ystrtoimax(const char *nptr, char **endptr, int base) noexcept;
std::uintmax_t __Ystrtoumax(const char *nptr, char **endptr, int base) noexcept;

}  // namespace yscan

#endif
