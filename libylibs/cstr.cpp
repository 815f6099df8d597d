// String toolkit. Tokens are found by one scanner shared by every token
// function, so GET, NEXT, FIND and the array split can never disagree on
// where a double-quoted literal ends.
#include "cstr.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "cstra.h"
#include "cstrvsa.h"
#include "cstrvsa_private.h"
#include "ystrings.h"
#include "yq_memory.h"
#include "yq_sys.h"

namespace {

constexpr char kQuote = '"';

bool in_set(char c, const char *set) { return c != '\0' && set != nullptr && std::strchr(set, c) != nullptr; }

// New string holding the first n characters at p.
char *dup_range(const char *p, size_t n) {
    auto *copy = static_cast<char *>(yq::sys::malloc(n + 1));
    if (copy != nullptr) Y_strlcpy(copy, p, n + 1);
    return copy;
}

char *dup(std::string_view v) { return dup_range(v.data(), v.size()); }

// Through the next double quote, or to the end when it is never closed. A
// backslash does not protect a quote.
size_t literal_size(const char *s) {
    if (s[0] != kQuote) return 0;
    const char *close = std::strchr(s + 1, kQuote);
    return close != nullptr ? static_cast<size_t>(close - s) + 1 : std::strlen(s);
}

struct Token {
    const char *start;  // first character of the token (or the terminator)
    size_t length;      // 0 at the end of the string
};

// The token at or after p: leading delimiters are skipped; a literal runs
// through its closing quote, anything else up to the next delimiter.
Token next_token(const char *p, const char *delims) {
    if (delims != nullptr) p += std::strspn(p, delims);
    if (*p == kQuote) return {p, literal_size(p)};
    size_t n = 0;
    while (p[n] != '\0' && !in_set(p[n], delims)) ++n;
    return {p, n};
}

// Token `index` (1-based) from p; length 0 when there are fewer tokens.
Token nth_token(const char *p, int index, const char *delims) {
    Token t{p, 0};
    for (int i = 0; i < index; ++i) {
        t = next_token(p, delims);
        if (t.length == 0) break;
        p = t.start + t.length;
    }
    return t;
}

bool needs_enclosing(const char *s) { return s[0] != kQuote && std::strchr(s, ' ') != nullptr; }

bool is_quoted(std::string_view s) { return s.size() >= 2 && s.front() == kQuote && s.back() == kQuote; }

// Keeps one zero of a run of leading zeros unless a digit follows the run:
// "000" -> "0", "007" -> "7", "00a" -> "0a".
std::string_view trim_zeros(std::string_view s) {
    size_t zeros = s.find_first_not_of('0');
    if (zeros == std::string_view::npos) zeros = s.size();
    if (zeros == 0) return s;
    bool digit_follows = zeros < s.size() && std::isdigit(static_cast<unsigned char>(s[zeros]));
    return s.substr(digit_follows ? zeros : zeros - 1);
}

char *without_set(std::string_view s, const char *set) {
    auto *out = static_cast<char *>(yq::sys::malloc(s.size() + 1));
    if (out == nullptr) return nullptr;
    size_t n = 0;
    for (char c : s)
        if (!in_set(c, set)) out[n++] = c;
    out[n] = '\0';
    return out;
}

char *saved_token_position = nullptr;  // strtokwdelim's place, as strtok's

}  // namespace

