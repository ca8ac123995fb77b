// Every test process works in a temporary folder of its own: the log file and
// default database land there, and it is removed afterwards.
#include <ftw.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {
int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }
}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/qvim-test-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr || chdir(pattern.c_str()) != 0) {
        perror("qvim test: temporary folder");
        return 2;
    }
    qvim_test::setTestDirectory(pattern);
    const int result = RUN_ALL_TESTS();
    if (chdir("/") == 0 && getenv("QVIM_KEEP_TEST_DIR") == nullptr)
        nftw(pattern.c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
    return result;
}
