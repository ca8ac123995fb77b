// What qvim.so can reach outside the process: it starts no programs, opens
// no network connections and reads no environment variables. Checked on the
// functions the shared library imports.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <set>
#include <string>

#include <gtest/gtest.h>

namespace {

std::string libraryPath() {
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0) return "";
    std::string path(self, static_cast<size_t>(length));
    path.erase(path.rfind('/'));                  // build/tests
    return path.substr(0, path.rfind('/')) + "/qvim.so";  // build/qvim.so
}

std::set<std::string> importedFunctions(const std::string& library) {
    std::set<std::string> names;
    FILE* listing = popen(("nm -D --undefined-only '" + library + "' 2>/dev/null").c_str(), "r");
    if (listing == nullptr) return names;
    char line[512];
    while (fgets(line, sizeof line, listing) != nullptr) {
        std::string name(line);
        name.erase(0, name.find_last_of(' ') + 1);
        name.erase(name.find_first_of("@\n"));
        names.insert(name);
    }
    pclose(listing);
    return names;
}

}  // namespace

TEST(LibrarySurface, ImportsNoProgramStartNetworkOrEnvironment) {
    const std::set<std::string> imported = importedFunctions(libraryPath());
    ASSERT_TRUE(imported.count("sqlite3_open_v2") != 0) << "cannot read the imports of " << libraryPath();
    for (const char* forbidden :
         {"system", "popen", "execl", "execle", "execlp", "execv", "execve", "execvp", "execvpe", "fexecve", "fork",
          "vfork", "clone", "posix_spawn", "posix_spawnp", "socket", "connect", "bind", "listen", "accept", "accept4",
          "sendto", "recvfrom", "getaddrinfo", "gethostbyname", "getenv", "secure_getenv"})
        EXPECT_EQ(imported.count(forbidden), 0u) << forbidden;
}
