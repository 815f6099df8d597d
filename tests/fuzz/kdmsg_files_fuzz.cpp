// The message catalog modules through their files, as the product's
// programs reach them: the first byte picks the locale definition file or a
// catalog file; the second line of a definition input (or the first 7 bytes
// of a catalog input) say what is asked for; the rest is the file, written
// at its place in the sandbox's private product tree. Names handed back fit
// their buffers, messages fit theirs, and every call answers.
#include <sys/stat.h>

#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "fuzz_sandbox.h"
#include "kdmsg.h"
#include "kdmsg_private.h"
#include "yq_paths.h"

namespace {

void check(bool ok) { if (!ok) std::abort(); }

constexpr size_t kName = 100;  // locale names handed back, terminator included
constexpr char kCatalog[] = YQ_PATH_MSG_DIR "/fz/carrow/FuzMsgs";

void write_file(const char *path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void prepare() {
    static const bool done = [] {
        fuzz_sandbox::require();
        ::mkdir(YQ_PATH_MSG_DIR, 0755);
        ::mkdir(YQ_PATH_MSG_DIR "/fz", 0755);
        ::mkdir(YQ_PATH_MSG_DIR "/fz/carrow", 0755);
        disableAutoMsgCacheUnload();
        return true;
    }();
    (void)done;
}

// The C library remembers every locale name it was ever asked to load and
// searches them all on the next attempt: the environment's locale comes from
// this short list (the name asked for when it is one of them), or the run
// slows to a crawl. Installed, empty, unknown, and longer than a name buffer.
const std::string kEnvironmentLocales[] = {"C", "POSIX", "C.utf8", "", "fz_FZ", "fz_FZ.ISO8859-15@euro",
                                           std::string(150, 'f')};

const char *environment_locale(const std::string &wanted) {
    for (const std::string &name : kEnvironmentLocales)
        if (name == wanted) return name.c_str();
    return kEnvironmentLocales[wanted.size() % std::size(kEnvironmentLocales)].c_str();
}

bool fits(const char *name) { return name != nullptr && ::strnlen(name, kName) < kName; }

void definitions(std::string_view input) {
    const size_t end = input.find('\n');
    const std::string wanted(input.substr(0, end));  // up to a NUL, as a caller passes it
    write_file(YQ_PATH_MSG_CONF, end == std::string_view::npos ? std::string_view() : input.substr(end + 1));

    const char *common = nullptr;
    const int mapped = real2commonlocale(wanted.c_str(), &common);
    check(common != nullptr && (mapped == -1 || (mapped == 0 && fits(common) && std::strchr(common, '\n') == nullptr)));
    const char *system = common2reallocale(wanted.c_str());
    check(system != nullptr && (system == wanted.c_str() || fits(system)));

    setenv("LC_ALL", environment_locale(wanted), 1);
    char names[5][kName];
    char *status = nullptr;
    const int got = kdgetlocale(names[0], names[1], names[2], names[3], names[4], &status);
    check((got == 0 || got == -1) && status != nullptr);
    for (const char *name : names) check(fits(name) && name[0] != '\0');
    unsetenv("LC_ALL");
    std::setlocale(LC_ALL, "C");
}

void catalog(std::string_view input) {
    char msgid[] = "Fuz0000001N";
    if (input.size() >= 7 && input.substr(0, 7).find('\0') == std::string_view::npos) {
        std::memcpy(msgid + 3, input.data(), 7);
        input.remove_prefix(7);
    }
    ::unlink(YQ_PATH_MSG_CONF);
    write_file(kCatalog, input);
    const char *text = getLocalMsgFmt("fz", msgid);
    check(text == nullptr || std::strlen(text) <= input.size());
    char first[64], second[512];
    check(kdgetmsg(msgid, "fz", sizeof first, first, "C", sizeof second, second, "%s has %d of %ld", "it", 3, 7L) == 0);
    check(std::strlen(first) < sizeof first && std::strlen(second) < sizeof second);
    check(kdgetmsg(msgid, "fz", sizeof second, second, nullptr, 0, nullptr, "failed: %%s (%s)", 2, "x") == 0);
    check(std::strlen(second) < sizeof second);
    msgCacheUnload(0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0 || size > 1 << 16) return 0;
    prepare();
    const std::string_view rest(reinterpret_cast<const char *>(data) + 1, size - 1);
    if (data[0] & 1)
        catalog(rest);
    else
        definitions(rest);
    return 0;
}
