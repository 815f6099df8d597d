// Fuzzes the catalog parsers, picked by the first byte: locale definition
// lines, a catalog file read from memory, text escapes under C and UTF-8, or a
// catalog text against fixed built-in formats (formatted with their arguments
// when it fits, so a wrong "fits" reads what was never passed).
#include <clocale>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "kdmsg.h"
#include "kdmsg_private.h"
#include "ystrings.h"

using namespace yq::kdmsg;

namespace {

void check(bool ok) { if (!ok) std::abort(); }

void fuzzDefinitions(const char *data, size_t size) {
    std::string_view rest(data, size);
    while (!rest.empty()) {
        // As the file reader hands them over: newline included, at most 99.
        const size_t n = std::min(std::min(rest.find('\n'), rest.size() - 1) + 1, kConfLineSize - 1);
        const std::string_view line = rest.substr(0, n);
        rest.remove_prefix(n);
        LocaleLine parsed;
        if (!parseLocaleLine(line, parsed)) continue;
        check(parsed.type == 'M' || parsed.type == 'L');
        for (std::string_view name : {parsed.sysname, parsed.common}) {
            check(!name.empty() && name.size() < kConfLineSize);
            check(name.data() >= line.data() && name.data() + name.size() <= line.data() + line.size());
            check(name.find('\n') == std::string_view::npos);
        }
    }
}

void fuzzCatalog(const char *data, size_t size) {
    if (size == 0) return;
    // The first 11 bytes, when they can be, are the identifier wanted.
    char msgid[kMsgIdLength + 1] = "Fuz0000001N";
    if (size >= kMsgIdLength && std::memchr(data, '\0', kMsgIdLength) == nullptr &&
        std::memchr(data, '\n', kMsgIdLength) == nullptr)
        std::memcpy(msgid, data, kMsgIdLength);

    std::vector<char> bytes(data, data + size);
    CatalogFile file{};
    file.stream = fmemopen(bytes.data(), bytes.size(), "r");
    msgCache = AVLopen(msgCmp, destroyMsg);
    check(file.stream != nullptr && msgCache != nullptr);
    Message *found = scanMsgFile(&file, "C", msgid, nullptr);
    check(file.stream == nullptr && file.unavailable == 1);
    if (found != nullptr) {
        check(std::memcmp(found->id + 3, msgid + 3, 7) == 0);
        check(found->text == nullptr || std::strlen(found->text) <= size);
        check(AVLretrieve(msgCache, found) == found);
    }
    AVLclose(msgCache);
    msgCache = nullptr;
}

void fuzzEscapes(const char *data, size_t size) {
    for (const char *locale : {"C", "C.UTF-8"}) {
        if (std::setlocale(LC_CTYPE, locale) == nullptr) continue;
        std::string text(data, size);
        const size_t before = std::strlen(text.c_str());
        resolveEscapes(text.data());
        check(std::strlen(text.c_str()) <= before);
    }
    std::setlocale(LC_CTYPE, "C");
}

// Formats with a text that only the fit check vouches for, as the catalog
// code does: deliberately not a checked literal.
int formatFitting(char *out, size_t size, const char *format, ...) {
    va_list args;
    va_start(args, format);
    int n = Y_vsnprintf(out, size, format, args);
    va_end(args);
    return n;
}

void fuzzFormat(const char *data, size_t size) {
    const std::string text(data, size);  // up to the first NUL
    char out[256];
    if (formatFits(text.c_str(), "%s %d %ld")) formatFitting(out, sizeof out, text.c_str(), "s", 1, 2L);
    if (formatFits(text.c_str(), "%p %f %lc")) formatFitting(out, sizeof out, text.c_str(), out, 1.5, L'x');
    if (formatFits(text.c_str(), nullptr)) formatFitting(out, sizeof out, text.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;
    const auto *text = reinterpret_cast<const char *>(data + 1);
    switch (data[0] % 4) {
        case 0: fuzzDefinitions(text, size - 1); break;
        case 1: fuzzCatalog(text, size - 1); break;
        case 2: fuzzEscapes(text, size - 1); break;
        default: fuzzFormat(text, size - 1); break;
    }
    return 0;
}
