// Captures the report lines the connection modules write to
// ynet_debug_stream (one plain line per report), for the scope of a test.
#ifndef YQTEST_REPORT_H
#define YQTEST_REPORT_H

#include <cstdio>
#include <cstdlib>
#include <string>

#include "ynet.h"

namespace yqtest {

class Reports {
public:
    Reports() {
        stream_ = open_memstream(&text_, &size_);
        ynet_debug_stream = stream_;
    }
    ~Reports() {
        ynet_debug_stream = nullptr;
        std::fclose(stream_);
        std::free(text_);
    }
    Reports(const Reports &) = delete;
    Reports &operator=(const Reports &) = delete;

    // Everything reported so far.
    std::string text() {
        std::fflush(stream_);
        return std::string(text_, size_);
    }
    bool has(const std::string &needle) { return text().find(needle) != std::string::npos; }
    int count(const std::string &needle) {
        std::string t = text();
        int n = 0;
        for (size_t at = t.find(needle); at != std::string::npos; at = t.find(needle, at + 1)) ++n;
        return n;
    }

private:
    char *text_ = nullptr;
    size_t size_ = 0;
    FILE *stream_ = nullptr;
};

}  // namespace yqtest

#endif
