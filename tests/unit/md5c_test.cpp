#include "md5.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "md5c_private.h"
#include "yqtest.h"

using namespace std::string_literals;

namespace {

using Digest = std::array<unsigned char, 16>;
using yq::md5c::MD5_KEY_BLOCK_A;
using yq::md5c::MD5_KEY_BLOCK_B;

std::string hex_of(const unsigned char *d, size_t n = 16) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[d[i] >> 4];
        s += digits[d[i] & 15];
    }
    return s;
}
std::string hex_of(const Digest &d) { return hex_of(d.data()); }

// The independent reference: OpenSSL's MD5.
Digest reference_md5(const std::string &data) {
    Digest d{};
    unsigned int len = 0;
    EXPECT_EQ(EVP_Digest(data.data(), data.size(), d.data(), &len, EVP_md5(), nullptr), 1);
    return d;
}

std::string key_a() { return std::string(reinterpret_cast<const char *>(MD5_KEY_BLOCK_A), 64); }
std::string key_b() { return std::string(reinterpret_cast<const char *>(MD5_KEY_BLOCK_B), 64); }

Digest our_md5(const std::string &data) {
    MD5_CTX ctx;
    CR_MD5Init(&ctx);
    CR_MD5Update(&ctx, reinterpret_cast<const unsigned char *>(data.data()),
                 static_cast<unsigned>(data.size()));
    Digest d{};
    CR_MD5Final(d.data(), &ctx);
    return d;
}

