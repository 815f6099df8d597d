// Replays every file of a fuzz corpus directory through the target, so the
// corpus doubles as a regression test without libFuzzer.
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 2;
    }
    DIR *dir = opendir(argv[1]);
    if (dir == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    int replayed = 0;
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::string path = std::string(argv[1]) + "/" + entry->d_name;
        std::ifstream in(path, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        ++replayed;
    }
    closedir(dir);
    std::printf("replayed %d inputs from %s\n", replayed, argv[1]);
    return replayed > 0 ? 0 : 1;
}
