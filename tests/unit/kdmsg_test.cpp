#include "kdmsg.h"

#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "kdmsg_private.h"
#include "yq_paths.h"
#include "yqtest.h"

namespace {

namespace fs = std::filesystem;
using namespace yq::kdmsg;
using namespace std::string_literals;

const std::string kMsgDir = YQ_PATH_MSG_DIR, kConf = YQ_PATH_MSG_CONF, kData = KDMSG_DATA, kMissing = "<none>";

void writeCatalog(const std::string &locale, const std::string &prefix, const std::string &content) {
    fs::create_directories(kMsgDir + "/" + locale + "/carrow");
    yqtest::write_file(kMsgDir + "/" + locale + "/carrow/" + prefix + "Msgs", content);
}

std::string text(const char *locale, const std::string &msgid) {
    const char *t = getLocalMsgFmt(locale, msgid.c_str());
    return t != nullptr ? t : kMissing;
}

void expectTexts(const char *locale, const std::vector<std::pair<std::string, std::string>> &rows) {
    for (const auto &[id, expected] : rows) EXPECT_EQ(text(locale, id), expected) << locale << " " << id;
}

// Each test starts with the sample and test catalogs, no cache, the C locale.
struct Catalogs : ::testing::Test {
    void SetUp() override {
        TearDown();
        yqtest::remove_tree(kMsgDir);
        fs::copy(YQ_MSG_SAMPLES, kMsgDir, fs::copy_options::recursive);
        fs::copy(kData + "/catalogs", kMsgDir, fs::copy_options::recursive);
    }
    void TearDown() override { msgCacheUnload(0), std::setlocale(LC_ALL, "C"); }
    yqtest::SysGuard guard_;
};

TEST_F(Catalogs, CatalogLinesIdentifiersAndLengths) {
    expectTexts("C", {
        {"Kdm0000001H", "H"}, {"Kdm0000001N", "N"}, {"Kdm0000001V", "V"}, {"Kdm0000001X", "X"},
        {"Kdm0000001Q", kMissing}, {"Kdm0000001n", kMissing},  // no component; lower case is not 'N'
        {"Kdm000001N", kMissing}, {"Kdm00000001N", kMissing},  // 10 and 12 characters
        {"Fmt0000001N", "repeated: the later line wins"}, {"Fmt0000002N", ""}, {"Fmt0000003N", ""},
        {"Fmt0000004N", "say \"hi\" twice"}, {"Fmt0000005N", "\b\f\n\r\t\v|\\|q|\"|%"},
        {"Fmt0000006N", "a\tb"}, {"Fmt0000007N", "caf\xc3\xa9 \xc3\xa9t\xc3\xa9"},
        {"Fmt0000001X", kMissing}, {"Fmx0000002N", kMissing}, {"#abCra0001N", kMissing},
    });
    for (const auto &[locale, id] : {std::pair<const char *, const char *>("C", nullptr), {"", "Kdm0000001N"}, {nullptr, "Kdm0000001N"}})
        EXPECT_EQ(getLocalMsgFmt(locale, id), nullptr);

    // Lines of any length are cached whole, whatever falls on a chunk's last byte.
    std::string catalog = "# long lines\n";
    std::vector<std::pair<std::string, std::string>> rows;
    for (size_t len : {0ul, 1ul, 8174ul, 8175ul, 8176ul, 8177ul, 8178ul, 16368ul, 16369ul, 16370ul, 20000ul}) {
        std::string body;
        for (size_t i = 0; i < len; ++i) body += static_cast<char>('a' + (i * 7 + len) % 26);
        rows.emplace_back("Lng" + std::to_string(1000000 + len) + "N", body);
        catalog += rows.back().first + " \"" + body + "\"\n";
    }
    writeCatalog("C", "Lng", catalog + "Oth0000001N \"" + std::string(9000, 'x') +
                                 "\"\nLng0000099N \"no closing quote\r\nLng0000100N \"after all that\"");
    rows.insert(rows.end(), {{"Lng0000099N", "no closing quote"}, {"Lng0000100N", "after all that"}, {"Oth0000001N", kMissing}});
    expectTexts("C", rows);
}

TEST_F(Catalogs, AbsencesAndMissingFilesAreRememberedUntilUnload) {
    writeCatalog("C", "Abs", "Abs0000001N \"present\"\n");
    writeCatalog("C", "Emp", "");
    expectTexts("C", {{"Abs0000002N", kMissing}, {"Mis0000001N", kMissing}, {"Emp0000001N", kMissing}});
    EXPECT_EQ(text("de", "YssCra0001N"), kMissing);
    // Later changes to the files are not seen: every answer is cached.
    writeCatalog("C", "Abs", "Abs0000001N \"changed\"\nAbs0000002N \"added later\"\n");
    writeCatalog("C", "Mis", "Mis0000001N \"too late\"\nMis0000002N \"too late\"\n");
    writeCatalog("de", "Yss", "YssCra0001N \"zu spät\"\n");
    expectTexts("C", {{"Abs0000001N", "present"}, {"Abs0000002N", kMissing}, {"Mis0000002N", kMissing}});
    EXPECT_EQ(text("de", "YssCra0001N"), kMissing);
    EXPECT_EQ(msgCacheUnload(42), 42);
    expectTexts("C", {{"Abs0000002N", "added later"}, {"Mis0000002N", "too late"}});
    EXPECT_EQ(text("de", "YssCra0001N"), "zu spät");
}

// Under UTF-8 a backslash before a multibyte character goes, a trailing one is dropped.
// A catalog is read under its own character type and the caller's is restored.
TEST_F(Catalogs, EscapesFollowTheCatalogsCharacterTypeAndRestoreTheCallers) {
    ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
    char utf8[] = "\xe2\x82\xac\\t\\\xe2\x82\xac\\n\xff\\";
    resolveEscapes(utf8);
    EXPECT_STREQ(utf8, "\xe2\x82\xac\t\xe2\x82\xac\n\xff");
    std::setlocale(LC_CTYPE, "C");
    yqtest::write_file(kConf, "TM  6 C.utf8 2 u8\n");
    writeCatalog("u8", "Utf", "Utf0000001N \"\xe2\x82\xac\\t\\\xe2\x82\xac\"\n");
    EXPECT_EQ(text("u8", "Utf0000001N"), "\xe2\x82\xac\t\xe2\x82\xac");
    EXPECT_STREQ(std::setlocale(LC_CTYPE, nullptr), "C");
    EXPECT_STREQ(cmnLocales->sysname, "C.utf8");
}

TEST_F(Catalogs, KdgetmsgFillsOneBufferPerLocaleFromTheSameArguments) {
    writeCatalog("C", "Kdm", "Kdm0000001N \"copied %d files to %s\"\n");
    writeCatalog("fr", "Kdm", "Kdm0000001N \"%d fichiers copiés vers %s\"\n"
                              "Kdm0000002N \"%%s : ouverture de %s (%d) impossible\"\n"
                              "Kdm0000003N \"[%%-28s] 100%%%% fait\"\n");
    char en[256] = "", fr[256] = "";
    ASSERT_EQ(kdgetmsg("Kdm0000001N", "C", sizeof en, en, "fr", sizeof fr, fr, "built-in %d %s", 3, "/b"), 0);
    EXPECT_EQ(std::pair(std::string(en), std::string(fr)), std::pair("copied 3 files to /b"s, "3 fichiers copiés vers /b"s));
    ASSERT_EQ(kdgetmsg("Kdm0000009N", "C", sizeof en, en, "de", sizeof fr, fr, "built-in %d %s", 4, "x"), 0);
    EXPECT_EQ(std::pair(std::string(en), std::string(fr)), std::pair("built-in 4 x"s, "built-in 4 x"s));
    // The second buffer needs its locale, the first its buffer; each buffer bounds its text.
    std::strcpy(fr, "untouched");
    EXPECT_EQ(kdgetmsg("Kdm0000001N", "C", sizeof en, en, nullptr, sizeof fr, fr, "%d %s", 5, "y") +
              kdgetmsg("Kdm0000001N", "C", 0, fr, nullptr, 0, nullptr, "%d %s", 3, "/b") +
              kdgetmsg("Kdm0000001N", "C", 8, en, nullptr, 0, nullptr, "%d %s", 3, "/b"), 0);
    EXPECT_EQ(std::pair(std::string(en), std::string(fr)), std::pair("copied "s, "untouched"s));
    EXPECT_EQ(kdgetmsg("Kdm0000001N", "C", sizeof en, nullptr, "C", sizeof fr, fr, "%d %s", 5, "y"), -1);

    // "%%s" takes an error number's system text, with any width; arguments are only text.
    const std::string enoent = std::strerror(ENOENT), eacces = std::strerror(EACCES);
    ASSERT_EQ(kdgetmsg("Kdm0000002N", "C", sizeof en, en, "fr", sizeof fr, fr, "cannot open %s (%d): %%s", EACCES,
                       "/tmp/100%n%d%", 12), 0);
    EXPECT_EQ(std::pair(std::string(en), std::string(fr)),
              std::pair("cannot open /tmp/100%n%d% (12): " + eacces, eacces + " : ouverture de /tmp/100%n%d% (12) impossible"));
    ASSERT_EQ(kdgetmsg("Kdm0000003N", "C", sizeof en, en, "fr", sizeof fr, fr, "%%s: 100%%%% done", ENOENT), 0);
    EXPECT_EQ(std::pair(std::string(en), std::string(fr)),
              std::pair(enoent + ": 100% done", "[" + enoent + std::string(28 - enoent.size(), ' ') + "] 100% fait"));
}

// A catalog text that would read more than the built-in format passes is never used.
TEST_F(Catalogs, ACatalogTextReadsOnlyWhatTheBuiltInFormatPasses) {
    std::ifstream table(kData + "/format_fits.txt");
    ASSERT_TRUE(table.is_open());
    for (std::string line; std::getline(table, line);) {
        if (line.starts_with('#')) continue;
        std::vector<std::string> f(1);
        for (char c : line) c == '\t' ? f.emplace_back() : f.back() += c;
        ASSERT_EQ(f.size(), 4u) << line;
        EXPECT_EQ(formatFits(f[1].c_str(), f[2] == "-" ? nullptr : f[2].c_str()), f[0] == "1") << f[3];
    }
    const std::pair<const char *, const char *> used[] = {
        {"Grd0000001N", "one arg 7"}, {"Grd0000002N", "one arg 7"}, {"Grd0000003N", "one arg 7"},
        {"Grd0000004N", "7 : arg"}, {"Grd0000005N", "arg seul"}};
    for (const auto &[id, expected] : used) {
        char buf[256];
        ASSERT_EQ(kdgetmsg(id, "C", sizeof buf, buf, nullptr, 0, nullptr, "one %s %d", "arg", 7), 0);
        EXPECT_STREQ(buf, expected) << id;
    }
}

TEST_F(Catalogs, RealToCommonFollowsTheDefinitionFile) {
    fs::copy_file(kData + "/locales.conf", kConf, fs::copy_options::overwrite_existing);
    const char *common = nullptr;
    const std::pair<const char *, const char *> maps[] = {{"C", "C"}, {"fr_FR.UTF-8", "fr"}, {"C.utf8", "u8"},
        {"xyz", "xyc"}, {"POSIX", "POSIX"}, {"en_GB", "gb"}, {"/C/", "C"}, {"//C", "C"}};
    for (const auto &[real, expected] : maps) {
        ASSERT_EQ(real2commonlocale(real, &common), 0) << real << ": " << common;
        EXPECT_STREQ(common, expected) << real;
    }
    for (const char *bad : {"de_DE.UTF-8", "ko", "/C/C/", "fr_FR", ""}) {
        ASSERT_EQ(real2commonlocale(bad, &common), -1) << bad;
        EXPECT_EQ(common, "**LOCALE ERROR** locale <" + std::string(bad) + "> not found in file <" + kConf + ">");
    }
    EXPECT_EQ(real2commonlocale(nullptr, &common), -1);
    ASSERT_EQ(real2commonlocale(std::string(150, 'l').c_str(), &common), -1);
    EXPECT_NE(std::string(common).find("<" + std::string(99, 'l') + ">"), std::string::npos);
    // Without the definition file only "C" has a common name.
    ::unlink(kConf.c_str());
    ASSERT_EQ(real2commonlocale("/C/", &common), -1);
    EXPECT_EQ(common, "**WARNING** Locale definition file <" + kConf + "> not found.  Using defaults");
}

TEST_F(Catalogs, CommonToRealTriesNamesTheSystemAcceptsAndKeepsTheTimeLocale) {
    yqtest::write_file(kConf, "TM 11 xx_YY.UTF-8 2 u8\nTM  7 C.UTF-8 2 u8\nTL  7 C.UTF-8 2 lu\nTM 11 xx_YY.UTF-8 2 zz\n");
    ASSERT_NE(std::setlocale(LC_TIME, "C.UTF-8"), nullptr);
    for (const auto &[common, real] : {std::pair("C", "C"), {"u8", "C.UTF-8"}, {"lu", "C"}, {"zz", "C"}, {"qq", "C"}, {"", "C"}}) {
        EXPECT_STREQ(common2reallocale(common), real) << common;
        EXPECT_STREQ(std::setlocale(LC_TIME, nullptr), "C.UTF-8") << common;
    }
    const char *qq = "qq";
    EXPECT_EQ(::unlink(kConf.c_str()) == 0 ? common2reallocale(qq) : nullptr, qq);
}

TEST_F(Catalogs, KdgetlocaleNamesEveryCategoryInCommonNames) {
    yqtest::write_file(kConf, "TL  1 C 1 C\nTM  7 C.UTF-8 2 u8\nTM 11 xx_YY.UTF-8 2 xx\nTM  5 ww_WW 2 ww\n");
    const std::string ok = "kd getlocale Completed Successfully", vv = "**LOCALE ERROR** locale <vv_VV> not found in file <" + kConf + ">";
    using Env = std::vector<std::pair<const char *, const char *>>;
    // names: messages, ctype, time, collate, numeric
    const struct { Env env; int rc; std::string names, status; } rows[] = {
        {{}, 0, "C C C C C", ok},
        {{{"LC_ALL", "xx_YY.UTF-8"}, {"LC_TIME", "ww_WW"}}, 0, "xx xx xx xx xx", ok},  // LC_ALL the system lacks
        {{{"LC_ALL", ""}, {"LC_TIME", "ww_WW"}}, -1, "C C C C C", "**LOCALE ERROR** locale <> not found in file <" + kConf + ">"},
        {{{"LC_CTYPE", "C.UTF-8"}, {"LC_MESSAGES", "xx_YY.UTF-8"}, {"LC_NUMERIC", "vv_VV"}}, -1, "xx u8 C C C", vv},
        {{{"LC_CTYPE", "vv_VV"}}, 0, "C C C C C", vv},  // an unmapped character type only changes the status
    };
    for (const auto &row : rows) {
        for (const char *v : {"LC_ALL", "LANG", "LANGUAGE", "LC_CTYPE", "LC_TIME", "LC_COLLATE", "LC_NUMERIC", "LC_MESSAGES", "LC_MONETARY"})
            ::unsetenv(v);
        for (const auto &[name, value] : row.env) ::setenv(name, value, 1);
        char n[5][128];
        char *status = nullptr;
        errno = EIO;
        EXPECT_EQ(kdgetlocale(n[0], n[1], n[2], n[3], n[4], &status), row.rc) << row.names;
        EXPECT_EQ(std::pair(errno, n[0] + " "s + n[1] + " " + n[2] + " " + n[3] + " " + n[4] + " " + status),
                  std::pair(0, row.names + " " + row.status));
    }
    EXPECT_STREQ(std::setlocale(LC_CTYPE, nullptr), "C.UTF-8");  // the fourth row's, which could be set
    ::unsetenv("LC_CTYPE");
}

TEST_F(Catalogs, RunningOutOfMemoryNeverGivesAWrongText) {
    const std::string expected = text("C", "YssCra0005N");
    yqtest::for_each_alloc_failure([&] {
        msgCacheUnload(0);
        const char *t = getLocalMsgFmt("C", "YssCra0005N");
        EXPECT_TRUE(t == nullptr || t == expected);
        EXPECT_EQ(getLocalMsgFmt("C", "YssCra0012N"), nullptr);
        char buf[128];
        kdgetmsg("YssCra0037N", "C", sizeof buf, buf, "fr", sizeof buf, buf, "%%s", ENOENT);
        msgCacheUnload(0);
    });
}

}  // namespace
