#include "kdmsg.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "kdmsg_private.h"
#include "yq_paths.h"
#include "yqtest.h"

namespace {

namespace fs = std::filesystem;
using namespace yq::kdmsg;

const std::string kMsgDir = YQ_PATH_MSG_DIR;
const std::string kConf = YQ_PATH_MSG_CONF;

std::string catalogPath(const std::string &locale, const std::string &component, const std::string &prefix) {
    return kMsgDir + "/" + locale + "/" + component + "/" + prefix + "Msgs";
}

void writeCatalog(const std::string &locale, const std::string &component, const std::string &prefix,
                  const std::string &content) {
    fs::create_directories(kMsgDir + "/" + locale + "/" + component);
    yqtest::write_file(catalogPath(locale, component, prefix), content);
}

std::string text(const char *locale, const char *msgid) {
    const char *t = getLocalMsgFmt(locale, msgid);
    return t != nullptr ? t : "<none>";
}

// Each test starts with the sample catalogs in the sandbox's message
// directory, an empty cache and the C locale.
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

// The English security-services texts of the sample catalog, exactly.
const std::vector<std::pair<const char *, const char *>> kEnglish = {
    {"YssCra0001N", "One or more of your command line parameters is invalid or missing."},
    {"YssCra0002N", "One of the internal arguments passed in was invalid."},
    {"YssCra0003N", "This application attempted to use a new version of the Carrow Security binaries than was "
                    "available on this local system.  Please check your installation."},
    {"YssCra0004N", "Failed to load required shared library.  Please check your installation."},
    {"YssCra0005N", "A file required for this operation was not found on disk.  Please check your installation."},
    {"YssCra0006N", "Unable to fork child process."},
    {"YssCra0007N", "Unable to allocate required memory.  Please increase swap space."},
    {"YssCra0008N", "Unable to open required file."},
    {"YssCra0009N", "Communication with Authentication server failed."},
    {"YssCra0010N", "Unable to contact Authentication server."},
    {"YssCra0011N", "Socket connection timeout during data transmission."},
    {"YssCra0013N", "Unable to initialize libraries.  Please check your installation."},
    {"YssCra0014N", "Attempted to communicate with Authentication server on the wrong port number."},
    {"YssCra0015N", "You do not have permission to perform the requested operation."},
    {"YssCra0016N", "Carrow Access Control configuration is invalid or damaged.  Please review setup and "
                    "installation of Carrow Access Control."},
    {"YssCra0017N", "Supplied credential is expired or incorrect.  Please reauthenticate and try again."},
    {"YssCra0018N", "Application called a function out of authentication order.  Please contact your vendor."},
    {"YssCra0019N", "The local Private Domain registry may be damaged.  Please review local Private Domain "
                    "registry."},
    {"YssCra0020N", "That is a reserved Private Domain registry name.  Please choose another."},
    {"YssCra0021N", "Failed to obtain a credential from the broker."},
    {"YssCra0022N", "Domain modification failed.  Please review your local Private Domain registry."},
    {"YssCra0023N", "Principal (user or machine) modification failed.  Please review your local Private Domain "
                    "registry."},
    {"YssCra0024N", "Please supply a credential to complete your operation."},
    {"YssCra0025N", "Failed to create file."},
    {"YssCra0026N", "That authentication type is not supported on this platform."},
    {"YssCra0027N", "Unable to receive credential from specified Broker."},
    {"YssCra0028N", "One or more of Name, Password and domain are incorrect."},
    {"YssCra0029N", "Unable to find specified object in database.  Please check your arguments and try again."},
    {"YssCra0030N", "The authorization server is busy.  Please try again."},
    {"YssCra0031N", "Unable to connect to authorization server.  Please check your -Server argument and try "
                    "again."},
    {"YssCra0032N", "Peer is not trusted.  Please ensure peer's broker is trusted.\n"},
    {"YssCra0033N", "Unexpected error %d occurred."},
    {"YssCra0034N", "Group is not valid in the specified domain.  Check the spelling of the group name and make "
                    "sure the correct domain is specified.  If the group is still not valid, contact your system "
                    "administrator about getting the group added to the domain."},
    {"YssCra0035N", "The selected password is too short.  Password must be longer than 5 characters."},
    {"YssCra0036N", "User is not valid in the specified domain.  Check the spelling of the username and make sure "
                    "the correct domain is specified.  If the user is still not valid, contact your system "
                    "administrator about getting the user added to the domain."},
    {"YssCra0037N", "No home directory is valid or available for the current user.  Please ensure that your home "
                    "directory is set up correctly."},
};

TEST_F(Catalogs, SampleCatalogsHoldEverySecurityServicesMessage) {
    for (const auto &[id, english] : kEnglish) {
        EXPECT_EQ(text("C", id), english) << id;
        const std::string french = text("fr", id);
        EXPECT_NE(french, "<none>") << id;
        EXPECT_NE(french, english) << id;
    }
    EXPECT_EQ(text("C", "YssCra0012N"), "<none>") << "the numbering skips 0012";
    EXPECT_EQ(text("fr", "YssCra0006N"), "Impossible de créer le processus fils.");
    // The C catalog was read once, at the first request.
    ASSERT_NE(cmnLocales, nullptr);
    for (const Locale *l = cmnLocales; l != nullptr; l = l->next) {
        ASSERT_NE(l->files, nullptr) << l->name;
        EXPECT_EQ(l->files->next, nullptr) << l->name;
        EXPECT_EQ(l->files->stream, nullptr) << l->name;
        EXPECT_EQ(l->files->unavailable, 1) << l->name;
        EXPECT_STREQ(l->files->relpath, "carrow/YssMsgs");
    }
}

TEST_F(Catalogs, IdentifiersNeedElevenCharactersAndAKnownComponent) {
    EXPECT_EQ(getLocalMsgFmt("C", "YssCra0001"), nullptr);
    EXPECT_EQ(getLocalMsgFmt("C", "YssCra0001NN"), nullptr);
    EXPECT_EQ(getLocalMsgFmt("C", nullptr), nullptr);
    EXPECT_EQ(getLocalMsgFmt("", "YssCra0001N"), nullptr);
    EXPECT_EQ(getLocalMsgFmt(nullptr, "YssCra0001N"), nullptr);
    // 'Q' names no component; lower case is not 'N'.
    writeCatalog("C", "carrow", "Abc", "AbcCra0001Q \"never\"\nAbcCra0001n \"never\"\n");
    EXPECT_EQ(getLocalMsgFmt("C", "AbcCra0001Q"), nullptr);
    EXPECT_EQ(getLocalMsgFmt("C", "AbcCra0001n"), nullptr);

    char buf[64];
    for (const char *id : {"YssCra0001", "YssCra0001NN"}) {
        ASSERT_EQ(kdgetmsg(id, "C", sizeof buf, buf, nullptr, 0, nullptr, "built-in %d", 7), 0);
        EXPECT_STREQ(buf, "built-in 7") << id;
    }
}

TEST_F(Catalogs, EveryComponentLetterHasItsDirectory) {
    const std::pair<char, const char *> components[] = {
        {'H', "tiering"}, {'N', "carrow"}, {'V', "robotics"}, {'X', "auxcat"}};
    for (const auto &[letter, dir] : components) {
        std::string id = std::string("Kdm0000001") + letter;
        writeCatalog("C", dir, "Kdm", id + " \"from " + dir + "\"\n");
        EXPECT_EQ(text("C", id.c_str()), std::string("from ") + dir);
    }
}

TEST_F(Catalogs, LinesOfAnyLengthAreCachedWhole) {
    // Text lengths around the 8192-byte read chunks: the newline, the closing
    // quote or the text itself falls on a chunk's last byte.
    std::string catalog = "# long lines\n";
    std::vector<std::pair<std::string, std::string>> expected;
    int n = 0;
    for (size_t len : {0ul, 1ul, 8174ul, 8175ul, 8176ul, 8177ul, 8178ul, 16368ul, 16369ul, 16370ul, 20000ul}) {
        char id[16];
        std::snprintf(id, sizeof id, "Lng%07dN", ++n);
        std::string body;
        for (size_t i = 0; i < len; ++i) body += static_cast<char>('a' + (i * 7 + len) % 26);
        catalog += std::string(id) + " \"" + body + "\"\n";
        expected.emplace_back(id, body);
    }
    // A long line of another catalog and one that has no closing quote.
    catalog += "Oth0000001N \"" + std::string(9000, 'x') + "\"\n";
    catalog += "Lng0000099N \"no closing quote\r\n";
    catalog += "Lng0000100N \"after all that\"";
    writeCatalog("C", "carrow", "Lng", catalog);

    for (const auto &[id, body] : expected) {
        const char *t = getLocalMsgFmt("C", id.c_str());
        ASSERT_NE(t, nullptr) << id;
        EXPECT_EQ(std::strlen(t), body.size()) << id;
        EXPECT_EQ(t, body) << id;
    }
    EXPECT_EQ(text("C", "Lng0000099N"), "no closing quote");
    EXPECT_EQ(text("C", "Lng0000100N"), "after all that");
    EXPECT_EQ(text("C", "Oth0000001N"), "<none>");
}

TEST_F(Catalogs, AbsentMessagesAndMissingFilesAreRememberedNotReread) {
    writeCatalog("C", "carrow", "Abs", "Abs0000001N \"present\"\n");
    EXPECT_EQ(text("C", "Abs0000002N"), "<none>");
    // The absence itself is a cache entry, answered without any lookup.
    Message key{};
    std::strcpy(key.id, "Abs0000002N");
    key.locale = "C";
    ASSERT_NE(msgCache, nullptr);
    const auto *absent = static_cast<const Message *>(AVLretrieve(msgCache, &key));
    ASSERT_NE(absent, nullptr);
    EXPECT_EQ(absent->text, nullptr);
    // Now the file has the message, then no file at all: the answers come
    // from the cache either way.
    writeCatalog("C", "carrow", "Abs", "Abs0000001N \"changed\"\nAbs0000002N \"added later\"\n");
    EXPECT_EQ(text("C", "Abs0000002N"), "<none>");
    ::unlink(catalogPath("C", "carrow", "Abs").c_str());
    EXPECT_EQ(text("C", "Abs0000002N"), "<none>");
    EXPECT_EQ(text("C", "Abs0000001N"), "present");
    EXPECT_EQ(text("C", "Abs0000003N"), "<none>");

    // A missing catalog file is not looked for again either.
    EXPECT_EQ(text("C", "Mis0000001N"), "<none>");
    writeCatalog("C", "carrow", "Mis", "Mis0000001N \"too late\"\nMis0000002N \"too late\"\n");
    EXPECT_EQ(text("C", "Mis0000001N"), "<none>");
    EXPECT_EQ(text("C", "Mis0000002N"), "<none>");
    // An empty catalog is read (to its end) once, like any other.
    writeCatalog("C", "carrow", "Emp", "");
    EXPECT_EQ(text("C", "Emp0000001N"), "<none>");
    ASSERT_NE(cmnLocales->files, nullptr);
    EXPECT_STREQ(cmnLocales->files->name, "EmpMsgs");
    EXPECT_EQ(cmnLocales->files->stream, nullptr);
    EXPECT_EQ(cmnLocales->files->unavailable, 1);

    // A locale without a directory serves nothing, and remembers that too.
    EXPECT_EQ(text("de", "YssCra0001N"), "<none>");
    writeCatalog("de", "carrow", "Yss", "YssCra0001N \"zu spät\"\n");
    EXPECT_EQ(text("de", "YssCra0001N"), "<none>");

    // Unloading forgets everything: the files are read afresh.
    EXPECT_EQ(msgCacheUnload(42), 42);
    EXPECT_EQ(msgCache, nullptr);
    EXPECT_EQ(cmnLocales, nullptr);
    EXPECT_EQ(text("C", "Mis0000002N"), "too late");
    EXPECT_EQ(text("de", "YssCra0001N"), "zu spät");
    writeCatalog("C", "carrow", "Abs", "Abs0000002N \"added later\"\n");
    EXPECT_EQ(text("C", "Abs0000002N"), "added later");
}

TEST_F(Catalogs, OnlyMessageLinesOfTheFileCount) {
    writeCatalog("C", "carrow", "Fmt",
                 "# Fmt0000001N \"a comment\"\n"
                 "Fmt0000001N \"first\"\n"
                 "Fmt0000001X \"another component\"\n"
                 "Fmx0000002N \"another prefix\"\n"
                 "\n"
                 "Fmt0000002N\n"
                 "Fmt0000003N \"\"\n"
                 "Fmt0000004N \"say \"hi\" twice\" trailing words\n"
                 "Fmt0000001N \"repeated: the later line wins\"\n");
    EXPECT_EQ(text("C", "Fmt0000001N"), "repeated: the later line wins");
    EXPECT_EQ(text("C", "Fmt0000002N"), "");
    EXPECT_EQ(text("C", "Fmt0000003N"), "");
    EXPECT_EQ(text("C", "Fmt0000004N"), "say \"hi\" twice");
    EXPECT_EQ(text("C", "Fmt0000001X"), "<none>");
    EXPECT_EQ(text("C", "Fmx0000002N"), "<none>");

    // A comment line is never a message, even where its prefix would match.
    writeCatalog("C", "carrow", "#ab", "#abCra0001N \"hidden\"\n");
    EXPECT_EQ(text("C", "#abCra0001N"), "<none>");
}

TEST_F(Catalogs, EscapesAreResolvedWhenCached) {
    writeCatalog("C", "carrow", "Esc",
                 "Esc0000001N \"a\\tb\\\"\n"
                 "Esc0000002N \"\\b\\f\\n\\r\\t\\v|\\\\|\\q|\\\"|\\%\"\n"
                 "Esc0000003N \"caf\xc3\xa9 \\\xc3\xa9t\xc3\xa9\"\n");
    EXPECT_EQ(text("C", "Esc0000001N"), "a\tb");
    EXPECT_EQ(text("C", "Esc0000002N"), "\b\f\n\r\t\v|\\|q|\"|%");
    EXPECT_EQ(text("C", "Esc0000003N"), "caf\xc3\xa9 \xc3\xa9t\xc3\xa9");

    // Under a UTF-8 character type, multibyte characters pass untouched and
    // a backslash before one simply goes.
    ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
    char utf8[] = "\xe2\x82\xac\\t\\\xe2\x82\xac\\n\xff\\";
    resolveEscapes(utf8);
    EXPECT_STREQ(utf8, "\xe2\x82\xac\t\xe2\x82\xac\n\xff");
    std::setlocale(LC_CTYPE, "C");
}

TEST_F(Catalogs, EscapesUseTheCatalogsCharacterTypeAndRestoreTheCallers) {
    yqtest::write_file(kConf, "TM  6 C.utf8 2 u8\n");
    writeCatalog("u8", "carrow", "Utf", "Utf0000001N \"\xe2\x82\xac\\t\\\xe2\x82\xac\"\n");
    const std::string before = std::setlocale(LC_CTYPE, nullptr);
    EXPECT_EQ(text("u8", "Utf0000001N"), "\xe2\x82\xac\t\xe2\x82\xac");
    EXPECT_EQ(std::setlocale(LC_CTYPE, nullptr), before);
    ASSERT_NE(cmnLocales, nullptr);
    EXPECT_STREQ(cmnLocales->name, "u8");
    EXPECT_STREQ(cmnLocales->sysname, "C.utf8");
    EXPECT_EQ(cmnLocales->path, kMsgDir + "/u8");
}

TEST_F(Catalogs, KdgetmsgFillsOneBufferPerLocaleFromTheSameArguments) {
    writeCatalog("C", "carrow", "Kdm", "Kdm0000001N \"copied %d files to %s\"\n");
    writeCatalog("fr", "carrow", "Kdm", "Kdm0000001N \"%d fichiers copiés vers %s\"\n");
    char en[64] = "";
    char fr[64] = "";
    errno = EBADF;
    ASSERT_EQ(kdgetmsg("Kdm0000001N", "C", sizeof en, en, "fr", sizeof fr, fr, "built-in %d %s", 3, "/backup"), 0);
    EXPECT_EQ(errno, EBADF);
    EXPECT_STREQ(en, "copied 3 files to /backup");
    EXPECT_STREQ(fr, "3 fichiers copiés vers /backup");

    // No catalog text: the built-in format, in both buffers.
    ASSERT_EQ(kdgetmsg("Kdm0000009N", "C", sizeof en, en, "de", sizeof fr, fr, "built-in %d %s", 4, "x"), 0);
    EXPECT_STREQ(en, "built-in 4 x");
    EXPECT_STREQ(fr, "built-in 4 x");

    // The second buffer needs its locale; the first is required.
    std::strcpy(fr, "untouched");
    ASSERT_EQ(kdgetmsg("Kdm0000001N", "C", sizeof en, en, nullptr, sizeof fr, fr, "%d %s", 5, "y"), 0);
    EXPECT_STREQ(fr, "untouched");
    EXPECT_EQ(kdgetmsg("Kdm0000001N", nullptr, sizeof en, en, "C", sizeof fr, fr, "%d %s", 5, "y"), -1);
    EXPECT_EQ(kdgetmsg("Kdm0000001N", "C", sizeof en, nullptr, "C", sizeof fr, fr, "%d %s", 5, "y"), -1);
    EXPECT_STREQ(fr, "untouched");

    // Bounded by each buffer's length.
    char small[8];
    ASSERT_EQ(kdgetmsg("Kdm0000001N", "C", sizeof small, small, nullptr, 0, nullptr, "", 3, "/backup"), 0);
    EXPECT_STREQ(small, "copied ");
    std::strcpy(small, "same");
    ASSERT_EQ(kdgetmsg("Kdm0000001N", "C", 0, small, nullptr, 0, nullptr, "", 3, "/backup"), 0);
    EXPECT_STREQ(small, "same");
}

TEST_F(Catalogs, KdgetmsgPutsTheSystemTextForAnErrorNumber) {
    const std::string enoent = std::strerror(ENOENT);
    char buf[256];
    ASSERT_EQ(kdgetmsg("Kdm0000002N", "C", sizeof buf, buf, nullptr, 0, nullptr, "cannot open %s: %%s", ENOENT,
                       "/etc/yq/x"),
              0);
    EXPECT_EQ(std::string(buf), "cannot open /etc/yq/x: " + enoent);

    // The catalog's format places the system text where it wants it; an
    // argument that looks like a format is only text.
    writeCatalog("fr", "carrow", "Kdm",
                 "Kdm0000002N \"%%s : ouverture de %s (%d) impossible\"\n"
                 "Kdm0000003N \"[%%-28s] 100%%%% fait\"\n");
    const std::string eacces = std::strerror(EACCES);
    char en[256];
    char fr[256];
    ASSERT_EQ(kdgetmsg("Kdm0000002N", "C", sizeof en, en, "fr", sizeof fr, fr, "cannot open %s (%d): %%s", EACCES,
                       "/tmp/100%n%d%", 12),
              0);
    EXPECT_EQ(std::string(en), "cannot open /tmp/100%n%d% (12): " + eacces);
    EXPECT_EQ(std::string(fr), eacces + " : ouverture de /tmp/100%n%d% (12) impossible");

    // "%%" stays a percent sign; a catalog format may give the system
    // text's conversion a width or precision.
    ASSERT_EQ(kdgetmsg("Kdm0000003N", "C", sizeof en, en, "fr", sizeof fr, fr, "%%s: 100%%%% done", ENOENT), 0);
    EXPECT_EQ(std::string(en), enoent + ": 100% done");
    char padded[64];
    std::snprintf(padded, sizeof padded, "[%-28s] 100%% fait", enoent.c_str());
    EXPECT_STREQ(fr, padded);
    ASSERT_EQ(kdgetmsg("Kdm0000003N", "C", 12, buf, nullptr, 0, nullptr, "%%s", ENOENT), 0);
    EXPECT_EQ(std::string(buf), enoent.substr(0, 11));
}

// A definition file with valid lines and every kind of broken one.
std::string definitions() {
    return std::string(
    "# comment\n"
    "TL  1 C 1 C\n"
    "TM 11 fr_FR.UTF-8 2 fr\n"
    "TM  6 C.utf8 2 u8\n"
    "TMx3 xyz 3 xyc\n"                      // any character at position 2, no blanks after it
    "TL 5 POSIX 5 posix\n"                  // type L: the name is its own common name
    "TM 10 de_DE.UTF-8 2 de\n"              // length does not match the name
    "TM  5 de_DE\t2 de\n"                   // tab is not a separator
    "TX  5 it_IT 2 it\n"                    // unknown type
    " M  5 es_ES 2 es\n"                    // no T
    "TM  5 pt_PT 2\n"                       // second name missing
    "TM  0  2 nn\n"                         // empty name
    "TM 5pt_BR 2 pt\n"                      // no blank after the length
    "TM  5 ja_JP 3 ja\n"                    // second name too short
    "TM  4 sv_SE 2 sv\n"                    // first name longer than its length
    ) +
    "TM  2 ko 90 " + std::string(90, 'k') + "\n" +  // runs past the line
    // Only the first 99 characters count; the rest is no line of its own.
    "TM  5 nl_NL 2 nl" + std::string(90, ' ') + "TM  5 da_DK 2 da\n" +
    "TM  5 en_GB 2 gb";  // the last line needs no newline
}

TEST_F(Catalogs, RealToCommonFollowsTheDefinitionFile) {
    yqtest::write_file(kConf, definitions());
    const char *common = nullptr;
    const std::pair<const char *, const char *> maps[] = {
        {"C", "C"},   {"fr_FR.UTF-8", "fr"}, {"C.utf8", "u8"}, {"xyz", "xyc"},
        {"POSIX", "POSIX"}, {"nl_NL", "nl"}, {"en_GB", "gb"}, {"/C/", "C"}, {"//C", "C"},
    };
    for (const auto &[real, expected] : maps) {
        ASSERT_EQ(real2commonlocale(real, &common), 0) << real << ": " << common;
        EXPECT_STREQ(common, expected) << real;
    }
    for (const char *bad : {"de_DE.UTF-8", "de_DE", "it_IT", "es_ES", "pt_PT", "pt_BR", "ja_JP", "sv_SE", "ko",
                            "da_DK", "/C/C/", "fr_FR", ""}) {
        ASSERT_EQ(real2commonlocale(bad, &common), -1) << bad;
        EXPECT_EQ(std::string(common),
                  std::string("**LOCALE ERROR** locale <") + bad + "> not found in file <" + kConf + ">");
    }
    EXPECT_EQ(real2commonlocale(nullptr, &common), -1);

    // Names are looked up with their first 99 characters.
    std::string longName(150, 'l');
    ASSERT_EQ(real2commonlocale(longName.c_str(), &common), -1);
    EXPECT_NE(std::string(common).find("<" + std::string(99, 'l') + ">"), std::string::npos);

    // Without the definition file only "C" has a common name.
    ::unlink(kConf.c_str());
    ASSERT_EQ(real2commonlocale("C", &common), 0);
    EXPECT_STREQ(common, "C");
    for (const char *other : {"fr_FR.UTF-8", "/C/"}) {
        ASSERT_EQ(real2commonlocale(other, &common), -1);
        EXPECT_EQ(std::string(common),
                  "**WARNING** Locale definition file <" + kConf + "> not found.  Using defaults");
    }
}

TEST_F(Catalogs, CommonToRealTriesNamesTheSystemAcceptsAndKeepsTheTimeLocale) {
    yqtest::write_file(kConf,
                       "TM 11 xx_YY.UTF-8 2 u8\n"  // not installed: skipped
                       "TM  7 C.UTF-8 2 u8\n"
                       "TL  7 C.UTF-8 2 lu\n"      // type L lines do not count
                       "TM 11 xx_YY.UTF-8 2 zz\n");
    ASSERT_NE(std::setlocale(LC_TIME, "C.UTF-8"), nullptr);
    const std::string before = std::setlocale(LC_TIME, nullptr);
    EXPECT_STREQ(common2reallocale("C"), "C");
    EXPECT_STREQ(common2reallocale("u8"), "C.UTF-8");
    EXPECT_STREQ(common2reallocale("lu"), "C");
    EXPECT_STREQ(common2reallocale("zz"), "C");
    EXPECT_STREQ(common2reallocale("qq"), "C");
    EXPECT_STREQ(common2reallocale(""), "C");
    EXPECT_EQ(std::setlocale(LC_TIME, nullptr), before);
    ::unlink(kConf.c_str());
    const char *qq = "qq";
    EXPECT_EQ(common2reallocale(qq), qq);
    EXPECT_EQ(std::setlocale(LC_TIME, nullptr), before);
    EXPECT_EQ(getregistrylocale(), -1);
}

// Clears every locale variable while it lives, restoring them afterwards.
class CleanLocaleEnvironment {
public:
    CleanLocaleEnvironment() {
        for (const char *v : kVariables) {
            const char *value = std::getenv(v);
            saved_.emplace_back(v, value != nullptr ? std::optional<std::string>(value) : std::nullopt);
            ::unsetenv(v);
        }
    }
    ~CleanLocaleEnvironment() {
        for (const auto &[name, value] : saved_) {
            if (value)
                ::setenv(name, value->c_str(), 1);
            else
                ::unsetenv(name);
        }
        std::setlocale(LC_ALL, "C");
    }

private:
    static constexpr const char *kVariables[] = {"LC_ALL",     "LANG",        "LANGUAGE", "LC_CTYPE",
                                                 "LC_TIME",    "LC_COLLATE",  "LC_NUMERIC",
                                                 "LC_MESSAGES", "LC_MONETARY"};
    std::vector<std::pair<const char *, std::optional<std::string>>> saved_;
};

struct Names {
    char messages[128] = "?";
    char ctype[128] = "?";
    char time[128] = "?";
    char collate[128] = "?";
    char numeric[128] = "?";
    char *status = nullptr;
    int get() {
        errno = EIO;
        return kdgetlocale(messages, ctype, time, collate, numeric, &status);
    }
};

TEST_F(Catalogs, KdgetlocaleNamesEveryCategoryInCommonNames) {
    yqtest::write_file(kConf,
                       "TL  1 C 1 C\n"
                       "TM  7 C.UTF-8 2 u8\n"
                       "TM 11 xx_YY.UTF-8 2 xx\n"
                       "TM  5 ww_WW 2 ww\n");
    CleanLocaleEnvironment env;
    {
        Names n;
        EXPECT_EQ(n.get(), 0);
        EXPECT_EQ(errno, 0);
        EXPECT_STREQ(n.status, "kd getlocale Completed Successfully");
        for (const char *name : {n.messages, n.ctype, n.time, n.collate, n.numeric}) EXPECT_STREQ(name, "C");
    }
    {
        // LC_ALL names a locale the system does not have: every category
        // falls back to its value, which the definition file maps.
        ::setenv("LC_ALL", "xx_YY.UTF-8", 1);
        ::setenv("LC_TIME", "ww_WW", 1);
        Names n;
        EXPECT_EQ(n.get(), 0);
        EXPECT_STREQ(n.status, "kd getlocale Completed Successfully");
        for (const char *name : {n.messages, n.ctype, n.time, n.collate, n.numeric}) EXPECT_STREQ(name, "xx");
        ::unsetenv("LC_ALL");
        ::unsetenv("LC_TIME");
    }
    {
        // An empty LC_ALL is still set: a category the system cannot set
        // takes its empty value, which no definition line maps.
        ::setenv("LC_ALL", "", 1);
        ::setenv("LC_TIME", "ww_WW", 1);
        Names n;
        EXPECT_EQ(n.get(), -1);
        EXPECT_STREQ(n.time, "C");
        EXPECT_STREQ(n.ctype, "C");
        EXPECT_EQ(std::string(n.status), "**LOCALE ERROR** locale <> not found in file <" + kConf + ">");
        ::unsetenv("LC_ALL");
        ::unsetenv("LC_TIME");
    }
    {
        // Per category: one the system has, one only the product knows, one
        // nobody knows.
        ::setenv("LC_CTYPE", "C.UTF-8", 1);
        ::setenv("LC_MESSAGES", "xx_YY.UTF-8", 1);
        ::setenv("LC_NUMERIC", "vv_VV", 1);
        Names n;
        EXPECT_EQ(n.get(), -1);
        EXPECT_EQ(errno, 0);
        EXPECT_STREQ(n.ctype, "u8");
        EXPECT_STREQ(n.messages, "xx");
        EXPECT_STREQ(n.numeric, "C");
        EXPECT_STREQ(n.time, "C");
        EXPECT_STREQ(n.collate, "C");
        EXPECT_EQ(std::string(n.status), "**LOCALE ERROR** locale <vv_VV> not found in file <" + kConf + ">");
        // The process keeps what could be set.
        EXPECT_STREQ(std::setlocale(LC_CTYPE, nullptr), "C.UTF-8");
        ::unsetenv("LC_MESSAGES");
        ::unsetenv("LC_NUMERIC");
    }
    {
        // A character type without a mapping only changes the status.
        ::setenv("LC_CTYPE", "vv_VV", 1);
        Names n;
        EXPECT_EQ(n.get(), 0);
        EXPECT_STREQ(n.ctype, "C");
        EXPECT_EQ(std::string(n.status), "**LOCALE ERROR** locale <vv_VV> not found in file <" + kConf + ">");
    }
}

TEST_F(Catalogs, RunningOutOfMemoryNeverGivesAWrongText) {
    const std::string expected = kEnglish[4].second;
    long points = yqtest::for_each_alloc_failure([&] {
        msgCacheUnload(0);
        const char *t = getLocalMsgFmt("C", "YssCra0005N");
        if (t != nullptr) {
            EXPECT_EQ(t, expected);
        }
        t = getLocalMsgFmt("C", "YssCra0012N");
        EXPECT_EQ(t, nullptr);
        char buf[128];
        kdgetmsg("YssCra0037N", "C", sizeof buf, buf, "fr", sizeof buf, buf, "%%s", ENOENT);
        msgCacheUnload(0);
    });
    EXPECT_GT(points, 40);
    EXPECT_EQ(text("C", "YssCra0005N"), expected);
}

TEST_F(Catalogs, CacheRecordsKeepTheNewerTextAndModeZeroDoesNotCache) {
    ASSERT_EQ(text("C", "YssCra0001N"), kEnglish[0].second);
    ASSERT_NE(msgCache, nullptr);
    const char *locale = cmnLocales->name;

    Message *fresh = newMessage("YssCra0001N", locale, nullptr, 0, 0);
    Message *kept = cacheMsg(fresh, "new \\ttext", 1, nullptr);
    ASSERT_NE(kept, nullptr);
    EXPECT_NE(kept, fresh);
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
    // Fresh processes: nothing has been asked for yet.
    EXPECT_EXIT(
        {
            disableAutoMsgCacheUnload();
            if (useAtExit != 0) std::_Exit(1);
            getLocalMsgFmt("C", "YssCra0001N");
            std::exit(cmnLocales != nullptr ? 3 : 2);
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
