#include "yqtest.h"

#include <ftw.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace yqtest {

void SandboxCheck::SetUp() {
    const char *flag = std::getenv("YQ_SANDBOX");
    if (flag == nullptr || std::strcmp(flag, "1") != 0) {
        std::fprintf(stderr, "refusing to run outside tests/sandbox/yq-sandbox\n");
        std::abort();
    }
}

std::string scratch_dir() {
    const char *dir = std::getenv("YQ_SANDBOX_DIR");
    return dir != nullptr ? dir : "/tmp";
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void write_file(const std::string &path, const std::string &content, int mode) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    out.close();
    ::chmod(path.c_str(), static_cast<mode_t>(mode));
}

void write_file_dated(const std::string &path, const std::string &content, long mtime) {
    write_file(path, content);
    struct timeval times[2] = {{mtime, 0}, {mtime, 0}};
    ::utimes(path.c_str(), times);
}

bool exists(const std::string &path) {
    struct stat st{};
    return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> read_lines(const std::string &path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

void remove_tree(const std::string &path) {
    ::nftw(
        path.c_str(),
        [](const char *p, const struct stat *, int, struct FTW *) { return ::remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

namespace {

long g_calls = 0;
long g_fail_at = 0;
bool g_sticky = false;

bool should_fail() {
    ++g_calls;
    return g_calls == g_fail_at || (g_sticky && g_calls > g_fail_at);
}

void *failing_malloc(size_t n) { return should_fail() ? nullptr : std::malloc(n); }
void *failing_calloc(size_t n, size_t s) { return should_fail() ? nullptr : std::calloc(n, s); }
void *failing_realloc(void *p, size_t n) { return should_fail() ? nullptr : std::realloc(p, n); }

}  // namespace

AllocFailer::AllocFailer(long fail_at, bool sticky) {
    g_calls = 0;
    g_fail_at = fail_at;
    g_sticky = sticky;
    yq::sys::table.malloc = failing_malloc;
    yq::sys::table.calloc = failing_calloc;
    yq::sys::table.realloc = failing_realloc;
}

AllocFailer::~AllocFailer() {
    yq::sys::table.malloc = std::malloc;
    yq::sys::table.calloc = std::calloc;
    yq::sys::table.realloc = std::realloc;
}

long AllocFailer::calls() { return g_calls; }

bool eventually(const std::function<bool()> &done, std::chrono::seconds within) {
    const auto deadline = std::chrono::steady_clock::now() + within;
    while (!done())
        if (std::chrono::steady_clock::now() > deadline) return false;
        else std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return true;
}

}  // namespace yqtest
