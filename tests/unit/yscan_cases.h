// The cases on which Y_sscanf is compared with the platform's sscanf, read from
// the case file (its head explains the lines); shared with the benchmark.
#ifndef YSCAN_CASES_H
#define YSCAN_CASES_H

#include <cstddef>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace yscan_cases {

using ScanFn = int (*)(const char *, const char *, ...);

constexpr int kAgree = 1000;  // a case without a result of its own

struct ScanCase {
    std::string format, input, locale;
    int ours = kAgree;
    std::string why = {}, like = {};  // like: the platform's format for the same result
};

struct CaseFile {
    std::vector<ScanCase> cases;
    size_t singles = 0;                // cases of "C" lines
};

// Four destinations, each large enough for the input as wide characters (and
// for any case of the file by default), pre-filled with a sentinel so that a
// value written where the other implementation writes nothing shows. Every
// conversion writes through a pointer represented as a void *.
struct Slots {
    size_t each;  // elements of mem per destination
    std::vector<std::max_align_t> mem;
    explicit Slots(size_t input_len = 60)
        : each((input_len + 2) * sizeof(wchar_t) / sizeof(std::max_align_t) + 8), mem(each * 4) {
        std::memset(mem.data(), 0xA5, mem.size() * sizeof mem[0]);
    }
    int scan(ScanFn fn, const std::string &input, const std::string &format) {
        return fn(input.c_str(), format.c_str(), &mem[0], &mem[each], &mem[2 * each], &mem[3 * each]);
    }
};

inline std::vector<std::string> fields(const std::string &line) {
    std::vector<std::string> out(1);
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\t')
            out.emplace_back();
        else if (line[i] != '\\' || i + 1 == line.size())
            out.back() += line[i];
        else if (line[++i] == 'x')
            out.back() += static_cast<char>(std::stoi(line.substr(i + 1, 2), nullptr, 16)), i += 2;
        else
            out.back() += line[i] == 't' ? '\t' : line[i] == 'n' ? '\n' : line[i];
    }
    return out;
}

inline CaseFile load_cases(const char *path) {
    CaseFile file;
    std::ifstream in(path);
    std::vector<std::string> family;
    std::string locale = "C", last;
    for (std::string line; std::getline(in, line); last = line.substr(0, 1)) {
        if (line.starts_with('#')) continue;
        const std::vector<std::string> f = fields(line);
        if (f[0] == "C") {
            const bool own = f.size() > 3, like = own && f[3].starts_with('%');
            ++file.singles;
            file.cases.push_back({f.at(1), f.at(2), locale, own && !like ? std::stoi(f[3]) : kAgree, own ? f.at(4) : "",
                                  like ? f[3] : ""});
        } else if (f[0] == "F") {
            if (last != "F") family.clear();
            family.insert(family.end(), f.begin() + 1, f.end());
        } else if (f[0] == "I") {
            for (const std::string &format : family)
                for (size_t i = 1; i < f.size(); ++i) file.cases.push_back({format, f[i], locale});
        } else if (f[0] == "L") {
            locale = f.at(1);
        }
    }
    return file;
}

}  // namespace yscan_cases

#endif
