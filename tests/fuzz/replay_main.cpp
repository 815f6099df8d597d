// Replays inputs through a fuzz target without libFuzzer, so the corpus
// doubles as a regression test and a crashing input that libFuzzer saved can
// be run again under GCC or a debugger. Each argument is a corpus directory
// (every file in it, dot files aside) or a single input file.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

// Runs the target on the file's bytes; false when the file cannot be read.
bool replay(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::perror(path.c_str());
        return false;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR|INPUT...\n", argv[0]);
        return 2;
    }
    int replayed = 0;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path arg = argv[i];
        std::error_code error;
        if (!std::filesystem::is_directory(arg, error)) {
            if (!replay(arg)) return 1;
            ++replayed;
            continue;
        }
        for (const auto &entry : std::filesystem::directory_iterator(arg, error)) {
            if (entry.path().filename().string().front() == '.' || !entry.is_regular_file()) continue;
            if (!replay(entry.path())) return 1;
            ++replayed;
        }
        if (error) {
            std::fprintf(stderr, "%s: %s\n", argv[i], error.message().c_str());
            return 1;
        }
    }
    std::printf("replayed %d inputs\n", replayed);
    return replayed > 0 ? 0 : 1;
}
