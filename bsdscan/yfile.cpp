// The in-memory string stream the scan engine reads from. It never touches
// a stdio stream and never measures the whole string: each refill looks for
// the terminating NUL only within the next chunk.
#include "yscan.h"

namespace yscan {
namespace {

int string_refill(YFILE *f) {
    if (f->eof) return EOF;
    // The window always ends where the string has been examined up to, so
    // the next chunk starts at rend.
    const unsigned char *next = f->rend;
    size_t n = 0;
    while (n < kStringChunk && next[n] != 0) ++n;
    if (n == 0) {
        f->eof = true;
        return EOF;
    }
    f->rend = next + n;
    return *f->rpos++;
}

}  // namespace

void yf_open_string(YFILE *f, const char *str) noexcept {
    static const char empty[] = "";
    const auto *s = reinterpret_cast<const unsigned char *>(str != nullptr ? str : empty);
    f->base = s;
    f->rpos = s;
    f->rend = s;
    f->refill = string_refill;
    f->eof = false;
}

}  // namespace yscan
