// The scan engine behind Y_sscanf. It walks the format once and reads the
// input through a cursor whose field width is a read limit: a conversion
// simply reads until the cursor says EOF, so none of them counts characters.
// Number tokens are recognised here and converted by __Ystrtoimax,
// __Ystrtoumax and strtod, so the digits are parsed in one place.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <type_traits>

#include "misc.h"
#include "yq_sys.h"
#include "yscan.h"
#include "yq_memory.h"

namespace yscan {
namespace {

constexpr size_t kNoLimit = SIZE_MAX;

bool is_space(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool is_digit(int c) { return c >= '0' && c <= '9'; }

unsigned digit_value(int c) {
    if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
    if (c >= 'a' && c <= 'z') return static_cast<unsigned>(c - 'a' + 10);
    if (c >= 'A' && c <= 'Z') return static_cast<unsigned>(c - 'A' + 10);
    return 36;
}

// Case-insensitive match of c against a lower-case letter; false for EOF.
bool is_letter(int c, char lower) { return c != EOF && (c | 0x20) == lower; }

enum class Size { hh, h, none, l, ll, j, t, z, L };

// How a directive ended: go on, a matching failure (or a format the engine
// does not accept), or the input ran out.
enum class Outcome { ok, mismatch, input };

// Reads the stream under an optional field limit.
class Cursor {
public:
    explicit Cursor(YFILE *f) : f_(f) {}

    size_t count() const { return yf_tell(f_); }
    const unsigned char *pos() const { return f_->rpos; }

    // Limits reading to `width` more bytes; 0 means no limit.
    void limit(size_t width) {
        size_t here = count();
        end_ = (width == 0 || width > kNoLimit - here) ? kNoLimit : here + width;
    }
    void unlimit() { end_ = kNoLimit; }

    int get() { return count() < end_ ? yf_getc(f_) : EOF; }
    // True while the field limit allows another byte.
    bool room() const { return count() < end_; }
    void unget(int c) {
        if (c != EOF) --f_->rpos;
    }

    // Skips white space; false when the input ended first.
    bool skip_space() {
        int c;
        do c = get();
        while (is_space(c));
        unget(c);
        return c != EOF;
    }

    // Reads the letters of `word` case-insensitively; false at the first
    // character that differs or is missing.
    bool expect(const char *word) {
        for (; *word != '\0'; ++word)
            if (!is_letter(get(), *word)) return false;
        return true;
    }

private:
    YFILE *f_;
    size_t end_ = kNoLimit;
};

// Copy of a token with a terminating NUL, on the stack when it is short.
class TokenBuffer {
public:
    bool assign(const unsigned char *begin, size_t len) {
        char *dst = small_;
        if (len >= sizeof small_) {
            heap_.reset(static_cast<char *>(yq::sys::malloc(len + 1)));
            if (!heap_) return false;
            dst = heap_.get();
        }
        std::memcpy(dst, begin, len);
        dst[len] = '\0';
        data_ = dst;
        return true;
    }
    const char *c_str() const { return data_; }

private:
    char small_[128];
    yq::unique_malloc<char> heap_;
    const char *data_ = small_;
};

// Membership table of a scan set.
struct ScanSet {
    bool member[256];
};

// Parses the scan set that follows "[" in the format; returns the position
// after its closing "]", or null when the set is not closed.
const unsigned char *parse_set(const unsigned char *p, ScanSet &set) {
    bool listed[256] = {};
    const bool negated = *p == '^';
    if (negated) ++p;
    int prev = -1;  // last listed character, the start of a possible range
    if (*p == ']') {
        listed[static_cast<unsigned char>(']')] = true;
        prev = ']';
        ++p;
    }
    for (;; ++p) {
        int c = *p;
        if (c == '\0') return nullptr;
        if (c == ']') break;
        // "a-z" is a range; a "-" first, last or before a smaller character
        // stands for itself. The end of a range may start the next one, so
        // "a-c-e" covers a through e.
        if (c == '-' && prev >= 0 && p[1] != ']' && p[1] != '\0' && p[1] >= prev) {
            int hi = *++p;
            for (int x = prev; x <= hi; ++x) listed[x] = true;
            prev = hi;
            continue;
        }
        listed[c] = true;
        prev = c;
    }
    for (int i = 0; i < 256; ++i) set.member[i] = listed[i] != negated;
    return p + 1;
}

class Scanner {
public:
    Scanner(YFILE *f, va_list ap) : in_(f) { va_copy(ap_, ap); }
    ~Scanner() { va_end(ap_); }
    Scanner(const Scanner &) = delete;
    Scanner &operator=(const Scanner &) = delete;

    int run(const unsigned char *fmt);

private:
    struct Directive {
        bool suppress = false;
        size_t width = 0;  // 0: none given
        Size size = Size::none;
        int conv = 0;
    };

    Outcome convert(const unsigned char *&fmt, const Directive &dir);
    Outcome literal(int ch);
    Outcome integer(const Directive &dir);
    Outcome null_pointer(const Directive &dir);
    Outcome floating(const Directive &dir);
    Outcome chars(const Directive &dir);
    Outcome word(const Directive &dir);
    Outcome set(const Directive &dir, const ScanSet &set);
    Outcome wide(const Directive &dir);
    Outcome wide_set(const Directive &dir, const ScanSet &set);
    int get_wide(wchar_t *wc);

    template <typename S>
    void put(bool is_signed, std::uint64_t v);
    void store_integer(Size size, bool is_signed, std::uint64_t v);
    void converted(bool suppress) {
        ++conversions_;
        if (!suppress) ++assigned_;
    }
    int finish(Outcome o) const { return (o == Outcome::input && conversions_ == 0) ? EOF : assigned_; }

    Cursor in_;
    va_list ap_;
    int assigned_ = 0;
    // Completed conversions, suppressed ones included: running out of input
    // after one of them is no longer "before the first conversion".
    int conversions_ = 0;
};

int Scanner::run(const unsigned char *fmt) {
    while (*fmt != '\0') {
        if (is_space(*fmt)) {
            while (is_space(*fmt)) ++fmt;
            in_.skip_space();
            continue;
        }
        if (*fmt != '%') {
            Outcome o = literal(*fmt++);
            if (o != Outcome::ok) return finish(o);
            continue;
        }
        ++fmt;
        Directive dir;
        if (*fmt == '*') {
            dir.suppress = true;
            ++fmt;
        }
        for (; is_digit(*fmt); ++fmt) {
            size_t d = static_cast<size_t>(*fmt - '0');
            dir.width = dir.width > (kNoLimit - d) / 10 ? kNoLimit : dir.width * 10 + d;
        }
        switch (*fmt) {
            case 'h':
                dir.size = fmt[1] == 'h' ? Size::hh : Size::h;
                fmt += dir.size == Size::hh ? 2 : 1;
                break;
            case 'l':
                dir.size = fmt[1] == 'l' ? Size::ll : Size::l;
                fmt += dir.size == Size::ll ? 2 : 1;
                break;
            case 'q': dir.size = Size::ll; ++fmt; break;
            case 'j': dir.size = Size::j; ++fmt; break;
            case 't': dir.size = Size::t; ++fmt; break;
            case 'z': dir.size = Size::z; ++fmt; break;
            case 'L': dir.size = Size::L; ++fmt; break;
            default: break;
        }
        dir.conv = *fmt++;
        Outcome o = convert(fmt, dir);
        if (o != Outcome::ok) return finish(o);
    }
    return assigned_;
}

Outcome Scanner::convert(const unsigned char *&fmt, const Directive &dir) {
    switch (dir.conv) {
        case 'd': case 'i': case 'o': case 'u': case 'x': case 'X': case 'p':
            return integer(dir);
        case 'D': case 'O': {
            Directive lng = dir;
            lng.size = Size::l;
            lng.conv = dir.conv == 'D' ? 'd' : 'o';
            return integer(lng);
        }
        // F, a and A are not conversions here: like any other unknown
        // letter they end the scan.
        case 'e': case 'E': case 'f': case 'g': case 'G':
            return floating(dir);
        // Only l makes these wide. The other sizes mean nothing here and are
        // ignored, so a stray one never writes wide characters into a char
        // buffer.
        case 'c':
            return dir.size == Size::l ? wide(dir) : chars(dir);
        case 's':
            return dir.size == Size::l ? wide(dir) : word(dir);
        case '[': {
            ScanSet scan_set;
            const unsigned char *after = parse_set(fmt, scan_set);
            if (after == nullptr) return Outcome::mismatch;
            fmt = after;
            return dir.size == Size::l ? wide_set(dir, scan_set) : set(dir, scan_set);
        }
        case 'n':
            if (!dir.suppress) store_integer(dir.size, true, in_.count());
            return Outcome::ok;
        case '%':
            // A directive like the others: white space before it is
            // skipped. A width or "*" in between changes nothing.
            if (!in_.skip_space()) return Outcome::input;
            return literal('%');
        default:
            // Includes the end of the format right after "%".
            return Outcome::mismatch;
    }
}

Outcome Scanner::literal(int ch) {
    int c = in_.get();
    if (c == EOF) return Outcome::input;
    if (c != ch) {
        in_.unget(c);
        return Outcome::mismatch;
    }
    return Outcome::ok;
}

template <typename S>
void Scanner::put(bool is_signed, std::uint64_t v) {
    // Narrowing keeps the low-order bits, as a conversion to the
    // destination type does.
    using U = std::make_unsigned_t<S>;
    if (is_signed)
        *va_arg(ap_, S *) = static_cast<S>(v);
    else
        *va_arg(ap_, U *) = static_cast<U>(v);
}

void Scanner::store_integer(Size size, bool is_signed, std::uint64_t v) {
    switch (size) {
        case Size::hh: put<signed char>(is_signed, v); break;
        case Size::h: put<short>(is_signed, v); break;
        case Size::none: put<int>(is_signed, v); break;
        case Size::l: put<long>(is_signed, v); break;
        case Size::ll:
        case Size::L: put<long long>(is_signed, v); break;
        case Size::j: put<std::intmax_t>(is_signed, v); break;
        case Size::t: put<std::ptrdiff_t>(is_signed, v); break;
        case Size::z: put<std::make_signed_t<size_t>>(is_signed, v); break;
    }
}

Outcome Scanner::integer(const Directive &dir) {
    if (!in_.skip_space()) return Outcome::input;
    if (dir.conv == 'p') {
        int c = in_.get();
        in_.unget(c);
        // The platform prints a null pointer as "(nil)"; read it back.
        if (c == '(') return null_pointer(dir);
    }
    int base = 10;
    switch (dir.conv) {
        case 'i': base = 0; break;
        case 'o': base = 8; break;
        case 'x': case 'X': case 'p': base = 16; break;
        default: break;
    }
    const bool is_signed = dir.conv == 'd' || dir.conv == 'i';

    // The digits are copied without leading zeros and cut after more
    // significant digits than any 64-bit value has, so the copy stays small
    // and still overflows exactly when the input does.
    constexpr size_t kMaxSignificant = 66;
    char digits[kMaxSignificant + 3];
    size_t n = 0;
    size_t significant = 0;
    bool any_digit = false;

    in_.limit(dir.width);
    int c = in_.get();
    if (c == '-' || c == '+') {
        digits[n++] = static_cast<char>(c);
        c = in_.get();
    }
    if (c == '0' && (base == 0 || base == 16)) {
        any_digit = true;
        c = in_.get();
        if (c == 'x' || c == 'X') {
            base = 16;
            c = in_.get();
        } else if (base == 0) {
            base = 8;
        }
    } else if (base == 0) {
        base = 10;
    }
    for (; c != EOF && digit_value(c) < static_cast<unsigned>(base); c = in_.get()) {
        any_digit = true;
        if (significant == 0 && c == '0') continue;
        if (significant < kMaxSignificant) {
            digits[n++] = static_cast<char>(c);
            ++significant;
        }
    }
    in_.unget(c);
    in_.unlimit();
    // A sign alone, or nothing at all, is not a number. "0x" without hex
    // digits reads as 0.
    if (!any_digit) return Outcome::mismatch;
    if (significant == 0) digits[n++] = '0';
    digits[n] = '\0';

    if (!dir.suppress) {
        // An overflow saturates at 64 bits and leaves ERANGE in errno, as
        // the conversion functions do.
        std::uint64_t v = is_signed ? static_cast<std::uint64_t>(__Ystrtoimax(digits, nullptr, base))
                                    : __Ystrtoumax(digits, nullptr, base);
        if (dir.conv == 'p')
            *va_arg(ap_, void **) = reinterpret_cast<void *>(static_cast<std::uintptr_t>(v));
        else
            store_integer(dir.size, is_signed, v);
    }
    converted(dir.suppress);
    return Outcome::ok;
}

Outcome Scanner::null_pointer(const Directive &dir) {
    in_.limit(dir.width);
    bool ok = in_.get() == '(' && in_.expect("nil") && in_.get() == ')';
    in_.unlimit();
    if (!ok) return Outcome::mismatch;
    if (!dir.suppress) *va_arg(ap_, void **) = nullptr;
    converted(dir.suppress);
    return Outcome::ok;
}

Outcome Scanner::floating(const Directive &dir) {
    if (!in_.skip_space()) return Outcome::input;
    const unsigned char *start = in_.pos();
    in_.limit(dir.width);

    int c = in_.get();
    size_t sign = 0;
    if (c == '-' || c == '+') {
        sign = 1;
        c = in_.get();
    }
    bool hex = false;
    if (is_letter(c, 'i')) {
        // "inf", or "infinity" once its sixth letter has been seen.
        if (!in_.expect("nf")) return Outcome::mismatch;
        c = in_.get();
        if (is_letter(c, 'i')) {
            if (!in_.expect("nity")) return Outcome::mismatch;
        } else {
            in_.unget(c);
        }
    } else if (is_letter(c, 'n')) {
        if (!in_.expect("an")) return Outcome::mismatch;
    } else {
        bool digit = false;  // a mantissa digit: an exponent may follow
        bool dot = false;
        bool exp = false;
        int prev = 0;
        if (c == '0') {
            digit = true;
            prev = c;
            c = in_.get();
            // "0x" is a hex prefix only when the field has room for more
            // after it; an "x" that fills the field ends the number "0".
            if ((c == 'x' || c == 'X') && !in_.room()) {
                in_.unget(c);
                c = EOF;
            } else if (c == 'x' || c == 'X') {
                // The 0 of "0x" is part of the prefix, not a digit.
                hex = true;
                digit = false;
                prev = c;
                c = in_.get();
            }
        }
        const int exp_char = hex ? 'p' : 'e';
        for (;; prev = c, c = in_.get()) {
            if (is_digit(c) || (hex && !exp && digit_value(c) < 16)) {
                digit = true;
            } else if (exp && (c == '-' || c == '+') && (prev | 0x20) == exp_char) {
                // sign of the exponent
            } else if (digit && !exp && is_letter(c, static_cast<char>(exp_char))) {
                exp = true;
                dot = true;
            } else if (c == '.' && !dot) {
                dot = true;
            } else {
                break;
            }
        }
        in_.unget(c);
    }
    in_.unlimit();

    const size_t len = static_cast<size_t>(in_.pos() - start);
    // Nothing but a sign, or a "0x" prefix with nothing after it, is not a
    // number.
    if (len == sign || (hex && len == sign + 2)) return Outcome::mismatch;

    TokenBuffer token;
    if (!token.assign(start, len)) return Outcome::mismatch;
    const char *text = token.c_str();
    char *end = nullptr;
    // The token is the longest prefix that can begin a number; its value
    // is whatever of it strtod accepts ("1e+" reads as 1). Every size reads
    // a double, then stores it as its destination type: l is double, ll (q)
    // and L are long double, any other size is float like none, so nothing
    // wider than asked for is stored.
    const double v = std::strtod(text, &end);
    if (end != text && !dir.suppress) {
        switch (dir.size) {
            case Size::l: *va_arg(ap_, double *) = v; break;
            case Size::ll:
            case Size::L: *va_arg(ap_, long double *) = v; break;
            default: *va_arg(ap_, float *) = static_cast<float>(v); break;
        }
    }
    if (end == text) return Outcome::mismatch;
    converted(dir.suppress);
    return Outcome::ok;
}

Outcome Scanner::chars(const Directive &dir) {
    char *dst = dir.suppress ? nullptr : va_arg(ap_, char *);
    in_.limit(dir.width == 0 ? 1 : dir.width);
    size_t n = 0;
    for (int c; (c = in_.get()) != EOF; ++n)
        if (dst != nullptr) dst[n] = static_cast<char>(c);
    in_.unlimit();
    // A shorter field at the end of the input is still a field.
    if (n == 0) return Outcome::input;
    converted(dir.suppress);
    return Outcome::ok;
}

Outcome Scanner::word(const Directive &dir) {
    if (!in_.skip_space()) return Outcome::input;
    char *dst = dir.suppress ? nullptr : va_arg(ap_, char *);
    in_.limit(dir.width);
    size_t n = 0;
    int c;
    for (; (c = in_.get()) != EOF && !is_space(c); ++n)
        if (dst != nullptr) dst[n] = static_cast<char>(c);
    in_.unget(c);
    in_.unlimit();
    if (dst != nullptr) dst[n] = '\0';
    converted(dir.suppress);
    return Outcome::ok;
}

Outcome Scanner::set(const Directive &dir, const ScanSet &scan_set) {
    char *dst = dir.suppress ? nullptr : va_arg(ap_, char *);
    in_.limit(dir.width);
    size_t n = 0;
    int c;
    for (; (c = in_.get()) != EOF && scan_set.member[c]; ++n)
        if (dst != nullptr) dst[n] = static_cast<char>(c);
    in_.unget(c);
    in_.unlimit();
    // The field limit is at least 1, so an EOF before the first character
    // is the end of the input.
    if (n == 0) return c == EOF ? Outcome::input : Outcome::mismatch;
    if (dst != nullptr) dst[n] = '\0';
    converted(dir.suppress);
    return Outcome::ok;
}

// Decodes the next multibyte character; returns its length in bytes, 0 at
// the end of the input, -1 for an invalid or cut-off sequence.
int Scanner::get_wide(wchar_t *wc) {
    std::mbstate_t state{};
    int used = 0;
    for (;;) {
        int c = in_.get();
        if (c == EOF) return used == 0 ? 0 : -1;
        ++used;
        char byte = static_cast<char>(c);
        size_t r = std::mbrtowc(wc, &byte, 1, &state);
        if (r == static_cast<size_t>(-2)) continue;
        if (r == static_cast<size_t>(-1)) return -1;
        return used;
    }
}

// %lc and %ls: the input is multibyte text, the width counts characters
// and the destination gets wide characters. As with %s, white space is
// recognised byte by byte.
Outcome Scanner::wide(const Directive &dir) {
    const bool is_char = dir.conv == 'c';
    if (!is_char && !in_.skip_space()) return Outcome::input;
    wchar_t *dst = dir.suppress ? nullptr : va_arg(ap_, wchar_t *);
    const size_t width = dir.width == 0 ? (is_char ? 1 : kNoLimit) : dir.width;
    size_t n = 0;
    while (n < width) {
        if (!is_char) {
            int c = in_.get();
            in_.unget(c);
            if (c == EOF || is_space(c)) break;
        }
        wchar_t wc = 0;
        int len = get_wide(&wc);
        if (len < 0) return Outcome::mismatch;
        if (len == 0) break;
        if (dst != nullptr) dst[n] = wc;
        ++n;
    }
    if (n == 0) return Outcome::input;  // only %lc can get here: at the end
    if (dst != nullptr && !is_char) dst[n] = L'\0';
    converted(dir.suppress);
    return Outcome::ok;
}

// %l[: membership is decided byte by byte, the accepted bytes are decoded
// into wide characters as they come, and the width counts characters.
Outcome Scanner::wide_set(const Directive &dir, const ScanSet &scan_set) {
    wchar_t *dst = dir.suppress ? nullptr : va_arg(ap_, wchar_t *);
    const size_t width = dir.width == 0 ? kNoLimit : dir.width;
    std::mbstate_t state{};
    size_t n = 0;
    size_t bytes = 0;
    bool pending = false;
    int c = EOF;
    while (n < width) {
        c = in_.get();
        if (c == EOF || !scan_set.member[c]) {
            in_.unget(c);
            break;
        }
        ++bytes;
        wchar_t wc = 0;
        char byte = static_cast<char>(c);
        size_t r = std::mbrtowc(&wc, &byte, 1, &state);
        pending = r == static_cast<size_t>(-2);
        if (pending) continue;
        if (r == static_cast<size_t>(-1)) return Outcome::mismatch;
        if (dst != nullptr) dst[n] = wc;
        ++n;
    }
    if (pending) return Outcome::mismatch;  // a character cut off
    if (bytes == 0) return c == EOF ? Outcome::input : Outcome::mismatch;
    if (dst != nullptr) dst[n] = L'\0';
    converted(dir.suppress);
    return Outcome::ok;
}

}  // namespace

int yvfscanf(YFILE *f, const char *format, va_list ap) noexcept {
    if (format == nullptr) return 0;
    Scanner scanner(f, ap);
    return scanner.run(reinterpret_cast<const unsigned char *>(format));
}

}  // namespace yscan

extern "C" int Y_sscanf(const char *str, const char *format, ...) noexcept {
    yscan::YFILE f;
    yscan::yf_open_string(&f, str);
    va_list ap;
    va_start(ap, format);
    int r = yscan::yvfscanf(&f, format, ap);
    va_end(ap);
    return r;
}
