// Feeds arbitrary text to every parser of md5c: digest lines, hexadecimal
// text, scrambled texts and whole text files with digest lines.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "md5.h"

namespace {

void check(bool ok) { if (!ok) std::abort(); }

void parse(const std::string &text) {
    // An accepted digest line means what its canonical form means.
    for (const std::string &line : {text, MD5_DIGEST_PREFIX + text}) {
        unsigned char digest[16], again[16];
        char canonical[MD5_DIGEST_LINE_SIZE];
        if (MD5LineToDigest(line.c_str(), digest) != 0) continue;
        MD5DigestToLine(digest, canonical, sizeof canonical);
        check(std::strlen(canonical) == MD5_DIGEST_LINE_LEN);
        check(MD5LineToDigest(canonical, again) == 0 && std::memcmp(digest, again, 16) == 0);
    }
    // Accepted hexadecimal text comes back in lower case, in buffers of
    // exactly the size announced.
    const size_t len = std::strlen(text.c_str());
    std::vector<unsigned char> bytes(len / 2);
    if (const int n = unhex(text.c_str(), bytes.data()); n >= 0) {
        check(size_t(n) * 2 == len);
        std::vector<char> back(len + 1);
        rehex(bytes.data(), n, back.data());
        for (size_t i = 0; i < len; ++i) check(back[i] == (text[i] >= 'A' && text[i] <= 'F' ? text[i] - 'A' + 'a' : text[i]));
    }
    // Whatever unscrambles scrambles and unscrambles to itself; nothing is
    // written past 65 bytes.
    char clear[65 + 16] = {}, hex[129], again[65] = {};
    std::memset(clear + 65, 0x5a, 16);
    const int rc = return_first_file("fuzz-key", "second", text.c_str(), clear);
    check(rc == 0 || rc == -1);
    for (size_t i = 65; i < sizeof clear; ++i) check(clear[i] == 0x5a);
    if (rc != 0) return;
    get_final_config("fuzz-key", "second", clear, hex);
    check(return_first_file("fuzz-key", "second", hex, again) == 0 && std::strncmp(clear, again, 64) == 0);
}

// Content that ends a line verifies with the digest line appended to it.
void text_file(const uint8_t *data, size_t size) {
    std::vector<char> mem(size + 2 * MD5_DIGEST_LINE_SIZE);
    FILE *f = fmemopen(mem.data(), mem.size(), "w+");
    if (f == nullptr) return;
    if (size > 0) check(std::fwrite(data, 1, size, f) == size);
    unsigned char digest[16], stored[16];
    int found = -1;
    static const int keyed = 1;
    check(MD5TextFileDigest(f, nullptr, digest, stored, &found) == 0 && (found == 0 || found == 1));
    if (size == 0 || data[size - 1] == '\n') {
        check(MD5AppendDigest(f, &keyed) == 0);
        check(MD5TextFileDigest(f, &keyed, digest, stored, &found) == 0);
        check(found == 1 && std::memcmp(digest, stored, 16) == 0);
    }
    std::fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size > 65536) return 0;
    parse(std::string(reinterpret_cast<const char *>(data), size));  // may hold NULs
    text_file(data, size);
    return 0;
}
