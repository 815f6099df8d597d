// Service lines: a parsed line written again reads back the same. In-memory
// texts: the record reader delivers exactly the items of a plain model.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ynet.h"
#include "ynet_text_private.h"
#include "ytext.h"

namespace {

#define check(ok) ((ok) ? void() : (std::fprintf(stderr, "ynet_text_fuzz: line %d failed\n", __LINE__), std::abort()))

bool same_text(const char *a, const char *b) { return a == nullptr || b == nullptr ? a == b : std::strcmp(a, b) == 0; }

bool same_entry(const ynet_service_entry *a, const ynet_service_entry *b) {
    bool same = same_text(a->name, b->name) && same_text(a->ipc, b->ipc) &&
                same_text(a->icmd, b->icmd) && same_text(a->dcmd, b->dcmd) && a->pid == b->pid &&
                a->regtime == b->regtime && a->exptime == b->exptime && a->arg_count == b->arg_count;
    for (int i = 0; same && i < a->arg_count; ++i) same = same_text(a->args[i], b->args[i]);
    return same;
}

void service_line(const std::string &text) {
    ynet_service_entry *first = nullptr;
    check(ynet_service_parse(text.c_str(), &first) == 0 && first != nullptr);
    // Parsed values are never empty and never hold a line feed or ';'.
    for (const char *v : {first->name, first->ipc, first->icmd, first->dcmd})
        check(v == nullptr || (*v != '\0' && std::strpbrk(v, ";\n") == nullptr));
    check((first->args == nullptr) == (first->arg_count == 0));
    check(first->args == nullptr || first->args[first->arg_count] == nullptr);

    char *line = nullptr;
    int status = ynet_service_unparse(first, &line);
    check(status == 0 || (status == 2 && line == nullptr));
    ynet_service_entry *again = nullptr;
    if (status == 0) check(ynet_service_parse(line, &again) == 0 && same_entry(first, again));
    ynet_service_free(&again);
    std::free(line);
    ynet_service_free(&first);
}

// Lines end at CR or LF, the unterminated tail is none, a trailing backslash
// joins the next line; comment and blank lines are no items.
std::vector<std::string> model_items(const std::string &text) {
    std::vector<std::string> physical;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i)
        if (text[i] == '\r' || text[i] == '\n') physical.push_back(text.substr(start, i - start)), start = i + 1;
    std::vector<std::string> items;
    for (size_t i = 0; i < physical.size();) {
        std::string line = physical[i++];
        while (!line.empty() && line.back() == '\\' && (line.pop_back(), i < physical.size())) line += physical[i++];
        if (line[0] != '#' && line.find_first_not_of(" \t") != std::string::npos) items.push_back(line);
    }
    return items;
}

void memory_records(const std::string &text) {
    std::vector<std::string> want = model_items(text);
    ytext_handle *h = nullptr;
    check(ytext_open(text.c_str(), YTEXT_MODE_MEMORY, nullptr, nullptr, nullptr, &h) == 0);
    size_t n = 0;
    for (void *item; (item = nullptr, ytext_get_next_item(h, &item) == 0) && item != nullptr; std::free(item))
        check(n < want.size() && want[n++] == static_cast<char *>(item));
    check(n == want.size());
    // By descending indexes, each read starting again from the top, and one past the end.
    ytext_rewind(h);
    for (size_t i = want.size() + 1, reads = 0; i > 0 && reads < 8; i = i * 2 / 3, ++reads) {
        void *item = nullptr;
        check(ytext_get_item(h, static_cast<int>(i - 1), &item) == 0);
        check(i > want.size() ? item == nullptr : item != nullptr && want[i - 1] == static_cast<char *>(item));
        std::free(item);
    }
    check(ytext_close(&h, 0) == 0);

    // The same text as a service file: one entry per logical line.
    ynet_service_entry *list = nullptr;
    check(ynet_read_service(nullptr, text.c_str(), &list) == 0);
    ynet_free_service_list(&list);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::string text(reinterpret_cast<const char *>(data), size);
    text.resize(std::strlen(text.c_str()));
    service_line(text);
    memory_records(text);
    return 0;
}
