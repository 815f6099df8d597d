#include "md5.h"

#include <openssl/evp.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <random>

#include "md5c_private.h"
#include "yq_memory.h"
#include "yqtest.h"

using namespace std::string_literals;

namespace {

using Digest = std::array<unsigned char, 16>;
const std::string kKeyA(reinterpret_cast<const char *>(yq::md5c::MD5_KEY_BLOCK_A), 64);
const std::string kKeyB(reinterpret_cast<const char *>(yq::md5c::MD5_KEY_BLOCK_B), 64);
const std::string kAbcLine = "#YMD5_DIGEST=90 01 50 98 3c d2 4f b0 d6 96 3f 7d 28 e1 7f 72\n";
const std::string kAbc = "900150983cd24fb0d6963f7d28e17f72";
const int kKeyed = 1;

std::string hex_of(const unsigned char *d) {
    std::string s;
    for (size_t i = 0; i < 16; ++i) s += "0123456789abcdef"[d[i] >> 4], s += "0123456789abcdef"[d[i] & 15];
    return s;
}

// The independent yardstick: OpenSSL's MD5.
Digest reference_md5(const std::string &data) {
    Digest d{};
    EXPECT_EQ(EVP_Digest(data.data(), data.size(), d.data(), nullptr, EVP_md5(), nullptr), 1);
    return d;
}

// Digests `data` cut into pieces at `cuts`, finished plainly or with a key block.
Digest our_md5(const std::string &data, std::vector<size_t> cuts = {},
               void (*finish)(unsigned char *, MD5_CTX *) = CR_MD5Final) {
    MD5_CTX ctx;
    CR_MD5Init(&ctx);
    cuts.insert(cuts.end(), {0, data.size()});
    std::sort(cuts.begin(), cuts.end());
    for (size_t i = 0; i + 1 < cuts.size(); ++i)
        CR_MD5Update(&ctx, reinterpret_cast<const unsigned char *>(data.data()) + cuts[i],
                     static_cast<unsigned>(cuts[i + 1] - cuts[i]));
    Digest d{};
    finish(d.data(), &ctx);
    return d;
}

// The lines MD5Error writes while it lives, each line number shown as "N".
struct DebugLines {
    yq::unique_fd fd{::memfd_create("md5-debug", MFD_CLOEXEC)};
    DebugLines() { MD5DebugFD = fd.get(); }
    ~DebugLines() { MD5DebugFD = -1; }
    std::string take() {
        std::string out(static_cast<size_t>(::lseek(fd.get(), 0, SEEK_CUR)), '\0');
        EXPECT_EQ(::pread(fd.get(), out.data(), out.size(), 0), static_cast<ssize_t>(out.size()));
        EXPECT_EQ(::ftruncate(fd.get(), 0) + ::lseek(fd.get(), 0, SEEK_SET), 0);
        for (size_t at = out.find("md5c."); at != out.npos; at = out.find("md5c.", at + 1))
            out.replace(at + 5, out.find(':', at) - at - 5, "N");
        return out;
    }
};
std::string report(const char *function, int value) {
    return "md5c.N: "s + function + " failed: " + std::to_string(value) + "\n";
}

TEST(Md5, MatchesOpenSslPlainAndKeyedHoweverCut) {
    // Every padding boundary fed a byte at a time, then random lengths cut anywhere.
    std::mt19937 rng(20240229);
    for (size_t n = 0; n < 600; ++n) {
        const size_t len = n <= 192 ? n : rng() % 10000;
        std::string data(len, '\0');
        for (auto &c : data) c = static_cast<char>(rng());
        std::vector<size_t> cuts;
        for (size_t k = n <= 192 ? len : rng() % 9; k > 0; --k) cuts.push_back(n <= 192 ? k : rng() % (len + 1));
        ASSERT_EQ(our_md5(data, cuts), reference_md5(data)) << "length " << len;
        ASSERT_EQ(our_md5(data, cuts, check_system_time), reference_md5(data + kKeyA)) << "length " << len;
        ASSERT_EQ(our_md5(data, cuts, list_mode_bits), reference_md5(data + kKeyB)) << "length " << len;
    }
    // The key blocks are pinned: changing them breaks every keyed file.
    EXPECT_EQ(hex_of(reference_md5(kKeyA).data()) + hex_of(reference_md5(kKeyB).data()),
              "0fb2e57fa35bb3db626d72eead745cb9c87334e77faf9d171ce8594f863a81d8");
    MD5_CTX ctx;  // as if 2^29 - 1 bytes had been digested: the next carries into the high word
    CR_MD5Init(&ctx);
    ctx.count[0] = 0xfffffff8u;
    CR_MD5Update(&ctx, reinterpret_cast<const unsigned char *>("x"), 1);
    EXPECT_EQ(std::pair(ctx.count[0], ctx.count[1]), std::pair(0u, 1u));
}

TEST(DigestLine, FormatsParsesAndRejectsWithABoundedReport) {
    char line[13] = "############";
    MD5DigestToLine(our_md5("abc").data(), line, 0);
    MD5DigestToLine(our_md5("abc").data(), line + 1, 10);
    EXPECT_EQ(std::string(line, 12), "##YMD5_DIG\0#"s);

    const std::string body = kAbcLine.substr(MD5_DIGEST_PREFIX_LEN + 2), unended = kAbcLine.substr(0, 60);
    const auto bad = [](int value) { return report("MD5LineToDigest", value); };
    const struct { std::string line, digest, report; } rows[] = {  // digest "": refused
        {kAbcLine, kAbc, ""}, {"#YMD5_DIGEST=0 1\t2  3 4 5 6 7 8 9 A b C d E FF x", "000102030405060708090a0b0c0d0eff", ""},
        {"#ymd5_digest=90" + body, "", ""}, {" " + kAbcLine, "", ""},
        {unended, "", bad(0)}, {"#YMD5_DIGEST=1ff" + body, "", bad(0x1ff)},
        {"#YMD5_DIGEST=-1" + body, "", bad(-1)}, {"#YMD5_DIGEST=9g" + body, "", bad('g')},
        {"#YMD5_DIGEST=90,01" + body.substr(3), "", bad(',')}, {unended + "x\n", "", bad('x')},
    };
    DebugLines lines;
    for (const auto &row : rows) {
        Digest d;
        d.fill(0x55);
        EXPECT_EQ(MD5LineToDigest(row.line.c_str(), d.data()), row.digest.empty() ? -1 : 0) << row.line;
        EXPECT_EQ(hex_of(d.data()), row.digest.empty() ? std::string(32, '5') : row.digest) << row.line;
        EXPECT_EQ(lines.take(), row.report) << row.line;
    }
    EXPECT_EQ(MD5LineToDigest(nullptr, nullptr), -1);
    errno = EACCES;  // reporting keeps errno and bounds its line
    MD5Error("md5c", 1, std::string(2000, 'f').c_str(), 1);
    EXPECT_EQ(errno, EACCES);
    const std::string cut = lines.take();
    EXPECT_TRUE(cut.size() < 2000 && cut.find('\n') == cut.size() - 1) << cut;
}

TEST(Scramble, GoldenValueConstructionRoundTripsAndBounds) {
    char hex[129 + 4];
    get_final_config("master.example", "backup", "the quick brown fox", hex);
    // Pinned: earlier builds' texts must unscramble. 64 characters are scrambled, by key.
    EXPECT_STREQ(hex, "6df42d51e26fc5aa960cb72f389b5c561cc6d067a928d300cd93543c9ada36fb"
                      "c52c0bd216e162590fe85474f40cad40fccd9f64470ed21c83844296a6d97859");
    std::memset(hex, '~', sizeof hex);
    get_final_config("key-one", "key-two", std::string(100, 'q').c_str(), hex);
    EXPECT_EQ(std::pair(std::strspn(hex, "0123456789abcdef"), hex[129]), std::pair(size_t{128}, '~'));
    char back[65 + 8] = {}, wrong[65] = {};
    ASSERT_EQ(return_first_file("key-one", "key-two", hex, back) + return_first_file("key-one", "key-twO", hex, wrong), 0);
    EXPECT_EQ(std::string(back, sizeof back), std::string(64, 'q') + std::string(9, '\0'));
    EXPECT_NE(std::string(wrong), std::string(64, 'q'));
    // A short form recovers its prefix; digits beyond the 128th are checked, not used.
    get_final_config("a", "b", "abcdefghijklmnopqrstuvwxyz", hex);
    hex[20] = '\0';
    char text[80] = {};
    ASSERT_EQ(return_first_file("a", "b", hex, text), 0);
    EXPECT_STREQ(text, "abcdefghij");
    std::memset(text, '~', sizeof text);
    const std::string over_bad = std::string(400, 'f') + "g";
    for (const char *bad : {"0g", "abc", static_cast<const char *>(nullptr), over_bad.c_str()})
        EXPECT_EQ(return_first_file("a", "b", bad, text), -1);
    EXPECT_EQ(return_first_file("a", "b", "", text), 0);
    EXPECT_EQ(text[0], '~');
}

Digest digest_of(FILE *f, const void *keyed, std::string &stored) {
    Digest computed{}, line{};
    int found = -1;
    EXPECT_EQ(MD5TextFileDigest(f, keyed, computed.data(), line.data(), &found), 0);
    stored = found == 1 ? hex_of(line.data()) : "";
    return computed;
}
bool verifies(FILE *f, const void *keyed) { std::string s; return hex_of(digest_of(f, keyed, s).data()) == s; }

// The digest skips well-formed digest lines at a piece's start; pieces are at most 1023 bytes.
TEST(TextFile, DigestSkipsOnlyWellFormedDigestLines) {
    const std::string head(1023, 'h');
    const std::string unended = kAbcLine.substr(0, 60), odd = "\nnul\0in\n#not a digest\n"s;
    const struct { std::string file, content, stored, report; } rows[] = {
        {kAbcLine + "alpha\n" + kAbcLine + "\n" + std::string(3000, 'w') + odd + kAbcLine,
         "alpha\n\n" + std::string(3000, 'w') + odd, kAbc, ""},
        {"data\n" + unended, "data\n" + unended, "", report("MD5LineToDigest", 0)},
        {head + kAbcLine + "tail\n", head + "tail\n", kAbc, ""},
        {"x" + head + kAbcLine, "x" + head + kAbcLine, "", ""},
    };
    const std::string path = yqtest::scratch_dir() + "/digest.txt";
    for (const auto &row : rows) {
        yqtest::write_file(path, row.file);
        yq::unique_file f(std::fopen(path.c_str(), "r"));
        DebugLines lines;
        std::string stored;
        EXPECT_EQ(digest_of(f.get(), nullptr, stored), reference_md5(row.content)) << row.file.substr(0, 40);
        EXPECT_EQ(stored, row.stored);
        EXPECT_EQ(lines.take(), row.report);
        EXPECT_EQ(digest_of(f.get(), &kKeyed, stored), reference_md5(row.content + kKeyA));
    }
}

// Each appended digest line covers what comes before it.
TEST(TextFile, AppendedDigestsVerifyTheContentBeforeThem) {
    const std::string path = yqtest::scratch_dir() + "/appended.txt";
    yqtest::write_file(path, "first line\nsecond line\n");
    yq::unique_file f(std::fopen(path.c_str(), "r+"));
    EXPECT_FALSE(verifies(f.get(), nullptr));
    ASSERT_EQ(MD5AppendDigest(f.get(), nullptr) + MD5AppendDigest(f.get(), nullptr), 0);
    EXPECT_TRUE(verifies(f.get(), nullptr));
    EXPECT_FALSE(verifies(f.get(), &kKeyed));
    std::fflush(f.get());
    EXPECT_EQ(yqtest::read_file(path).size(), 23u + 2 * MD5_DIGEST_LINE_LEN);
    ASSERT_EQ(std::fseek(f.get(), 0, SEEK_END), 0);
    std::fputs("third line\n", f.get());
    EXPECT_FALSE(verifies(f.get(), nullptr));
    ASSERT_EQ(MD5AppendDigest(f.get(), &kKeyed), 0);
    EXPECT_TRUE(verifies(f.get(), &kKeyed));
}

TEST(TextFile, FailedStepsReturnMinusOneAndReport) {
    const std::string path = yqtest::scratch_dir() + "/content.txt";
    yqtest::write_file(path, "content\n");
    char mem[16] = "content\n";
    FILE *full = ::fmemopen(mem, sizeof mem, "r+");  // no room for the line: flushing fails
    ASSERT_EQ(std::setvbuf(full, nullptr, _IOFBF, 256), 0);
    const struct { FILE *stream; bool append; std::string report; } rows[] = {
        {nullptr, false, report("MD5TextFileDigest", EINVAL)}, {full, true, report("MD5AppendDigest", EOF)},
        {std::fopen(path.c_str(), "a"), false, report("MD5TextFileDigest", EBADF)},
        {std::fopen(path.c_str(), "r"), true, report("MD5AppendDigest", EOF)},
    };
    DebugLines lines;
    for (const auto &row : rows) {
        Digest d{};
        int found = 1;
        const int rc = row.append ? MD5AppendDigest(row.stream, nullptr)
                                  : MD5TextFileDigest(row.stream, nullptr, d.data(), nullptr, &found);
        EXPECT_EQ(std::pair(rc, found), std::pair(-1, row.append ? 1 : 0)) << row.report;
        EXPECT_EQ(lines.take(), row.report);
        if (row.stream != nullptr) std::fclose(row.stream);
    }
    EXPECT_EQ(yqtest::read_file(path), "content\n");
}

}  // namespace
