// Feeds arbitrary text to every parser of md5c: digest lines, hexadecimal
// text, scrambled texts and whole text files with digest trailer lines.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "md5.h"

namespace {

void check(bool ok) {
    if (!ok) std::abort();
}

void digest_lines(const std::string &text) {
    for (const std::string &line : {text, MD5_DIGEST_PREFIX + text}) {
        unsigned char digest[16];
        if (MD5LineToDigest(line.c_str(), digest) != 0) continue;
        // An accepted line means what its canonical form means.
        char canonical[MD5_DIGEST_LINE_SIZE];
        unsigned char again[16];
        MD5DigestToLine(digest, canonical, sizeof canonical);
        check(std::strlen(canonical) == MD5_DIGEST_LINE_LEN);
        check(MD5LineToDigest(canonical, again) == 0 && std::memcmp(digest, again, 16) == 0);
    }
}

void hexadecimal(const std::string &text) {
    std::vector<unsigned char> bytes(text.size() / 2 + 1);
    int n = unhex(text.c_str(), bytes.data());
    if (n < 0) return;
    check(size_t(n) * 2 == std::strlen(text.c_str()));
    std::string back(size_t(n) * 2 + 1, '\0');
    rehex(bytes.data(), n, back.data());
    for (size_t i = 0; i < size_t(n) * 2; ++i)
        check(back[i] == (text[i] >= 'A' && text[i] <= 'F' ? text[i] - 'A' + 'a' : text[i]));
}

void scrambled(const std::string &text) {
    char clear[65 + 16] = {};
    std::memset(clear + 65, 0x5a, 16);
    int rc = return_first_file("fuzz-key", "second", text.c_str(), clear);
    check(rc == 0 || rc == -1);
    for (size_t i = 65; i < sizeof clear; ++i) check(clear[i] == 0x5a);
    if (rc != 0) return;
    // Whatever came back scrambles and unscrambles to itself.
    char hex[129];
    get_final_config("fuzz-key", "second", clear, hex);
    char again[65] = {};
    check(return_first_file("fuzz-key", "second", hex, again) == 0);
    check(std::strncmp(clear, again, 64) == 0);
}

void text_file(const uint8_t *data, size_t size) {
    std::vector<char> mem(size + 2 * MD5_DIGEST_LINE_SIZE);
    FILE *f = fmemopen(mem.data(), mem.size(), "w+");
    if (f == nullptr) return;
    if (size > 0) check(std::fwrite(data, 1, size, f) == size);
    unsigned char digest[16], stored[16];
    int found = -1;
    check(MD5TextFileDigest(f, nullptr, digest, stored, &found) == 0);
    check(found == 0 || found == 1);
    // Content ending a line: the appended digest line must verify it.
    if (size == 0 || data[size - 1] == '\n') {
        static const int keyed = 1;
        check(MD5AppendDigest(f, &keyed) == 0);
        check(MD5TextFileDigest(f, &keyed, digest, stored, &found) == 0);
        check(found == 1 && std::memcmp(digest, stored, 16) == 0);
    }
    std::fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 65536) return 0;
    const std::string text(reinterpret_cast<const char *>(data), size);  // may hold NULs
    digest_lines(text);
    hexadecimal(text);
    scrambled(text);
    text_file(data, size);
    return 0;
}
