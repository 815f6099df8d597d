#include "kdmsg.h"

#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "kdmsg_private.h"
#include "yq_paths.h"
#include "yqtest.h"

namespace {

namespace fs = std::filesystem;
using namespace yq::kdmsg;

const std::string kMsgDir = YQ_PATH_MSG_DIR;
const std::string kConf = YQ_PATH_MSG_CONF;
const std::string kMissing = "<none>";

std::string catalogPath(const std::string &locale, const std::string &dir, const std::string &prefix) {
    return kMsgDir + "/" + locale + "/" + dir + "/" + prefix + "Msgs";
}

void writeCatalog(const std::string &locale, const std::string &dir, const std::string &prefix,
                  const std::string &content) {
    fs::create_directories(kMsgDir + "/" + locale + "/" + dir);
    yqtest::write_file(catalogPath(locale, dir, prefix), content);
}

std::string text(const char *locale, const char *msgid) {
    const char *t = getLocalMsgFmt(locale, msgid);
    return t != nullptr ? t : kMissing;
}

struct Expected {
    std::string id;
    std::string text;
};

void expectTexts(const char *locale, const std::vector<Expected> &rows) {
    for (const Expected &row : rows) EXPECT_TRUE(text(locale, row.id.c_str()) == row.text) << locale << " " << row.id;
}

// Each test starts with the sample catalogs, an empty cache and the C locale.
class Catalogs : public ::testing::Test {
protected:
    void SetUp() override {
        msgCacheUnload(0);
        yqtest::remove_tree(kMsgDir);
        fs::copy(YQ_MSG_SAMPLES, kMsgDir, fs::copy_options::recursive);
        std::setlocale(LC_ALL, "C");
    }
    void TearDown() override {
        msgCacheUnload(0);
        std::setlocale(LC_ALL, "C");
    }
    yqtest::SysGuard guard_;
};

TEST_F(Catalogs, SampleCatalogsHoldEverySecurityServicesMessageInBothLocales) {
    for (int n = 1; n <= 37; ++n) {
        char id[16];
        std::snprintf(id, sizeof id, "YssCra%04dN", n);
        const std::string english = text("C", id);
        const std::string french = text("fr", id);
        if (n == 12) {  // the numbering skips 0012
            EXPECT_EQ(english, kMissing);
            continue;
        }
        EXPECT_NE(english, kMissing) << id;
        EXPECT_NE(french, kMissing) << id;
        EXPECT_NE(french, english) << id;
    }
    expectTexts("C", {{"YssCra0032N", "Peer is not trusted.  Please ensure peer's broker is trusted.\n"},
                      {"YssCra0033N", "Unexpected error %d occurred."}});
    expectTexts("fr", {{"YssCra0006N", "Impossible de créer le processus fils."}});
}

TEST_F(Catalogs, CatalogLinesAndIdentifiers) {
    for (const char *dir : {"tiering", "carrow", "robotics", "auxcat"})
        writeCatalog("C", dir, "Kdm", std::string("Kdm0000001H \"H\"\nKdm0000001N \"N\"\nKdm0000001V \"V\"\n") +
                                          "Kdm0000001X \"X\"\nKdm0000001Q \"Q\"\nKdm0000001n \"n\"\n");
    writeCatalog("C", "carrow", "Fmt",
                 "# Fmt0000001N \"a comment\"\nFmt0000001N \"first\"\nFmt0000001X \"another component\"\n"
                 "Fmx0000002N \"another prefix\"\n\nFmt0000002N\nFmt0000003N \"\"\n"
                 "Fmt0000004N \"say \"hi\" twice\" trailing words\n"
                 "Fmt0000005N \"\\b\\f\\n\\r\\t\\v|\\\\|\\q|\\\"|\\%\"\n"
                 "Fmt0000006N \"a\\tb\\\"\nFmt0000007N \"caf\xc3\xa9 \\\xc3\xa9t\xc3\xa9\"\n"
                 "Fmt0000001N \"repeated: the later line wins\"\n");
    writeCatalog("C", "carrow", "#ab", "#abCra0001N \"hidden\"\n");
    expectTexts("C", {
        {"Kdm0000001H", "H"}, {"Kdm0000001N", "N"}, {"Kdm0000001V", "V"}, {"Kdm0000001X", "X"},
        {"Kdm0000001Q", kMissing}, {"Kdm0000001n", kMissing},  // no component; lower case is not 'N'
        {"Kdm000001N", kMissing}, {"Kdm00000001N", kMissing},  // 10 and 12 characters
        {"Fmt0000001N", "repeated: the later line wins"}, {"Fmt0000002N", ""}, {"Fmt0000003N", ""},
        {"Fmt0000004N", "say \"hi\" twice"}, {"Fmt0000005N", "\b\f\n\r\t\v|\\|q|\"|%"},
        {"Fmt0000006N", "a\tb"}, {"Fmt0000007N", "caf\xc3\xa9 \xc3\xa9t\xc3\xa9"},
        {"Fmt0000001X", kMissing}, {"Fmx0000002N", kMissing}, {"#abCra0001N", kMissing},
    });
    EXPECT_EQ(getLocalMsgFmt("C", nullptr), nullptr);
    EXPECT_EQ(getLocalMsgFmt("", "YssCra0001N"), nullptr);
    EXPECT_EQ(getLocalMsgFmt(nullptr, "YssCra0001N"), nullptr);
}

TEST_F(Catalogs, LinesOfAnyLengthAreCachedWhole) {
    // The newline, the closing quote or the text itself on a chunk's last byte.
    std::string catalog = "# long lines\n";
    std::vector<Expected> rows;
    for (size_t len : {0ul, 1ul, 8174ul, 8175ul, 8176ul, 8177ul, 8178ul, 16368ul, 16369ul, 16370ul, 20000ul}) {
        std::string body;
        for (size_t i = 0; i < len; ++i) body += static_cast<char>('a' + (i * 7 + len) % 26);
        rows.push_back({"Lng" + std::to_string(1000000 + len) + "N", body});
        catalog += rows.back().id + " \"" + body + "\"\n";
    }
    catalog += "Oth0000001N \"" + std::string(9000, 'x') + "\"\n";
    catalog += "Lng0000099N \"no closing quote\r\nLng0000100N \"after all that\"";
    writeCatalog("C", "carrow", "Lng", catalog);
    rows.push_back({"Lng0000099N", "no closing quote"});
    rows.push_back({"Lng0000100N", "after all that"});
    rows.push_back({"Oth0000001N", kMissing});
    expectTexts("C", rows);
}

TEST_F(Catalogs, AbsencesAndMissingFilesAreRememberedUntilUnload) {
    writeCatalog("C", "carrow", "Abs", "Abs0000001N \"present\"\n");
    writeCatalog("C", "carrow", "Emp", "");
    expectTexts("C", {{"Abs0000002N", kMissing}, {"Mis0000001N", kMissing}, {"Emp0000001N", kMissing}});
    EXPECT_EQ(text("de", "YssCra0001N"), kMissing);
    ASSERT_NE(cmnLocales, nullptr);
    // Every file was read to its end once and closed.
    for (const CatalogFile *f = cmnLocales->next->files; f != nullptr; f = f->next) {
        EXPECT_EQ(f->stream, nullptr) << f->name;
        EXPECT_EQ(f->unavailable, 1) << f->name;
    }
    // Later changes to the files are not seen: every answer is cached.
    writeCatalog("C", "carrow", "Abs", "Abs0000001N \"changed\"\nAbs0000002N \"added later\"\n");
    writeCatalog("C", "carrow", "Mis", "Mis0000001N \"too late\"\nMis0000002N \"too late\"\n");
    writeCatalog("de", "carrow", "Yss", "YssCra0001N \"zu spät\"\n");
    expectTexts("C", {{"Abs0000001N", "present"}, {"Abs0000002N", kMissing}, {"Mis0000002N", kMissing}});
    EXPECT_EQ(text("de", "YssCra0001N"), kMissing);

    EXPECT_EQ(msgCacheUnload(42), 42);
    EXPECT_EQ(cmnLocales, nullptr);
    expectTexts("C", {{"Abs0000002N", "added later"}, {"Mis0000002N", "too late"}});
    EXPECT_EQ(text("de", "YssCra0001N"), "zu spät");
}

TEST_F(Catalogs, EscapesFollowTheCatalogsCharacterTypeAndRestoreTheCallers) {
    // Under UTF-8, multibyte characters pass untouched and a backslash
    // before one simply goes; a trailing backslash is dropped.
    ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
    char utf8[] = "\xe2\x82\xac\\t\\\xe2\x82\xac\\n\xff\\";
    resolveEscapes(utf8);
    EXPECT_STREQ(utf8, "\xe2\x82\xac\t\xe2\x82\xac\n\xff");
    std::setlocale(LC_CTYPE, "C");

    yqtest::write_file(kConf, "TM  6 C.utf8 2 u8\n");
    writeCatalog("u8", "carrow", "Utf", "Utf0000001N \"\xe2\x82\xac\\t\\\xe2\x82\xac\"\n");
    EXPECT_EQ(text("u8", "Utf0000001N"), "\xe2\x82\xac\t\xe2\x82\xac");
    EXPECT_STREQ(std::setlocale(LC_CTYPE, nullptr), "C");
    EXPECT_STREQ(cmnLocales->sysname, "C.utf8");
}

TEST_F(Catalogs, KdgetmsgFillsOneBufferPerLocaleFromTheSameArguments) {
    writeCatalog("C", "carrow", "Kdm", "Kdm0000001N \"copied %d files to %s\"\n");
    writeCatalog("fr", "carrow", "Kdm", "Kdm0000001N \"%d fichiers copiés vers %s\"\n");
    char en[64] = "";
    char fr[64] = "";
    errno = EBADF;
    ASSERT_EQ(kdgetmsg("Kdm0000001N", "C", sizeof en, en, "fr", sizeof fr, fr, "built-in %d %s", 3, "/b"), 0);
    EXPECT_EQ(errno, EBADF);
    EXPECT_STREQ(en, "copied 3 files to /b");
    EXPECT_STREQ(fr, "3 fichiers copiés vers /b");
    ASSERT_EQ(kdgetmsg("Kdm0000009N", "C", sizeof en, en, "de", sizeof fr, fr, "built-in %d %s", 4, "x"), 0);
    EXPECT_STREQ(en, "built-in 4 x");
    EXPECT_STREQ(fr, "built-in 4 x");

    // The second buffer needs its locale; the first pair is required.
    std::strcpy(fr, "untouched");
    ASSERT_EQ(kdgetmsg("Kdm0000001N", "C", sizeof en, en, nullptr, sizeof fr, fr, "%d %s", 5, "y"), 0);
    EXPECT_EQ(kdgetmsg("Kdm0000001N", nullptr, sizeof en, en, "C", sizeof fr, fr, "%d %s", 5, "y"), -1);
    EXPECT_EQ(kdgetmsg("Kdm0000001N", "C", sizeof en, nullptr, "C", sizeof fr, fr, "%d %s", 5, "y"), -1);
    EXPECT_STREQ(fr, "untouched");
    // Bounded by each buffer's length.
    ASSERT_EQ(kdgetmsg("Kdm0000001N", "C", 8, en, nullptr, 0, nullptr, "%d %s", 3, "/b"), 0);
    EXPECT_STREQ(en, "copied ");
    ASSERT_EQ(kdgetmsg("Kdm0000001N", "C", 0, fr, nullptr, 0, nullptr, "%d %s", 3, "/b"), 0);
    EXPECT_STREQ(fr, "untouched");
}

TEST_F(Catalogs, KdgetmsgPutsTheSystemTextForAnErrorNumber) {
    const std::string enoent = std::strerror(ENOENT);
    const std::string eacces = std::strerror(EACCES);
    writeCatalog("fr", "carrow", "Kdm",
                 "Kdm0000002N \"%%s : ouverture de %s (%d) impossible\"\n"
                 "Kdm0000003N \"[%%-28s] 100%%%% fait\"\n");
    char en[256];
    char fr[256];
    // An argument that looks like a format is only text.
    ASSERT_EQ(kdgetmsg("Kdm0000002N", "C", sizeof en, en, "fr", sizeof fr, fr, "cannot open %s (%d): %%s", EACCES,
                       "/tmp/100%n%d%", 12),
              0);
    EXPECT_EQ(std::string(en), "cannot open /tmp/100%n%d% (12): " + eacces);
    EXPECT_EQ(std::string(fr), eacces + " : ouverture de /tmp/100%n%d% (12) impossible");
    // "%%" stays a percent sign; the system text's conversion may have a width.
    ASSERT_EQ(kdgetmsg("Kdm0000003N", "C", sizeof en, en, "fr", sizeof fr, fr, "%%s: 100%%%% done", ENOENT), 0);
    EXPECT_EQ(std::string(en), enoent + ": 100% done");
    char padded[64];
    std::snprintf(padded, sizeof padded, "[%-28s] 100%% fait", enoent.c_str());
    EXPECT_STREQ(fr, padded);
    ASSERT_EQ(kdgetmsg("Kdm0000003N", "C", 12, en, nullptr, 0, nullptr, "%%s", ENOENT), 0);
    EXPECT_EQ(std::string(en), enoent.substr(0, 11));
}

TEST(FormatFits, ACatalogTextReadsOnlyWhatTheBuiltInFormatPasses) {
    struct Row {
        const char *text;
        const char *builtin;
        bool fits;
        const char *what;
    };
    const Row rows[] = {
        {"%d fichiers vers %s", "copied %d files to %s", true, "same conversions"},
        {"%s", "%s %d", true, "fewer arguments"},
        {"no arguments 100%%", nullptr, true, "no built-in format, no arguments"},
        {"%s", nullptr, false, "no built-in format passes nothing"},
        {"%s%s%s%s%s%s%s%s", "%s", false, "more arguments"},
        {"%d", "%s", false, "another type"},
        {"%ld", "%d", false, "another length"},
        {"%u %X %hhd %c", "%d %i %hd %o", true, "signedness and promoted lengths read an int"},
        {"%lld", "%qd", true, "ll and q are one length"},
        {"%Lf", "%f", false, "long double is not double"},
        {"%e %G %a", "%f %lf %F", true, "every double conversion"},
        {"%ls", "%s", false, "wide string"},
        {"%p", "%s", false, "pointer is not string"},
        {"%n", "%n", false, "%n writes"},
        {"%s %n", "%s %d", false, "%n after a fitting conversion"},
        {"%*d", "%d", false, "* reads an int first"},
        {"%*d", "%d %d", true, "* and the value"},
        {"%-*.*s", "%d %d %s", true, "width and precision"},
        {"%'#+ 010.3lx", "%lu", true, "flags, width and precision read nothing"},
        {"%2$s %1$d", "%d %s", true, "numbered arguments reordered"},
        {"%2$s", "%d %s", true, "numbered: a skipped int"},
        {"%2$s", "%f %s", false, "numbered: a skipped position is read as an int"},
        {"%3$s", "%d %s", false, "numbered: past the last"},
        {"%1$s %s", "%s %s", false, "numbered and unnumbered mixed"},
        {"%1$*2$d", "%d %d", true, "numbered width"},
        {"%1$s %1$d", "%s", false, "one position, two types"},
        {"%0$s", "%s", false, "position 0"},
        {"%m: %s", "%s", true, "%m reads nothing"},
        {"trailing %", "%s", false, "unfinished conversion"},
        {"%y", "%s", false, "unknown conversion"},
        {"%s", "%s %n", false, "a built-in format that cannot be compared"},
    };
    for (const Row &row : rows) EXPECT_EQ(formatFits(row.text, row.builtin), row.fits) << row.what;
}

TEST_F(Catalogs, ACatalogTextThatWouldReadMoreThanIsPassedIsNotUsed) {
    writeCatalog("C", "carrow", "Grd",
                 "Grd0000001N \"%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s%s\"\n"
                 "Grd0000002N \"%s%n\"\nGrd0000003N \"%s et %s\"\nGrd0000004N \"%2$d : %1$s\"\n"
                 "Grd0000005N \"%s seul\"\n");
    const std::vector<Expected> rows = {
        {"Grd0000001N", "one arg 7"}, {"Grd0000002N", "one arg 7"}, {"Grd0000003N", "one arg 7"},
        {"Grd0000004N", "7 : arg"}, {"Grd0000005N", "arg seul"}};
    for (const Expected &row : rows) {
        char buf[256];
        ASSERT_EQ(kdgetmsg(row.id.c_str(), "C", sizeof buf, buf, nullptr, 0, nullptr, "one %s %d", "arg", 7), 0);
        EXPECT_EQ(buf, row.text) << row.id;
    }
}

TEST_F(Catalogs, RealToCommonFollowsTheDefinitionFile) {
    yqtest::write_file(kConf, std::string("# comment\nTL  1 C 1 C\nTM 11 fr_FR.UTF-8 2 fr\nTM  6 C.utf8 2 u8\n"
                                          "TMx3 xyz 3 xyc\n"         // any character at position 2
                                          "TL 5 POSIX 5 posix\n"     // type L: its own common name
                                          "TM 10 de_DE.UTF-8 2 de\n" // length does not match
                                          "TM  5 de_DE\t2 de\nTX  5 it_IT 2 it\n M  5 es_ES 2 es\n"
                                          "TM  5 pt_PT 2\nTM  0  2 nn\nTM 5pt_BR 2 pt\nTM  5 ja_JP 3 ja\n"
                                          "TM  4 sv_SE 2 sv\n") +
                                  "TM  2 ko 90 " + std::string(90, 'k') + "\n" +  // runs past the line
                                  "TM  5 nl_NL 2 nl" + std::string(90, ' ') + "TM  5 da_DK 2 da\n" +
                                  "TM  5 en_GB 2 gb");  // no newline at the end
    const char *common = nullptr;
    const std::pair<const char *, const char *> maps[] = {
        {"C", "C"}, {"fr_FR.UTF-8", "fr"}, {"C.utf8", "u8"}, {"xyz", "xyc"}, {"POSIX", "POSIX"},
        {"nl_NL", "nl"}, {"en_GB", "gb"}, {"/C/", "C"}, {"//C", "C"}};
    for (const auto &[real, expected] : maps) {
        ASSERT_EQ(real2commonlocale(real, &common), 0) << real << ": " << common;
        EXPECT_STREQ(common, expected) << real;
    }
    for (const char *bad : {"de_DE.UTF-8", "de_DE", "it_IT", "es_ES", "pt_PT", "pt_BR", "ja_JP", "sv_SE", "ko",
                            "da_DK", "/C/C/", "fr_FR", ""}) {
        ASSERT_EQ(real2commonlocale(bad, &common), -1) << bad;
        EXPECT_EQ(common, "**LOCALE ERROR** locale <" + std::string(bad) + "> not found in file <" + kConf + ">");
    }
    EXPECT_EQ(real2commonlocale(nullptr, &common), -1);
    ASSERT_EQ(real2commonlocale(std::string(150, 'l').c_str(), &common), -1);
    EXPECT_NE(std::string(common).find("<" + std::string(99, 'l') + ">"), std::string::npos);

    // Without the definition file only "C" has a common name.
    ::unlink(kConf.c_str());
    ASSERT_EQ(real2commonlocale("C", &common), 0);
    EXPECT_STREQ(common, "C");
    ASSERT_EQ(real2commonlocale("/C/", &common), -1);
    EXPECT_EQ(common, "**WARNING** Locale definition file <" + kConf + "> not found.  Using defaults");
}

TEST_F(Catalogs, CommonToRealTriesNamesTheSystemAcceptsAndKeepsTheTimeLocale) {
    yqtest::write_file(kConf, "TM 11 xx_YY.UTF-8 2 u8\nTM  7 C.UTF-8 2 u8\nTL  7 C.UTF-8 2 lu\n"
                              "TM 11 xx_YY.UTF-8 2 zz\n");
    ASSERT_NE(std::setlocale(LC_TIME, "C.UTF-8"), nullptr);
    const std::pair<const char *, const char *> rows[] = {
        {"C", "C"}, {"u8", "C.UTF-8"}, {"lu", "C"}, {"zz", "C"}, {"qq", "C"}, {"", "C"}};
    for (const auto &[common, real] : rows) {
        EXPECT_STREQ(common2reallocale(common), real) << common;
        EXPECT_STREQ(std::setlocale(LC_TIME, nullptr), "C.UTF-8") << common;
    }
    ::unlink(kConf.c_str());
    const char *qq = "qq";
    EXPECT_EQ(common2reallocale(qq), qq);
    EXPECT_EQ(getregistrylocale(), -1);
}

TEST_F(Catalogs, KdgetlocaleNamesEveryCategoryInCommonNames) {
    yqtest::write_file(kConf, "TL  1 C 1 C\nTM  7 C.UTF-8 2 u8\nTM 11 xx_YY.UTF-8 2 xx\nTM  5 ww_WW 2 ww\n");
    const std::string ok = "kd getlocale Completed Successfully";
    const auto unmapped = [](const char *name) {
        return "**LOCALE ERROR** locale <" + std::string(name) + "> not found in file <" + kConf + ">";
    };
    struct Row {
        std::vector<std::pair<const char *, const char *>> env;
        int rc;
        const char *names[5];  // messages, ctype, time, collate, numeric
        std::string status;
        const char *what;
    };
    const Row rows[] = {
        {{}, 0, {"C", "C", "C", "C", "C"}, ok, "nothing set"},
        {{{"LC_ALL", "xx_YY.UTF-8"}, {"LC_TIME", "ww_WW"}}, 0, {"xx", "xx", "xx", "xx", "xx"}, ok,
         "LC_ALL the system lacks: every category falls back to it"},
        {{{"LC_ALL", ""}, {"LC_TIME", "ww_WW"}}, -1, {"C", "C", "C", "C", "C"}, unmapped(""),
         "an empty LC_ALL is still set"},
        {{{"LC_CTYPE", "C.UTF-8"}, {"LC_MESSAGES", "xx_YY.UTF-8"}, {"LC_NUMERIC", "vv_VV"}}, -1,
         {"xx", "u8", "C", "C", "C"}, unmapped("vv_VV"), "one the system has, one the product knows, one unknown"},
        {{{"LC_CTYPE", "vv_VV"}}, 0, {"C", "C", "C", "C", "C"}, unmapped("vv_VV"),
         "an unmapped character type only changes the status"},
    };
    const char *const variables[] = {"LC_ALL", "LANG", "LANGUAGE", "LC_CTYPE", "LC_TIME", "LC_COLLATE",
                                     "LC_NUMERIC", "LC_MESSAGES", "LC_MONETARY"};
    for (const Row &row : rows) {
        for (const char *v : variables) ::unsetenv(v);
        for (const auto &[name, value] : row.env) ::setenv(name, value, 1);
        char names[5][128];
        char *status = nullptr;
        errno = EIO;
        EXPECT_EQ(kdgetlocale(names[0], names[1], names[2], names[3], names[4], &status), row.rc) << row.what;
        EXPECT_EQ(errno, 0) << row.what;
        for (int i = 0; i < 5; ++i) EXPECT_STREQ(names[i], row.names[i]) << row.what << " #" << i;
        EXPECT_EQ(status, row.status) << row.what;
    }
    // The process keeps what could be set.
    ::setenv("LC_CTYPE", "C.UTF-8", 1);
    char names[5][128];
    kdgetlocale(names[0], names[1], names[2], names[3], names[4], nullptr);
    EXPECT_STREQ(std::setlocale(LC_CTYPE, nullptr), "C.UTF-8");
    for (const char *v : variables) ::unsetenv(v);
}

TEST_F(Catalogs, RunningOutOfMemoryNeverGivesAWrongText) {
    const std::string expected = text("C", "YssCra0005N");
    long points = yqtest::for_each_alloc_failure([&] {
        msgCacheUnload(0);
        const char *t = getLocalMsgFmt("C", "YssCra0005N");
        EXPECT_TRUE(t == nullptr || t == expected);
        EXPECT_EQ(getLocalMsgFmt("C", "YssCra0012N"), nullptr);
        char buf[128];
        kdgetmsg("YssCra0037N", "C", sizeof buf, buf, "fr", sizeof buf, buf, "%%s", ENOENT);
        msgCacheUnload(0);
    });
    EXPECT_GT(points, 40);
}

TEST_F(Catalogs, CachingKeepsTheNewerTextAndModeZeroDoesNotCache) {
    ASSERT_NE(text("C", "YssCra0001N"), kMissing);
    const char *locale = cmnLocales->name;
    Message *kept = cacheMsg(newMessage("YssCra0001N", locale, nullptr, 0, 0), "new \\ttext", 1, nullptr);
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(text("C", "YssCra0001N"), "new \ttext");
    // An absence does not wipe a text.
    EXPECT_EQ(cacheMsg(newMessage("YssCra0001N", locale, nullptr, 0, 0), nullptr, -1, nullptr), kept);
    EXPECT_EQ(text("C", "YssCra0001N"), "new \ttext");
    Message *loose = cacheMsg(newMessage("YssCra0099N", locale, nullptr, 0, 0), "x\\n", 0, nullptr);
    ASSERT_NE(loose, nullptr);
    EXPECT_STREQ(loose->text, "x\n");
    EXPECT_EQ(AVLretrieve(msgCache, loose), nullptr);
    destroyMsg(loose);
}

TEST(CatalogLifetime, AutomaticUnloadCanBeTurnedOffOnlyBeforeFirstUse) {
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(
        {
            disableAutoMsgCacheUnload();
            getLocalMsgFmt("C", "YssCra0001N");
            std::exit(useAtExit == 0 && cmnLocales != nullptr ? 3 : 2);
        },
        ::testing::ExitedWithCode(3), "");
    EXPECT_EXIT(
        {
            getLocalMsgFmt("C", "YssCra0001N");
            disableAutoMsgCacheUnload();
            std::exit(useAtExit == 1 ? 4 : 5);
        },
        ::testing::ExitedWithCode(4), "");
}

}  // namespace
