// Message formatting and locale names: kdgetmsg over the catalog cache, the
// mapping between system and common locale names through the locale
// definition file, and the common names of the process's locale.
#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <memory>

#include "kdmsg.h"
#include "kdmsg_private.h"
#include "yq_paths.h"
#include "ystrings.h"
#include "yq_memory.h"

namespace yq::kdmsg {

namespace {

constexpr size_t kNameSize = kConfLineSize;
constexpr size_t kMessageSize = 2048;
constexpr size_t kFormatSize = kChunkSize + 1;

char mappedName[kNameSize];         // result of real2commonlocale
char mappingMessage[kMessageSize];  // its message on failure
char systemName[kNameSize];         // result of common2reallocale
char statusText[kMessageSize];      // status of kdgetlocale
char formatBuffer[kFormatSize];     // first pass of a message with a system text

using yq::unique_file;

bool isSpace(char c) { return c == ' '; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Blanks, then a decimal length of 1 to 99, then at least one blank
// and exactly that many characters of a name; false when anything is missing
// or the name runs past the line.
bool takeField(std::string_view line, size_t &pos, std::string_view &name) {
    while (pos < line.size() && isSpace(line[pos])) ++pos;
    size_t length = 0;
    const size_t digits = pos;
    while (pos < line.size() && isDigit(line[pos])) {
        length = length * 10 + static_cast<size_t>(line[pos] - '0');
        if (length >= kConfLineSize) return false;
        ++pos;
    }
    if (pos == digits || length == 0) return false;
    if (pos >= line.size() || !isSpace(line[pos])) return false;
    while (pos < line.size() && isSpace(line[pos])) ++pos;
    if (line.size() - pos < length) return false;
    name = line.substr(pos, length);
    if (name.find_first_of(std::string_view("\n\0", 2)) != std::string_view::npos) return false;
    pos += length;
    return true;
}

// Calls visit(line) for every valid line of the definition file until it
// returns true. Only the first kConfLineSize - 1 characters of a longer line
// count; its rest is skipped, never taken for a line of its own.
template <typename Visit>
void forEachDefinition(FILE *conf, Visit visit) {
    char line[kConfLineSize];
    while (std::fgets(line, sizeof line, conf) != nullptr) {
        const size_t n = std::strlen(line);
        if (n == sizeof line - 1 && line[n - 1] != '\n') {
            int c;
            while ((c = std::getc(conf)) != EOF && c != '\n') {
            }
        }
        LocaleLine parsed;
        if (parseLocaleLine(std::string_view(line, n), parsed) && visit(parsed)) return;
    }
}

// A composite name such as "/C/" that names nothing but "C": the letters
// left once the leading and trailing non-letters are cut.
bool isOnlyC(const char *name) {
    const char *first = name;
    while (*first != '\0' && !isLetter(*first)) ++first;
    const char *last = first + std::strlen(first);
    while (last > first && !isLetter(last[-1])) --last;
    return last - first == 1 && *first == 'C';
}

// ---- format signatures: which arguments a format makes the formatter read

// What the formatter reads for one argument, after the default promotions
// (signedness does not change what is read).
enum class Arg : unsigned char {
    Unused, Int, Long, LongLong, IntMax, Size, PtrDiff, Double, LongDouble, WInt, String, WString, Pointer
};

// A catalog text is used only when both formats read at most this many
// arguments.
constexpr size_t kMaxArgs = 32;
constexpr size_t kNoPosition = 0;
constexpr size_t kBadPosition = kMaxArgs + 1;
constexpr size_t kMostWidthDigits = 4;

struct Signature {
    Arg args[kMaxArgs] = {};
    size_t count = 0;        // arguments read: the highest position
    bool positional = false;
};

// "N$" at i: the position N (i moved past the '$'), kNoPosition when there
// is none (i unmoved), kBadPosition for 0 or a position out of range.
size_t takePosition(std::string_view f, size_t &i) {
    size_t j = i;
    size_t n = 0;
    while (j < f.size() && isDigit(f[j])) {
        n = std::min(n * 10 + static_cast<size_t>(f[j] - '0'), kBadPosition);
        ++j;
    }
    if (j == i || j >= f.size() || f[j] != '$') return kNoPosition;
    i = j + 1;
    return n == 0 ? kBadPosition : n;
}

// Length modifiers, as the formatter groups them.
enum class Length { None, Long, LongLong, IntMax, Size, PtrDiff };

Length takeLength(std::string_view f, size_t &i) {
    auto at = [&](size_t k) { return i + k < f.size() ? f[i + k] : '\0'; };
    switch (at(0)) {
        case 'h': i += at(1) == 'h' ? 2 : 1; return Length::None;
        case 'l':
            if (at(1) != 'l') return ++i, Length::Long;
            i += 2;
            return Length::LongLong;
        case 'q': case 'L': ++i; return Length::LongLong;
        case 'j': ++i; return Length::IntMax;
        case 'z': case 'Z': ++i; return Length::Size;
        case 't': ++i; return Length::PtrDiff;
        default: return Length::None;
    }
}

// The argument a conversion reads; Unused for those that read none, and
// false for %n and anything the comparer does not know.
bool conversionArg(char conversion, Length length, Arg &arg) {
    static constexpr Arg kIntegers[] = {Arg::Int, Arg::Long, Arg::LongLong, Arg::IntMax, Arg::Size, Arg::PtrDiff};
    switch (conversion) {
        case '%': case 'm': arg = Arg::Unused; return true;
        case 'd': case 'i': case 'o': case 'u': case 'x': case 'X':
            arg = kIntegers[static_cast<size_t>(length)];
            return true;
        case 'c': arg = length == Length::Long ? Arg::WInt : Arg::Int; return true;
        case 'C': arg = Arg::WInt; return true;
        case 's': arg = length == Length::Long ? Arg::WString : Arg::String; return true;
        case 'S': arg = Arg::WString; return true;
        case 'p': arg = Arg::Pointer; return true;
        case 'e': case 'E': case 'f': case 'F': case 'g': case 'G': case 'a': case 'A':
            arg = length == Length::LongLong ? Arg::LongDouble : Arg::Double;
            return true;
        default: return false;
    }
}

class SignatureParser {
public:
    // False when the format cannot be compared: %n, an unknown or
    // unfinished conversion, numbered and unnumbered arguments mixed, a
    // numbered conversion that reads nothing, or one position read as two
    // types.
    bool parse(std::string_view f, Signature &sig) {
        sig_ = &sig;
        for (size_t i = 0; i < f.size();) {
            if (f[i++] != '%') continue;
            const size_t position = takePosition(f, i);
            while (i < f.size() && std::string_view("-+ #0'I").find(f[i]) != std::string_view::npos) ++i;
            if (!takeWidth(f, i)) return false;
            if (i < f.size() && f[i] == '.' && !takeWidth(f, ++i)) return false;
            const Length length = takeLength(f, i);
            Arg arg = Arg::Unused;
            if (i >= f.size() || !conversionArg(f[i++], length, arg)) return false;
            // A numbered "%" or "%m" reads nothing, but it still numbers the
            // format for the formatter (and "%0$" puts it out of step with
            // the arguments): refused like any numbering this cannot check.
            if (arg == Arg::Unused ? position != kNoPosition : !use(position, arg)) return false;
        }
        // Positions a numbered format skips are read as int.
        for (size_t k = 0; k < sig.count; ++k)
            if (sig.args[k] == Arg::Unused) sig.args[k] = Arg::Int;
        return true;
    }

private:
    // A width or precision: digits, or '*' that reads an int. A message
    // needs no more than four digits; a longer one would only make the
    // formatter pad (or refuse) a huge field.
    bool takeWidth(std::string_view f, size_t &i) {
        if (i < f.size() && f[i] == '*') return use(takePosition(f, ++i), Arg::Int);
        const size_t start = i;
        while (i < f.size() && isDigit(f[i])) ++i;
        return i - start <= kMostWidthDigits;
    }

    bool use(size_t position, Arg arg) {
        const bool numbered = position != kNoPosition;
        if (used_ && numbered != sig_->positional) return false;
        used_ = true;
        sig_->positional = numbered;
        if (!numbered) position = sig_->count + 1;
        if (position > kMaxArgs) return false;
        Arg &slot = sig_->args[position - 1];
        if (slot != Arg::Unused && slot != arg) return false;
        slot = arg;
        sig_->count = std::max(sig_->count, position);
        return true;
    }

    Signature *sig_ = nullptr;
    bool used_ = false;
};

bool signatureOf(const char *format, Signature &sig) {
    return format == nullptr || SignatureParser().parse(format, sig);
}

// Joins the parts into a message buffer; no formatter, so nothing to run out of.
void compose(char (&dst)[kMessageSize], std::initializer_list<const char *> parts) {
    dst[0] = '\0';
    for (const char *part : parts) Y_strlcat(dst, part, sizeof dst);
}

void copyName(char (&dst)[kNameSize], std::string_view name) {
    Y_strlncpy(dst, name.data(), name.size(), sizeof dst);
}

// Saves the time category and puts it back when it leaves scope. A name too
// long to save is never replaced (`saved` is false then).
class TimeLocaleGuard {
public:
    TimeLocaleGuard() {
        const char *current = std::setlocale(LC_TIME, nullptr);
        saved_ = current != nullptr && Y_strlcpy(name_, current, sizeof name_) == std::strlen(current);
    }
    ~TimeLocaleGuard() {
        if (saved_) std::setlocale(LC_TIME, name_);
    }
    TimeLocaleGuard(const TimeLocaleGuard &) = delete;
    TimeLocaleGuard &operator=(const TimeLocaleGuard &) = delete;
    bool saved() const { return saved_; }

private:
    char name_[1024];
    bool saved_ = false;
};

bool timeAccepts(const char *name) { return name[0] != '\0' && std::setlocale(LC_TIME, name) != nullptr; }

// The second pass of a message with a system text: `text` is the message
// with the caller's arguments already in place; a "%s" conversion in it
// (from an escaped "%%s") takes the system text and "%%" gives "%". Every
// other '%' is copied as it is: it may come from an argument's text, and
// only the system text is there to be formatted.
void placeSystemText(char *buf, size_t size, const char *text, const char *system) {
    size_t used = 0;
    auto put = [&](char c) {
        if (used + 1 < size) buf[used++] = c;
    };
    for (const char *p = text; *p != '\0';) {
        if (*p != '%') {
            put(*p++);
            continue;
        }
        if (p[1] == '%') {
            put('%');
            p += 2;
            continue;
        }
        // %[flags][width][.precision]s
        const char *q = p + 1;
        while (*q != '\0' && std::strchr("-+ #0", *q) != nullptr) ++q;
        while (isDigit(*q)) ++q;
        if (*q == '.') {
            ++q;
            while (isDigit(*q)) ++q;
        }
        const size_t conversionLength = static_cast<size_t>(q - p) + 1;
        char conversion[32];
        if (*q != 's' || conversionLength >= sizeof conversion) {
            put(*p++);
            continue;
        }
        Y_strlncpy(conversion, p, conversionLength, sizeof conversion);
        if (used + 1 < size) {
            const int n = Y_snprintf(buf + used, size - used, conversion, system);
            if (n > 0) used += std::min(static_cast<size_t>(n), size - used - 1);
        }
        p = q + 1;
    }
    if (size > 0) buf[used] = '\0';
}

// One (locale, buffer) pair of kdgetmsg; `args` starts at the first
// variadic argument.
void formatMessage(const char *msgid, const char *locale, int length, char *buf,
                   const char *defaultFormat, va_list args) {
    if (length <= 0) return;
    const auto size = static_cast<size_t>(length);
    buf[0] = '\0';
    va_list ap;
    va_copy(ap, args);
    const bool withSystemText = defaultFormat != nullptr && std::strstr(defaultFormat, "%%s") != nullptr;
    const int errorNumber = withSystemText ? va_arg(ap, int) : 0;
    const char *format = getLocalMsgFmt(locale, msgid);
    if (format == nullptr || !formatFits(format, defaultFormat)) format = defaultFormat;
    if (format != nullptr) {
        if (!withSystemText) {
            Y_vsnprintf(buf, size, format, ap);
        } else {
            formatBuffer[0] = '\0';
            Y_vsnprintf(formatBuffer, sizeof formatBuffer, format, ap);
            placeSystemText(buf, size, formatBuffer, std::strerror(errorNumber));
        }
    }
    va_end(ap);
}

}  // namespace

bool formatFits(const char *text, const char *builtin) noexcept {
    Signature wanted;
    Signature given;
    if (text == nullptr || !signatureOf(text, wanted) || !signatureOf(builtin, given)) return false;
    if (wanted.count > given.count) return false;
    return std::equal(wanted.args, wanted.args + wanted.count, given.args);
}

bool parseLocaleLine(std::string_view line, LocaleLine &out) noexcept {
    // "T", the type, one character of any kind, then the two fields.
    if (line.size() > kConfLineSize - 1) line = line.substr(0, kConfLineSize - 1);
    if (line.size() < 3 || line[0] != 'T' || (line[1] != 'M' && line[1] != 'L') || line[2] == '\0')
        return false;
    size_t pos = 3;
    LocaleLine parsed{line[1], {}, {}};
    if (!takeField(line, pos, parsed.sysname)) return false;
    if (pos >= line.size() || !isSpace(line[pos])) return false;
    if (!takeField(line, pos, parsed.common)) return false;
    out = parsed;
    return true;
}

}  // namespace yq::kdmsg

using namespace yq::kdmsg;

extern "C" {

int kdgetmsg(const char *msgid, const char *locale1, int len1, char *buf1, const char *locale2,
             int len2, char *buf2, const char *default_fmt, ...) noexcept {
    if (locale1 == nullptr || buf1 == nullptr) return -1;
    const yq::ErrnoGuard keepErrno;
    va_list args;
    va_start(args, default_fmt);
    formatMessage(msgid, locale1, len1, buf1, default_fmt, args);
    if (locale2 != nullptr && buf2 != nullptr) formatMessage(msgid, locale2, len2, buf2, default_fmt, args);
    va_end(args);
    return 0;
}

int real2commonlocale(const char *real, const char **common) noexcept {
    const char *ignored = nullptr;
    if (common == nullptr) common = &ignored;
    compose(mappingMessage, {"**WARNING** Locale definition file <", YQ_PATH_MSG_CONF,
                             "> not found.  Using defaults"});
    *common = mappingMessage;
    if (real == nullptr) return -1;

    unique_file conf(std::fopen(YQ_PATH_MSG_CONF, "re"));
    if (!conf) {
        // "C" is the one name that needs no definition file.
        if (std::strcmp(real, "C") != 0) return -1;
        Y_strlcpy(mappedName, "C", sizeof mappedName);
        *common = mappedName;
        return 0;
    }
    if (real[0] == '/' && isOnlyC(real)) {
        Y_strlcpy(mappedName, "C", sizeof mappedName);
        *common = mappedName;
        return 0;
    }

    char name[kNameSize];
    Y_strlcpy(name, real, sizeof name);
    const std::string_view wanted(name);
    bool found = false;
    forEachDefinition(conf.get(), [&](const LocaleLine &line) {
        if (line.sysname != wanted) return false;
        copyName(mappedName, line.type == 'L' ? wanted : line.common);
        found = true;
        return true;
    });
    if (found) {
        *common = mappedName;
        return 0;
    }
    compose(mappingMessage, {"**LOCALE ERROR** locale <", name, "> not found in file <", YQ_PATH_MSG_CONF, ">"});
    return -1;
}

const char *common2reallocale(const char *common) noexcept {
    if (common == nullptr) return "C";
    TimeLocaleGuard guard;
    // Without a way back to the caller's time locale, nothing is tried.
    if (!guard.saved()) return common;
    if (timeAccepts(common)) return common;

    unique_file conf(std::fopen(YQ_PATH_MSG_CONF, "re"));
    if (!conf) return common;
    const std::string_view wanted(common);
    bool found = false;
    forEachDefinition(conf.get(), [&](const LocaleLine &line) {
        if (line.type != 'M' || line.common != wanted) return false;
        copyName(systemName, line.sysname);
        found = timeAccepts(systemName);
        return found;
    });
    return found ? systemName : "C";
}

int kdgetlocale(char *messages, char *ctype, char *time, char *collate, char *numeric,
                char **status) noexcept {
    Y_strlcpy(statusText, "kd getlocale Completed Successfully", sizeof statusText);
    if (status != nullptr) *status = statusText;

    struct Category {
        int category;
        const char *variable;
        char *output;
        char name[kNameSize];
    };
    // The order in which the categories are set and mapped.
    Category categories[] = {
        {LC_CTYPE, "LC_CTYPE", ctype, "C"},          {LC_TIME, "LC_TIME", time, "C"},
        {LC_COLLATE, "LC_COLLATE", collate, "C"},    {LC_NUMERIC, "LC_NUMERIC", numeric, "C"},
        {LC_MESSAGES, "LC_MESSAGES", messages, "C"},
    };

    // The process takes its locale from the environment. A category the
    // system cannot set still gets the name the environment asked for, so
    // the product's own catalogs can serve it: LC_ALL whenever it is in the
    // environment, even empty, else the category's own variable.
    for (Category &c : categories) {
        if (const char *set = std::setlocale(c.category, "")) {
            Y_strlcpy(c.name, set, sizeof c.name);
            continue;
        }
        const char *all = std::getenv("LC_ALL");
        const char *own = std::getenv(c.variable);
        if (all != nullptr)
            Y_strlcpy(c.name, all, sizeof c.name);
        else if (own != nullptr)
            Y_strlcpy(c.name, own, sizeof c.name);
    }

    int result = 0;
    for (Category &c : categories) {
        const char *common = nullptr;
        if (real2commonlocale(c.name, &common) == 0) {
            Y_strlcpy(c.name, common, sizeof c.name);
            continue;
        }
        Y_strlcpy(statusText, common, sizeof statusText);
        Y_strlcpy(c.name, "C", sizeof c.name);
        // Messages are still readable with an unmapped character type.
        if (c.category != LC_CTYPE) result = -1;
    }
    for (Category &c : categories)
        if (c.output != nullptr) Y_strlcpy(c.output, c.name, sizeof c.name);
    errno = 0;
    return result;
}

int getregistrylocale(void) noexcept { return -1; }

}  // extern "C"