// Captures MD5Error lines through a pipe set as MD5DebugFD.
class DebugPipe {
public:
    DebugPipe() {
        EXPECT_EQ(::pipe2(fds_, O_NONBLOCK | O_CLOEXEC), 0);
        MD5DebugFD = fds_[1];
    }
    ~DebugPipe() {
        MD5DebugFD = -1;
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    DebugPipe(const DebugPipe &) = delete;
    DebugPipe &operator=(const DebugPipe &) = delete;
    std::string take() {
        std::string out;
        char buf[4096];
        for (ssize_t n; (n = ::read(fds_[0], buf, sizeof buf)) > 0;) out.append(buf, size_t(n));
        return out;
    }

private:
    int fds_[2] = {-1, -1};
};

// "md5c.LINE: FUNCTION failed: VALUE\n", exactly one line.
::testing::AssertionResult IsReport(const std::string &text, const std::string &function, int value) {
    const std::string head = "md5c.";
    const std::string tail = ": " + function + " failed: " + std::to_string(value) + "\n";
    size_t digits = text.size() >= head.size() + tail.size() ? text.size() - head.size() - tail.size() : 0;
    bool ok = digits > 0 && text.compare(0, head.size(), head) == 0 &&
              text.compare(head.size() + digits, std::string::npos, tail) == 0 &&
              std::all_of(text.begin() + long(head.size()), text.begin() + long(head.size() + digits),
                          [](char c) { return c >= '0' && c <= '9'; });
    if (ok) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "report was \"" << text << "\"";
}

std::string scratch(const std::string &name) { return yqtest::scratch_dir() + "/" + name; }

// ------------------------------------------------------------------ MD5

TEST(Md5, Rfc1321TestSuite) {
    const std::pair<std::string, std::string> suite[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto &[input, expected] : suite) {
        EXPECT_EQ(hex_of(our_md5(input)), expected) << input;
        // The same message one byte at a time.
        MD5_CTX ctx;
        CR_MD5Init(&ctx);
        for (unsigned char c : input) CR_MD5Update(&ctx, &c, 1);
        Digest d{};
        CR_MD5Final(d.data(), &ctx);
        EXPECT_EQ(hex_of(d), expected) << input;
    }
}

TEST(Md5, MatchesOpenSslOnRandomLengthsAndSplits) {
    std::mt19937 rng(20240229);
    std::vector<size_t> lengths;
    for (size_t n = 0; n <= 192; ++n) lengths.push_back(n);  // every padding boundary
    std::uniform_int_distribution<size_t> any_length(0, 10000);
    for (int i = 0; i < 400; ++i) lengths.push_back(any_length(rng));

    for (size_t len : lengths) {
        std::string data(len, '\0');
        for (auto &c : data) c = static_cast<char>(rng());
        // Up to eight cut points anywhere, empty pieces included.
        std::vector<size_t> cuts{0, len};
        std::uniform_int_distribution<size_t> where(0, len);
        for (int k = static_cast<int>(rng() % 9); k > 0; --k) cuts.push_back(where(rng));
        std::sort(cuts.begin(), cuts.end());

        MD5_CTX ctx;
        CR_MD5Init(&ctx);
        for (size_t i = 0; i + 1 < cuts.size(); ++i)
            CR_MD5Update(&ctx, reinterpret_cast<const unsigned char *>(data.data()) + cuts[i],
                         static_cast<unsigned>(cuts[i + 1] - cuts[i]));
        Digest d{};
        CR_MD5Final(d.data(), &ctx);
        ASSERT_EQ(hex_of(d), hex_of(reference_md5(data))) << "length " << len;
    }
}

TEST(Md5, FinalClearsTheContext) {
    MD5_CTX ctx;
    CR_MD5Init(&ctx);
    CR_MD5Update(&ctx, reinterpret_cast<const unsigned char *>("secret"), 6);
    Digest d{};
    check_system_time(d.data(), &ctx);
    const auto *bytes = reinterpret_cast<const unsigned char *>(&ctx);
    EXPECT_TRUE(std::all_of(bytes, bytes + sizeof ctx, [](unsigned char b) { return b == 0; }));
}

TEST(Md5, BitCountCarriesIntoTheHighWord) {
    MD5_CTX ctx;
    CR_MD5Init(&ctx);
    // As if 2^29 - 1 bytes had been digested: the next byte crosses 2^32 bits.
    ctx.count[0] = 0xfffffff8u;
    ctx.count[1] = 0;
    unsigned char c = 'x';
    CR_MD5Update(&ctx, &c, 1);
    EXPECT_EQ(ctx.count[0], 0u);
    EXPECT_EQ(ctx.count[1], 1u);
    CR_MD5Update(&ctx, &c, 1);
    EXPECT_EQ(ctx.count[0], 8u);
    EXPECT_EQ(ctx.count[1], 1u);
}

TEST(Md5, KeyedFinishingDigestsTheKeyBlockAfterTheMessage) {
    // Pins the product's key blocks: changing them breaks every keyed file.
    EXPECT_EQ(hex_of(reference_md5(key_a())), "0fb2e57fa35bb3db626d72eead745cb9");
    EXPECT_EQ(hex_of(reference_md5(key_b())), "c87334e77faf9d171ce8594f863a81d8");

    for (std::string message : {std::string(), std::string("abc"), std::string(1000, 'q')}) {
        MD5_CTX ctx;
        Digest a{}, b{};
        CR_MD5Init(&ctx);
        CR_MD5Update(&ctx, reinterpret_cast<const unsigned char *>(message.data()),
                     static_cast<unsigned>(message.size()));
        check_system_time(a.data(), &ctx);
        CR_MD5Init(&ctx);
        CR_MD5Update(&ctx, reinterpret_cast<const unsigned char *>(message.data()),
                     static_cast<unsigned>(message.size()));
        list_mode_bits(b.data(), &ctx);
        EXPECT_EQ(a, reference_md5(message + key_a()));
        EXPECT_EQ(b, reference_md5(message + key_b()));
        EXPECT_NE(a, b);
    }
}

// ---------------------------------------------------------- digest lines

constexpr char kAbcLine[] = "#YMD5_DIGEST=90 01 50 98 3c d2 4f b0 d6 96 3f 7d 28 e1 7f 72\n";

TEST(DigestLine, FormatsAndCutsToSize) {
    Digest abc = our_md5("abc");
    char line[80];
    MD5DigestToLine(abc.data(), line, sizeof line);
    EXPECT_STREQ(line, kAbcLine);
    EXPECT_EQ(std::strlen(line), size_t(MD5_DIGEST_LINE_LEN));

    std::memset(line, '#', sizeof line);
    MD5DigestToLine(abc.data(), line, 10);
    EXPECT_STREQ(line, "#YMD5_DIG");
    EXPECT_EQ(line[10], '#');

    for (int size : {0, -1}) {
        std::memset(line, '~', sizeof line);
        MD5DigestToLine(abc.data(), line, size);
        EXPECT_EQ(line[0], '~');
    }
}

TEST(DigestLine, ParsesWellFormedLinesAndTheirVariants) {
    Digest d{};
    ASSERT_EQ(MD5LineToDigest(kAbcLine, d.data()), 0);
    EXPECT_EQ(hex_of(d), "900150983cd24fb0d6963f7d28e17f72");

    // The numbers are converted leniently: any white space, either case,
    // single digits, text after the white space that follows the last one.
    ASSERT_EQ(MD5LineToDigest("#YMD5_DIGEST=0 1\t2  3 4 5 6 7 8 9 A b C d E FF trailing", d.data()), 0);
    EXPECT_EQ(hex_of(d), "000102030405060708090a0b0c0d0eff");

    // Every random digest survives the trip through its line.
    std::mt19937 rng(7);
    for (int i = 0; i < 200; ++i) {
        Digest in{}, out{};
        for (auto &b : in) b = static_cast<unsigned char>(rng());
        char line[MD5_DIGEST_LINE_SIZE];
        MD5DigestToLine(in.data(), line, sizeof line);
        ASSERT_EQ(MD5LineToDigest(line, out.data()), 0) << line;
        ASSERT_EQ(in, out);
    }
    EXPECT_EQ(MD5LineToDigest(kAbcLine, nullptr), 0);
}

TEST(DigestLine, RejectsMalformedLinesAndReportsWhy) {
    const std::string abc(kAbcLine);
    const std::string body = abc.substr(MD5_DIGEST_PREFIX_LEN);
    struct Case {
        std::string line;
        int report;  // the reported value, or INT_MIN for an ordinary line
    };
    const Case cases[] = {
        {"just some text\n", INT_MIN},
        {"#ymd5_digest=" + body, INT_MIN},
        {"#YMD5_DIGEST" + body, INT_MIN},
        {" " + abc, INT_MIN},
        {"", INT_MIN},
        {abc.substr(0, abc.size() - 1), 0},                                // no white space after the last
        {"#YMD5_DIGEST=90 01 50 98 3c d2 4f b0 d6 96 3f 7d 28 e1 7f\n", 0},  // fifteen numbers
        {"#YMD5_DIGEST=", 0},
        {"#YMD5_DIGEST=1ff 01 50 98 3c d2 4f b0 d6 96 3f 7d 28 e1 7f 72\n", 0x1ff},
        {"#YMD5_DIGEST=90 01 50 98 3c d2 4f b0 d6 96 3f 7d 28 e1 7f 100\n", 0x100},
        {"#YMD5_DIGEST=-1 01 50 98 3c d2 4f b0 d6 96 3f 7d 28 e1 7f 72\n", -1},
        {"#YMD5_DIGEST=90 0g 50 98 3c d2 4f b0 d6 96 3f 7d 28 e1 7f 72\n", 'g'},
        {"#YMD5_DIGEST=90,01,50,98,3c,d2,4f,b0,d6,96,3f,7d,28,e1,7f,72\n", ','},
        {"#YMD5_DIGEST=90:01 50 98 3c d2 4f b0 d6 96 3f 7d 28 e1 7f 72\n", ':'},
        {"#YMD5_DIGEST=90 01 50 98 3c d2 4f b0 d6 96 3f 7d 28 e1 7f 72x\n", 'x'},
    };
    DebugPipe pipe;
    for (const Case &c : cases) {
        Digest d;
        d.fill(0xa5);
        EXPECT_EQ(MD5LineToDigest(c.line.c_str(), d.data()), -1) << c.line;
        EXPECT_TRUE(std::all_of(d.begin(), d.end(), [](unsigned char b) { return b == 0xa5; }))
            << "digest changed by " << c.line;
        std::string report = pipe.take();
        if (c.report == INT_MIN)
            EXPECT_EQ(report, "") << c.line;
        else
            EXPECT_TRUE(IsReport(report, "MD5LineToDigest", c.report)) << c.line;
    }
    EXPECT_EQ(MD5LineToDigest(nullptr, nullptr), -1);
}

// ---------------------------------------------------------- MD5Error

TEST(Md5Error, WritesOneLineToTheDebugDescriptorOnly) {
    {
        DebugPipe pipe;
        errno = EACCES;
        MD5Error("md5c", 42, "fseek", -1);
        EXPECT_EQ(errno, EACCES);
        EXPECT_EQ(pipe.take(), "md5c.42: fseek failed: -1\n");
        MD5Error(nullptr, 7, nullptr, 3);
        EXPECT_EQ(pipe.take(), ".7:  failed: 3\n");
        // A cut line still ends with its newline.
        std::string long_name(2000, 'f');
        MD5Error("md5c", 1, long_name.c_str(), 1);
        std::string cut = pipe.take();
        EXPECT_LT(cut.size(), 2000u);
        EXPECT_EQ(cut.back(), '\n');
        EXPECT_EQ(std::count(cut.begin(), cut.end(), '\n'), 1);
    }
    EXPECT_EQ(MD5DebugFD, -1);
    // With the descriptor at -1 nothing is written anywhere: a write through
    // the seam would fail the test.
    yqtest::SysGuard guard;
    yq::sys::table.write = [](int, const void *, size_t) -> ssize_t {
        ADD_FAILURE() << "MD5Error wrote with MD5DebugFD at -1";
        return -1;
    };
    MD5Error("md5c", 1, "f", 1);
}

// ---------------------------------------------------------- hexadecimal

TEST(Hex, RoundTripsAnyBytes) {
    std::mt19937 rng(11);
    for (int n = 0; n <= 100; ++n) {
        std::vector<unsigned char> in(static_cast<size_t>(n));
        std::vector<unsigned char> out(static_cast<size_t>(n) + 1, 0xee);
        for (auto &b : in) b = static_cast<unsigned char>(rng());
        std::string hex(size_t(2 * n + 8), '~');
        rehex(in.data(), n, hex.data());
        EXPECT_EQ(hex[size_t(2 * n)], '\0');
        EXPECT_EQ(hex[size_t(2 * n + 1)], '~');  // 2n + 1 bytes and no more
        EXPECT_EQ(std::string(hex.c_str()), hex_of(in.data(), in.size()));
        ASSERT_EQ(unhex(hex.c_str(), out.data()), n);
        EXPECT_TRUE(std::equal(in.begin(), in.end(), out.begin()));
        EXPECT_EQ(out[size_t(n)], 0xee);
    }
    char hex[4] = "xyz";
    rehex(nullptr, 0, hex);
    EXPECT_STREQ(hex, "");
}

TEST(Hex, AcceptsOnlyPairsOfHexadecimalDigits) {
    unsigned char out[8] = {};
    EXPECT_EQ(unhex("", out), 0);
    EXPECT_EQ(unhex("0aff", out), 2);
    EXPECT_EQ(out[0], 0x0a);
    EXPECT_EQ(out[1], 0xff);
    EXPECT_EQ(unhex("0AfF", out), 2);
    EXPECT_EQ(out[1], 0xff);
    for (const char *bad : {"abc", "f", "0g", "g0", " f", "f ", "+f", "-f", "0x", "0x12", "12 34", "1\n"})
        EXPECT_EQ(unhex(bad, out), -1) << bad;
    EXPECT_EQ(unhex(nullptr, out), -1);
}

// ----------------------------------------------------- scrambled texts

TEST(Scramble, GoldenValueAndConstruction) {
    char hex[129];
    get_final_config("master.example", "backup", "the quick brown fox", hex);
    // Pinned: texts scrambled by earlier builds must keep unscrambling.
    EXPECT_STREQ(hex,
                 "6df42d51e26fc5aa960cb72f389b5c561cc6d067a928d300cd93543c9ada36fb"
                 "c52c0bd216e162590fe85474f40cad40fccd9f64470ed21c83844296a6d97859");

    // The same construction through OpenSSL: keystream blocks chained over
    // the clear blocks and key block A.
    std::string clear("the quick brown fox");
    clear.resize(64, '\0');
    Digest k = reference_md5("master.example" + std::string("backup") + key_a());
    std::string expected;
    for (size_t block = 0; block < 64; block += 16) {
        for (size_t j = 0; j < 16; ++j) {
            unsigned char x = static_cast<unsigned char>(clear[block + j]) ^ k[j];
            expected += hex_of(&x, 1);
        }
        k = reference_md5(std::string(reinterpret_cast<const char *>(k.data()), 16) +
                          clear.substr(block, 16) + key_a());
    }
    EXPECT_EQ(hex, expected);
}

TEST(Scramble, RoundTripsEveryLengthWithTheSameKeysOnly) {
    std::mt19937 rng(3);
    for (size_t len = 0; len <= 64; ++len) {
        std::string text(len, '\0');
        for (auto &c : text) c = static_cast<char>('!' + rng() % 94);
        char hex[129 + 4];
        std::memset(hex, '~', sizeof hex);
        get_final_config("key-one", "key-two", text.c_str(), hex);
        ASSERT_EQ(std::strlen(hex), 128u);
        EXPECT_EQ(hex[129], '~');
        EXPECT_EQ(std::strspn(hex, "0123456789abcdef"), 128u);

        char back[65 + 8] = {};
        ASSERT_EQ(return_first_file("key-one", "key-two", hex, back), 0);
        EXPECT_EQ(std::string(back), text);
        EXPECT_TRUE(std::all_of(back + 65, back + sizeof back, [](char c) { return c == 0; }));

        char wrong[65] = {};
        ASSERT_EQ(return_first_file("key-one", "key-twO", hex, wrong), 0);
        if (len > 0) {
            EXPECT_NE(std::string(wrong), text);
        }
    }
    // Only the first 64 characters are scrambled.
    std::string longer(100, 'L');
    char hex[129];
    get_final_config("a", "b", longer.c_str(), hex);
    char back[65] = {};
    ASSERT_EQ(return_first_file("a", "b", hex, back), 0);
    EXPECT_EQ(std::string(back), std::string(64, 'L'));
}

TEST(Scramble, RejectsBadHexAndNeverWritesPastSixtyFourBytes) {
    char text[80];
    std::memset(text, '~', sizeof text);
    EXPECT_EQ(return_first_file("a", "b", "0g", text), -1);
    EXPECT_EQ(return_first_file("a", "b", "abc", text), -1);
    EXPECT_EQ(return_first_file("a", "b", nullptr, text), -1);
    EXPECT_EQ(return_first_file("a", "b", "", text), 0);
    EXPECT_EQ(text[0], '~');

    // A short scrambled form recovers its prefix.
    char hex[129];
    get_final_config("a", "b", "abcdefghijklmnopqrstuvwxyz", hex);
    char part[65] = {};
    hex[20] = '\0';  // ten bytes
    ASSERT_EQ(return_first_file("a", "b", hex, part), 0);
    EXPECT_STREQ(part, "abcdefghij");

    // Digits beyond the 128th are checked but not used.
    std::string over(400, 'f');
    std::memset(text, 0, sizeof text);
    std::memset(text + 64, '~', 16);
    ASSERT_EQ(return_first_file("a", "b", over.c_str(), text), 0);
    EXPECT_TRUE(std::all_of(text + 64, text + 80, [](char c) { return c == '~'; }));
    over += "g";
    EXPECT_EQ(return_first_file("a", "b", over.c_str(), text), -1);
}

// ------------------------------------------------------- text files

struct File {
    std::string path;
    FILE *f = nullptr;
    File(const std::string &name, const std::string &content) : path(scratch(name)) {
        yqtest::write_file(path, content);
        f = std::fopen(path.c_str(), "r+");
        EXPECT_NE(f, nullptr);
    }
    ~File() {
        if (f != nullptr) std::fclose(f);
    }
    File(const File &) = delete;
    File &operator=(const File &) = delete;
    std::string content() {
        std::fflush(f);
        return yqtest::read_file(path);
    }
    // Verifies the way callers do; false when there is no digest line.
    bool verifies(const void *keyed) {
        Digest computed{}, stored{};
        int found = -1;
        EXPECT_EQ(MD5TextFileDigest(f, keyed, computed.data(), stored.data(), &found), 0);
        return found == 1 && computed == stored;
    }
};

const int kKeyed = 1;

TEST(TextFile, DigestCoversEveryLineButDigestLines) {
    const std::string content = "alpha\nbeta\n\n" + std::string(3000, 'w') + "\nnul\0inside\n#not a digest\n"s;
    const std::string mixed = std::string(kAbcLine) + "alpha\nbeta\n" + kAbcLine + "\n" +
                              std::string(3000, 'w') + "\nnul\0inside\n#not a digest\n"s + kAbcLine;
    ASSERT_EQ(mixed.size(), content.size() + 3 * std::strlen(kAbcLine));

    File file("mixed.txt", mixed);
    Digest d{}, stored{};
    int found = 0;
    ASSERT_EQ(MD5TextFileDigest(file.f, nullptr, d.data(), stored.data(), &found), 0);
    EXPECT_EQ(found, 1);
    EXPECT_EQ(hex_of(stored), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(d, reference_md5(content));
    ASSERT_EQ(MD5TextFileDigest(file.f, &kKeyed, d.data(), nullptr, nullptr), 0);
    EXPECT_EQ(d, reference_md5(content + key_a()));

    File empty("empty.txt", "");
    found = 1;
    ASSERT_EQ(MD5TextFileDigest(empty.f, nullptr, d.data(), stored.data(), &found), 0);
    EXPECT_EQ(found, 0);
    EXPECT_EQ(hex_of(d), "d41d8cd98f00b204e9800998ecf8427e");
}

TEST(TextFile, MalformedDigestLinesCountAsContent) {
    const std::string no_newline = "data\n" + std::string(kAbcLine, std::strlen(kAbcLine) - 1);
    const std::string too_big = "data\n#YMD5_DIGEST=1ff 01 50 98 3c d2 4f b0 d6 96 3f 7d 28 e1 7f 72\n";
    const std::pair<std::string, int> cases[] = {{no_newline, 0}, {too_big, 0x1ff}};
    for (const auto &[content, report] : cases) {
        File file("malformed.txt", content);
        DebugPipe pipe;
        Digest d{};
        int found = 1;
        ASSERT_EQ(MD5TextFileDigest(file.f, nullptr, d.data(), nullptr, &found), 0);
        EXPECT_EQ(found, 0);
        EXPECT_EQ(d, reference_md5(content));
        EXPECT_TRUE(IsReport(pipe.take(), "MD5LineToDigest", report));
    }
}

TEST(TextFile, LinesAreReadInPiecesOf1023Characters) {
    // A piece that starts with the prefix is a digest line even in the
    // middle of a long line: a digest line can only be recognised piecewise.
    const std::string head(1023, 'h');
    const std::string content = head + kAbcLine + "tail\n";
    File file("pieces.txt", content);
    Digest d{}, stored{};
    int found = 0;
    ASSERT_EQ(MD5TextFileDigest(file.f, nullptr, d.data(), stored.data(), &found), 0);
    EXPECT_EQ(found, 1);
    EXPECT_EQ(d, reference_md5(head + "tail\n"));

    File shifted("shifted.txt", "x" + content);  // prefix no longer starts a piece
    ASSERT_EQ(MD5TextFileDigest(shifted.f, nullptr, d.data(), stored.data(), &found), 0);
    EXPECT_EQ(found, 0);
    EXPECT_EQ(d, reference_md5("x" + content));
}

TEST(TextFile, SeveralAppendedDigestsEachVerifyTheContentBeforeThem) {
    File file("appended.txt", "first line\nsecond line\n");
    EXPECT_FALSE(file.verifies(nullptr));  // no digest line yet
    ASSERT_EQ(MD5AppendDigest(file.f, nullptr), 0);
    EXPECT_TRUE(file.verifies(nullptr));
    EXPECT_FALSE(file.verifies(&kKeyed));

    // Appending again without change: still verifies, both lines stay.
    ASSERT_EQ(MD5AppendDigest(file.f, nullptr), 0);
    EXPECT_TRUE(file.verifies(nullptr));
    std::string text = file.content();
    EXPECT_EQ(text.substr(0, 23), "first line\nsecond line\n");
    EXPECT_EQ(text.size(), 23u + 2 * MD5_DIGEST_LINE_LEN);

    // A change after the last digest line is caught; a new one covers it.
    ASSERT_EQ(std::fseek(file.f, 0, SEEK_END), 0);
    std::fputs("third line\n", file.f);
    std::fflush(file.f);
    EXPECT_FALSE(file.verifies(nullptr));
    ASSERT_EQ(MD5AppendDigest(file.f, nullptr), 0);
    EXPECT_TRUE(file.verifies(nullptr));

    // Keyed digests verify only keyed.
    ASSERT_EQ(MD5AppendDigest(file.f, &kKeyed), 0);
    EXPECT_TRUE(file.verifies(&kKeyed));
    EXPECT_FALSE(file.verifies(nullptr));

    // Changing a byte of earlier content breaks verification.
    ASSERT_EQ(std::fseek(file.f, 0, SEEK_SET), 0);
    std::fputc('F', file.f);
    std::fflush(file.f);
    EXPECT_FALSE(file.verifies(&kKeyed));
    EXPECT_EQ(yqtest::read_lines(file.path).size(), 7u);
}

TEST(TextFile, AppendSurvivesAllocationFailures) {
    const std::string content = "line\n";
    yqtest::for_each_alloc_failure([&] {
        File file("alloc.txt", content);
        int rc = MD5AppendDigest(file.f, &kKeyed);
        if (rc == 0)
            EXPECT_TRUE(file.verifies(&kKeyed));
        else
            EXPECT_EQ(file.content(), content);
    });
}

TEST(TextFile, FailedStepsReturnMinusOneAndReport) {
    DebugPipe pipe;
    Digest d{};
    EXPECT_EQ(MD5TextFileDigest(nullptr, nullptr, d.data(), nullptr, nullptr), -1);
    EXPECT_TRUE(IsReport(pipe.take(), "MD5TextFileDigest", EINVAL));

    // Reading fails: a write-only stream.
    yqtest::write_file(scratch("wo.txt"), "content\n");
    FILE *wo = std::fopen(scratch("wo.txt").c_str(), "a");
    ASSERT_NE(wo, nullptr);
    int found = 1;
    EXPECT_EQ(MD5TextFileDigest(wo, nullptr, d.data(), nullptr, &found), -1);
    EXPECT_EQ(found, 0);
    EXPECT_TRUE(IsReport(pipe.take(), "MD5TextFileDigest", EBADF));
    EXPECT_EQ(MD5AppendDigest(wo, nullptr), -1);
    std::fclose(wo);
    pipe.take();
    EXPECT_EQ(yqtest::read_file(scratch("wo.txt")), "content\n");

    // Writing fails: a read-only stream.
    File ro("ro.txt", "content\n");
    FILE *r = std::fopen(ro.path.c_str(), "r");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(MD5AppendDigest(r, nullptr), -1);
    EXPECT_TRUE(IsReport(pipe.take(), "MD5AppendDigest", EOF));
    std::fclose(r);

    // Seeking fails: a socket.
    int sv[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    ASSERT_EQ(::write(sv[1], "content\n", 8), 8);
    ::shutdown(sv[1], SHUT_WR);
    FILE *sock = ::fdopen(sv[0], "r+");
    ASSERT_NE(sock, nullptr);
    EXPECT_EQ(MD5AppendDigest(sock, nullptr), -1);
    EXPECT_TRUE(IsReport(pipe.take(), "MD5AppendDigest", -1));
    std::fclose(sock);
    ::close(sv[1]);

    // Flushing fails: a memory stream with no room for the line.
    char mem[16] = "content\n";
    FILE *full = ::fmemopen(mem, sizeof mem, "r+");
    ASSERT_NE(full, nullptr);
    ASSERT_EQ(std::setvbuf(full, nullptr, _IOFBF, 256), 0);
    EXPECT_EQ(MD5AppendDigest(full, nullptr), -1);
    EXPECT_TRUE(IsReport(pipe.take(), "MD5AppendDigest", EOF));
    std::fclose(full);
}

}  // namespace
