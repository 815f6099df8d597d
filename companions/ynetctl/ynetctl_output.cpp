#include <cstdio>

#include <algorithm>

#include "ynetctl.h"

namespace ynetctl {

void Output::text(const std::string &key, const std::string &value) { fields_.push_back({key, value, true}); }

void Output::number(const std::string &key, long value) { fields_.push_back({key, std::to_string(value), false}); }

namespace {

std::string json_string(const std::string &text) {
    std::string quoted = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            quoted += escape;
        } else {
            quoted += static_cast<char>(c);
        }
    }
    return quoted + "\"";
}

}  // namespace

void Output::print(bool json, bool tty) const {
    if (json) {
        std::string line = "{";
        for (size_t i = 0; i < fields_.size(); ++i) {
            const Field &field = fields_[i];
            line += (i == 0 ? "" : ", ") + json_string(field.key) + ": " +
                    (field.quoted ? json_string(field.value) : field.value);
        }
        std::printf("%s}\n", line.c_str());
        return;
    }
    size_t width = 0;
    for (const Field &field : fields_) width = std::max(width, field.key.size());
    for (const Field &field : fields_) {
        if (tty)
            std::printf("%-*s  %s\n", static_cast<int>(width), field.key.c_str(), field.value.c_str());
        else
            std::printf("%s=%s\n", field.key.c_str(), field.value.c_str());
    }
}

}  // namespace ynetctl