extern "C" {

int cstrEMPTY(const char *s) noexcept { return s == nullptr || s[0] == '\0' ? 1 : 0; }

char cstrLAST(const char *s) noexcept {
    if (cstrEMPTY(s)) return '\0';
    return s[std::strlen(s) - 1];
}

int cstrMATCH(const char *a, const char *b) noexcept {
    return std::strcmp(a != nullptr ? a : "", b != nullptr ? b : "") == 0 ? 1 : 0;
}

int cstrCOUNTchar(const char *s, char c) noexcept {
    if (s == nullptr || c == '\0') return 0;
    int n = 0;
    for (; *s != '\0'; ++s)
        if (*s == c) ++n;
    return n;
}

int cstrCOUNTchars(const char *s, const char *set) noexcept {
    if (s == nullptr || set == nullptr) return 0;
    int n = 0;
    for (; *s != '\0'; ++s)
        if (in_set(*s, set)) ++n;
    return n;
}

void cstrLOWER(char *s) noexcept {
    if (s == nullptr) return;
    for (; *s != '\0'; ++s) *s = static_cast<char>(std::tolower(static_cast<unsigned char>(*s)));
}

void cstrUPPER(char *s) noexcept {
    if (s == nullptr) return;
    for (; *s != '\0'; ++s) *s = static_cast<char>(std::toupper(static_cast<unsigned char>(*s)));
}

void stripdelims(char *s, char delim) noexcept {
    if (s == nullptr || delim == '\0' || s[0] != delim) return;
    size_t len = std::strlen(s);
    if (s[len - 1] != delim) return;
    if (len <= 2) {
        s[0] = '\0';
        return;
    }
    std::memmove(s, s + 1, len - 2);
    s[len - 2] = '\0';
}

char *strchrwdelim(const char *s, char c, char q) noexcept {
    if (s == nullptr || c == '\0') return nullptr;
    for (const char *p = s;;) {
        const char *hit = std::strchr(p, c);
        if (hit == nullptr) return nullptr;
        const char *open = q != '\0' ? std::strchr(p, q) : nullptr;
        if (open == nullptr || open >= hit) return const_cast<char *>(hit);
        const char *close = std::strchr(open + 1, q);
        if (close == nullptr || hit > close) return const_cast<char *>(hit);
        // The hit lies inside the quoted section: look again after it.
        p = close + 1;
    }
}

char *strtokwdelim(char *s, char delim, char q) noexcept {
    if (s == nullptr) s = saved_token_position;
    if (s == nullptr) return nullptr;
    while (delim != '\0' && *s == delim) ++s;
    char *end = strchrwdelim(s, delim, q);
    if (end != nullptr) {
        *end = '\0';
        saved_token_position = end + 1;
    } else {
        saved_token_position = nullptr;
    }
    return s;
}

char *cstrTRIM(const char *s, int mode, const char *set) noexcept {
    if (s == nullptr || mode < CSTR_TRIM_LEADING || mode > CSTR_TRIM_ZEROS) return nullptr;
    std::string_view v(s);
    if (mode == CSTR_TRIM_ZEROS) return dup(trim_zeros(v));
    if (set == nullptr || set[0] == '\0' || v.empty()) return dup(v);
    if (mode == CSTR_TRIM_ALL) return without_set(v, set);
    if (mode == CSTR_TRIM_LEADING || mode == CSTR_TRIM_BOTH) {
        size_t first = v.find_first_not_of(set);
        v.remove_prefix(first == std::string_view::npos ? v.size() : first);
    }
    if (mode == CSTR_TRIM_TRAILING || mode == CSTR_TRIM_BOTH) {
        size_t last = v.find_last_not_of(set);
        v = v.substr(0, last == std::string_view::npos ? 0 : last + 1);
    }
    return dup(v);
}

char *cstrTRIMcstr(const char *s, int mode, const char *suffix) noexcept {
    if (s == nullptr || mode != CSTR_TRIM_TRAILING) return nullptr;
    std::string_view v(s);
    std::string_view tail(suffix != nullptr ? suffix : "");
    if (!tail.empty())
        while (v.size() > tail.size() && v.ends_with(tail)) v.remove_suffix(tail.size());
    return dup(v);
}

char *cstrTokenGET(const char *s, int index, const char *delims) noexcept {
    if (s == nullptr || index < 0) return nullptr;
    Token found{s, 0};
    if (index == 0) {
        for (Token t = next_token(s, delims); t.length != 0; t = next_token(t.start + t.length, delims))
            found = t;
    } else {
        found = nth_token(s, index, delims);
    }
    return found.length != 0 ? dup_range(found.start, found.length) : nullptr;
}

char *cstrTokenNEXT(char **cursor, const char *delims) noexcept {
    if (cursor == nullptr || *cursor == nullptr) return nullptr;
    Token t = next_token(*cursor, delims);
    if (t.length == 0) {
        *cursor = const_cast<char *>(t.start);
        return nullptr;
    }
    char *copy = dup_range(t.start, t.length);
    if (copy != nullptr) *cursor = const_cast<char *>(t.start + t.length);
    return copy;
}

int cstrTokenFIND(char **cursor, int index, const char *delims) noexcept {
    if (cursor == nullptr || *cursor == nullptr || index < 1) return 0;
    Token t = nth_token(*cursor, index, delims);
    if (t.length == 0) return 0;
    *cursor = const_cast<char *>(t.start);
    return static_cast<int>(t.length);
}

char *cstrTokenOBTAIN(const char *s, int index, const char *delim) noexcept {
    if (s == nullptr || delim == nullptr || delim[0] == '\0' || index < 1) return nullptr;
    std::string_view rest(s);
    std::string_view sep(delim);
    for (int i = 1; i < index; ++i) {
        size_t at = rest.find(sep);
        if (at == std::string_view::npos) return nullptr;
        rest.remove_prefix(at + sep.size());
    }
    std::string_view field = rest.substr(0, rest.find(sep));
    return field.empty() ? nullptr : dup(field);
}

char **cstrTOcstra(const char *s, const char *delims) noexcept {
    if (s == nullptr) return nullptr;
    yq::cstrvsa::OwningHandle h(cstrvsaNEW(0, -1));
    if (!h) return nullptr;
    for (Token t = next_token(s, delims); t.length != 0; t = next_token(t.start + t.length, delims))
        if (!yq::cstrvsa::append_copy(h.get(), t.start, t.length)) return nullptr;
    return cstrvsaDETACH(h.release());
}

int cstrLiteralSIZE(const char *s) noexcept { return s != nullptr ? static_cast<int>(literal_size(s)) : 0; }

char *cstrDQuotesSTRIP(const char *s) noexcept {
    if (s == nullptr || !is_quoted(s)) return nullptr;
    std::string_view v(s);
    return dup(v.substr(1, v.size() - 2));
}

char *cstrDQuotesUNCHECK(const char *s) noexcept {
    if (s == nullptr) return nullptr;
    return is_quoted(s) ? cstrDQuotesSTRIP(s) : dup(s);
}

char *cstrDQuotesENCLOSE(const char *s) noexcept {
    if (s == nullptr || !needs_enclosing(s)) return nullptr;
    size_t size = std::strlen(s) + 3;
    yq::unique_malloc<char> out(static_cast<char *>(yq::sys::malloc(size)));
    if (!out || Y_snprintf(out.get(), size, "\"%s\"", s) < 0) return nullptr;
    return out.release();
}

char *cstrDQuotesCHECK(const char *s) noexcept {
    if (s == nullptr) return nullptr;
    return needs_enclosing(s) ? cstrDQuotesENCLOSE(s) : dup(s);
}

}  // extern "C"
