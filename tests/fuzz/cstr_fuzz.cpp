// Token functions agree with one another and trims keep their promises on
// any input: one byte n, n % 8 delimiter bytes, the string (each ends at 0).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "cstr.h"
#include "cstra.h"
#include "yq_memory.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

bool in_set(char c, const std::string &set) { return c != '\0' && set.find(c) != std::string::npos; }

std::string take(char *s) { return s != nullptr ? yq::unique_malloc<char>(s).get() : "(null)"; }

// GET and FIND walk from the start to the token asked for, so asking for
// every token of a long input costs its length times its token count: they
// are asked for the first and the last few, NEXT for every one.
constexpr int kEnds = 16;

// The split, GET, NEXT and FIND see the same tokens; a literal runs through
// its closing quote or to the end, anything else holds no delimiter.
void tokens(const std::string &s, const std::string &delims) {
    const char *d = delims.c_str();
    char **all = cstrTOcstra(s.c_str(), d);
    const int n = cstraCOUNT(all);
    std::string copy = s;
    char *cursor = copy.data();
    for (int i = 0; i < n; ++i) {
        const std::string t = all[i];
        if (t[0] == '"') {
            check(t.find('"', 1) >= t.size() - 1 && static_cast<int>(t.size()) == cstrLiteralSIZE(t.c_str()));
        } else {
            for (char c : t) check(!in_set(c, delims));
        }
        check(take(cstrTokenNEXT(&cursor, d)) == t);
        check(std::strncmp(cursor - t.size(), all[i], t.size()) == 0);  // just after the token
        if (i >= kEnds && i < n - kEnds) continue;
        check(take(cstrTokenGET(s.c_str(), i + 1, d)) == t);
        char *at = copy.data();
        check(cstrTokenFIND(&at, i + 1, d) == static_cast<int>(t.size()) && std::strncmp(at, all[i], t.size()) == 0);
    }
    char *at = copy.data();
    check(cstrTokenFIND(&at, n + 1, d) == 0 && at == copy.data());
    check(take(cstrTokenGET(s.c_str(), n + 1, d)) == "(null)");
    check(take(cstrTokenGET(s.c_str(), 0, d)) == (n == 0 ? "(null)" : all[n - 1]));
    check(take(cstrTokenNEXT(&cursor, d)) == "(null)" && *cursor == '\0');
    cstraFREE(all);
    for (int i = 0; i <= 3; ++i) take(cstrTokenOBTAIN(s.c_str(), i, d));
}

void trims(const std::string &in, const std::string &delims) {
    // Leading and trailing trims leave a suffix and a prefix that do not
    // start or end with a delimiter; removing all leaves none.
    const std::string lead = take(cstrTRIM(in.c_str(), 0, delims.c_str()));
    const std::string tail = take(cstrTRIM(in.c_str(), 1, delims.c_str()));
    const std::string all = take(cstrTRIM(in.c_str(), 2, delims.c_str()));
    check(in.ends_with(lead) && (lead.empty() || !in_set(lead.front(), delims)));
    check(in.starts_with(tail) && (tail.empty() || !in_set(tail.back(), delims)));
    check(std::none_of(all.begin(), all.end(), [&](char c) { return in_set(c, delims); }));
    check(take(cstrTRIM(in.c_str(), 3, delims.c_str())) == take(cstrTRIM(lead.c_str(), 1, delims.c_str())));
    check(in.ends_with(take(cstrTRIM(in.c_str(), 4, nullptr))));
    take(cstrTRIMcstr(in.c_str(), 1, delims.c_str()));
    take(cstrDQuotesCHECK(in.c_str()));
    take(cstrDQuotesUNCHECK(in.c_str()));
    std::string buf = in;
    const char delim = delims.empty() ? ' ' : delims[0];
    for (char *t = strtokwdelim(buf.data(), delim, '"'); t != nullptr; t = strtokwdelim(nullptr, delim, '"'))
        check(t >= buf.data() && t <= buf.data() + buf.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    size_t n = data[0] % 8;
    if (n > size - 1) n = size - 1;
    const char *bytes = reinterpret_cast<const char *>(data + 1);
    const std::string delims = std::string(bytes, n).c_str(), text = std::string(bytes + n, size - 1 - n).c_str();
    tokens(text, delims);
    trims(text, delims);
    return 0;
}
