// Feeds arbitrary text and delimiter sets through the tokenizers and trims,
// and checks that the token functions agree with one another. Input: one
// byte n, then n % 8 delimiter bytes, then the string (both end at a 0 byte).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cstr.h"
#include "cstra.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

bool in_set(char c, const std::string &set) { return c != '\0' && set.find(c) != std::string::npos; }

void tokens(const char *s, const std::string &delims) {
    const char *d = delims.c_str();
    char **all = cstrTOcstra(s, d);
    check(all != nullptr);
    int n = cstraCOUNT(all);
    for (int i = 0; i < n; ++i) {
        std::string t = all[i];
        check(!t.empty());
        if (t[0] == '"') {
            // A literal runs through its closing quote, or to the end.
            size_t close = t.find('"', 1);
            check(close == std::string::npos || close == t.size() - 1);
            check(static_cast<int>(t.size()) == cstrLiteralSIZE(t.c_str()));
        } else {
            for (char c : t) check(!in_set(c, delims));
        }
        char *got = cstrTokenGET(s, i + 1, d);
        check(got != nullptr && t == got);
        std::free(got);
    }
    char *past = cstrTokenGET(s, n + 1, d);
    check(past == nullptr);
    char *last = cstrTokenGET(s, 0, d);
    check(n == 0 ? last == nullptr : (last != nullptr && std::strcmp(last, all[n - 1]) == 0));
    std::free(last);

    // NEXT walks the same tokens; FIND from the start finds each of them.
    std::string copy = s;
    char *cursor = copy.data();
    for (int i = 0; i < n; ++i) {
        char *next = cstrTokenNEXT(&cursor, d);
        check(next != nullptr && std::strcmp(next, all[i]) == 0);
        std::free(next);
        char *at = copy.data();
        int len = cstrTokenFIND(&at, i + 1, d);
        check(len == static_cast<int>(std::strlen(all[i])) && std::strncmp(at, all[i], len) == 0);
    }
    check(cstrTokenNEXT(&cursor, d) == nullptr);
    check(*cursor == '\0');
    cstraFREE(all);

    for (int i = 0; i <= 3; ++i) std::free(cstrTokenOBTAIN(s, i, d));
}

void trims(const char *s, const std::string &delims) {
    const char *d = delims.c_str();
    std::string in = s;
    for (int mode = 0; mode <= 4; ++mode) {
        char *out = cstrTRIM(s, mode, d);
        check(out != nullptr);
        std::string r = out;
        std::free(out);
        check(r.size() <= in.size());
        if (mode == 2)
            for (char c : r) check(!in_set(c, delims));
        if ((mode == 0 || mode == 3) && !r.empty()) check(!in_set(r.front(), delims));
        if ((mode == 1 || mode == 3) && !r.empty()) check(!in_set(r.back(), delims));
        if (mode == 0 || mode == 4) check(in.ends_with(r));
        if (mode == 1) check(in.starts_with(r));
    }
    std::free(cstrTRIMcstr(s, 1, d));
    std::free(cstrDQuotesCHECK(s));
    std::free(cstrDQuotesUNCHECK(s));
}

void strtok_walk(const char *s, char delim) {
    std::string buf = s;
    const char *begin = buf.data();
    const char *end = begin + buf.size();
    for (char *t = strtokwdelim(buf.data(), delim, '"'); t != nullptr; t = strtokwdelim(nullptr, delim, '"'))
        check(t >= begin && t <= end);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    size_t n = data[0] % 8;
    if (n > size - 1) n = size - 1;
    std::string delims(reinterpret_cast<const char *>(data + 1), n);
    std::string text(reinterpret_cast<const char *>(data + 1 + n), size - 1 - n);
    delims = delims.c_str();  // each ends at its first 0 byte
    text = text.c_str();

    tokens(text.c_str(), delims);
    trims(text.c_str(), delims);
    strtok_walk(text.c_str(), delims.empty() ? ' ' : delims[0]);
    return 0;
}
