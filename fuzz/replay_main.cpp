// Runs a fuzz target over every file of the folders given (seed corpus and
// kept reproducers), so that each past finding stays a regression test.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace {
void runFile(const std::string& path, size_t& count) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    ++count;
}
}  // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
    size_t count = 0;
    for (int i = 1; i < argc; ++i) {
        DIR* dir = opendir(argv[i]);
        if (dir == nullptr) continue;  // a target without kept reproducers has no folder
        while (dirent* entry = readdir(dir)) {
            const std::string path = std::string(argv[i]) + "/" + entry->d_name;
            struct stat info;
            if (stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) runFile(path, count);
        }
        closedir(dir);
    }
    fprintf(stderr, "replayed %zu inputs\n", count);
    return count > 0 ? 0 : 1;
}
