// Whatever AIDE reports on a tree, qvim reports too: both build a baseline of
// the same tree, the tree goes through a table of mutations, and every path
// in AIDE's report must be among the keys of qvim's events.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/capability.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <sstream>

#include "HostTestSupport.h"
#include "Output.h"

namespace {

using namespace qvimhost_test;

constexpr const char* kAide = "/usr/bin/aide";

bool ok(int result) { return result == 0; }

bool write(const std::string& path, const std::string& text, mode_t mode = 0644) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) return false;
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return close(fd) == 0 && written;
}

bool append(const std::string& path, const std::string& text) {
    const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    if (fd < 0) return false;
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return close(fd) == 0 && written;
}

bool changeInodeFlags(const std::string& path, int set, int clear) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool done = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = (flags | set) & ~clear;
    done = done && ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    close(fd);
    return done;
}

bool makeSocket(std::string path) {
    // A socket's address is short: bind relative to the working folder.
    char here[4096];
    if (getcwd(here, sizeof here) != nullptr && path.compare(0, strlen(here) + 1, std::string(here) + "/") == 0)
        path.erase(0, strlen(here) + 1);
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) return false;
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, path.size());
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const bool bound = bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return bound;
}

bool setCapability(const std::string& path, const char* text) {
    cap_t caps = cap_from_text(text);
    if (caps == nullptr) return false;
    const bool done = cap_set_file(path.c_str(), caps) == 0;
    cap_free(caps);
    return done;
}

bool run(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool setTimes(const std::string& path, time_t seconds) {
    const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    return ok(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW));
}

struct Mutation {
    const char* name;
    // Each works in a folder of its own (dir): prepare before both baselines, apply after.
    std::function<bool(const std::string& dir)> prepare;
    std::function<bool(const std::string& dir)> apply;
};

const auto file = [](const std::string& dir) { return write(dir + "/f", "content\n"); };

// clang-format off
const Mutation kMutations[] = {
    {"content", file, [](const std::string& d) { return write(d + "/f", "CONTENT\n"); }},
    {"size", file, [](const std::string& d) { return append(d + "/f", "more\n"); }},
    {"mode", file, [](const std::string& d) { return ok(chmod((d + "/f").c_str(), 0600)); }},
    {"sticky", file, [](const std::string& d) { return ok(chmod(d.c_str(), 01755)); }},
    {"setuid", file, [](const std::string& d) { return ok(chmod((d + "/f").c_str(), 04644)); }},
    {"owner", file, [](const std::string& d) { return ok(lchown((d + "/f").c_str(), 4321, -1)); }},
    {"group", file, [](const std::string& d) { return ok(lchown((d + "/f").c_str(), -1, 4321)); }},
    {"mtime", file, [](const std::string& d) { return setTimes(d + "/f", 1000000000); }},
    // chmod to the mode it has: only the status-change time moves.
    {"ctime", file, [](const std::string& d) { return ok(chmod((d + "/f").c_str(), 0644)); }},
    {"rename", file, [](const std::string& d) { return ok(rename((d + "/f").c_str(), (d + "/g").c_str())); }},
    {"delete", file, [](const std::string& d) { return ok(unlink((d + "/f").c_str())); }},
    {"create", nullptr, [](const std::string& d) { return write(d + "/new", "new\n"); }},
    {"hardlink", file, [](const std::string& d) { return ok(link((d + "/f").c_str(), (d + "/f2").c_str())); }},
    {"unlink-hardlink",
     [](const std::string& d) { return file(d) && ok(link((d + "/f").c_str(), (d + "/f2").c_str())); },
     [](const std::string& d) { return ok(unlink((d + "/f2").c_str())); }},
    {"symlink-retarget", [](const std::string& d) { return ok(symlink("one", (d + "/l").c_str())); },
     [](const std::string& d) {
         return ok(unlink((d + "/l").c_str())) && ok(symlink("two", (d + "/l").c_str()));
     }},
    {"fifo", nullptr, [](const std::string& d) { return ok(mkfifo((d + "/p").c_str(), 0644)); }},
    {"socket", nullptr, [](const std::string& d) { return makeSocket(d + "/s"); }},
    {"char-device", nullptr,
     [](const std::string& d) { return ok(mknod((d + "/c").c_str(), S_IFCHR | 0600, makedev(1, 3))); }},
    {"block-device", nullptr,
     [](const std::string& d) { return ok(mknod((d + "/b").c_str(), S_IFBLK | 0600, makedev(7, 0))); }},
    {"device-to-fifo",
     [](const std::string& d) { return ok(mknod((d + "/n").c_str(), S_IFCHR | 0644, makedev(1, 3))); },
     [](const std::string& d) { return ok(unlink((d + "/n").c_str())) && ok(mkfifo((d + "/n").c_str(), 0644)); }},
    // A device node where an empty file was: the same size, mode and owner.
    {"empty-to-device", [](const std::string& d) { return write(d + "/e", ""); },
     [](const std::string& d) {
         return ok(unlink((d + "/e").c_str())) && ok(mknod((d + "/e").c_str(), S_IFCHR | 0644, makedev(1, 3)));
     }},
    {"xattr-set", file, [](const std::string& d) { return ok(setxattr((d + "/f").c_str(), "user.tag", "1", 1, 0)); }},
    {"xattr-change", [](const std::string& d) { return file(d) && ok(setxattr((d + "/f").c_str(), "user.tag", "1", 1, 0)); },
     [](const std::string& d) { return ok(setxattr((d + "/f").c_str(), "user.tag", "2", 1, 0)); }},
    {"xattr-trusted", file, [](const std::string& d) { return ok(setxattr((d + "/f").c_str(), "trusted.t", "1", 1, 0)); }},
    {"xattr-on-fifo", [](const std::string& d) { return ok(mkfifo((d + "/p").c_str(), 0644)); },
     [](const std::string& d) { return ok(setxattr((d + "/p").c_str(), "trusted.t", "1", 1, 0)); }},
    {"setcap", file, [](const std::string& d) { return setCapability(d + "/f", "cap_net_raw+ep"); }},
    {"acl", file, [](const std::string& d) { return run("setfacl -m u:4321:r '" + d + "/f'"); }},
    {"folder-acl", nullptr, [](const std::string& d) { return run("setfacl -d -m u:4321:rx '" + d + "'"); }},
    {"immutable", file, [](const std::string& d) { return changeInodeFlags(d + "/f", FS_IMMUTABLE_FL, 0); }},
    {"append-only", file, [](const std::string& d) { return changeInodeFlags(d + "/f", FS_APPEND_FL, 0); }},
    {"folder-flag", nullptr, [](const std::string& d) { return changeInodeFlags(d, FS_NODUMP_FL, 0); }},
    {"folder-create", nullptr, [](const std::string& d) { return ok(mkdir((d + "/sub").c_str(), 0755)); }},
    {"folder-delete", [](const std::string& d) { return ok(mkdir((d + "/sub").c_str(), 0755)); },
     [](const std::string& d) { return ok(rmdir((d + "/sub").c_str())); }},
    {"file-to-folder", file,
     [](const std::string& d) { return ok(unlink((d + "/f").c_str())) && ok(mkdir((d + "/f").c_str(), 0644)); }},
};
// clang-format on

// Paths in the Added, Removed and Changed lists of AIDE's report ("f+++...: /path").
std::set<std::string> aideReportedPaths(const std::string& report) {
    std::set<std::string> paths;
    bool inLists = false;
    for (const std::string& line : lines(report)) {
        if (line.find("Added entries:") == 0 || line.find("Removed entries:") == 0 ||
            line.find("Changed entries:") == 0)
            inLists = true;
        else if (line.find("Detailed information") == 0 || line.find("The attributes of the") == 0)
            inLists = false;
        const size_t colon = line.find(": /");
        if (inLists && colon != std::string::npos && line[0] != ' ') paths.insert(line.substr(colon + 2));
    }
    return paths;
}

// Old and new keys of qvim's events (a removal has only "key"); a rule's base
// folder is reported as "base/.".
std::set<std::string> qvimReportedPaths(const std::string& out) {
    std::set<std::string> paths;
    for (const std::string& line : lines(out)) {
        qvimcli::JsonPtr event(cJSON_Parse(line.c_str()));
        const bool rename = qvimcli::jsonText(event.get(), "operationType") == "rename";
        for (const char* member : {"key", "isKey", "wasKey"}) {
            if (rename && std::string(member) == "key") continue;  // "old -> new"
            std::string key = qvimcli::exactJsonText(event.get(), member);
            if (key.size() > 2 && key.compare(key.size() - 2, 2, "/.") == 0) key.resize(key.size() - 2);
            if (!key.empty()) paths.insert(key);
        }
    }
    return paths;
}

class AideParity : public HostTree {
protected:
    void TearDown() override {
        // Immutable and append-only files would outlive the test's folder.
        for (const char* name : {"immutable", "append-only"})
            changeInodeFlags(tree + "/" + name + "/f", 0, FS_IMMUTABLE_FL | FS_APPEND_FL);
    }
};

TEST_F(AideParity, QvimReportsEveryPathAideReports) {
    if (access(kAide, X_OK) != 0) GTEST_SKIP() << "aide is not installed (Debian package aide)";
    if (geteuid() != 0) GTEST_SKIP() << "devices, owners, capabilities and inode flags need root";

    const std::string config = absolute("aide.conf");
    writeText(config, "database_in=file:" + absolute("aide.db") + "\ndatabase_out=file:" + absolute("aide.db.new") +
                          "\ngzip_dbout=no\nreport_url=stdout\n" + tree + " R\n");
    // What AIDE's default group R compares, in qvim's attribute names.
    const std::string attributes = "standard,flags,flagsall,inodenumber";
    writeText("rules.json", "{\"IntegrityRules\":[{\"id\":1,\"name\":\"tree\",\"EntitySets\":["
                            "{\"entityType\":\"File\",\"base\":\"" + tree + "\",\"includes\":\"**/*\",\"attributes\":\"" +
                                attributes + "\"},{\"entityType\":\"Directory\",\"base\":\"" + tree +
                                "\",\"attributes\":\"" + attributes + "\"}]}]}");

    for (const Mutation& mutation : kMutations) {
        const std::string dir = tree + "/" + mutation.name;
        ASSERT_EQ(mkdir(dir.c_str(), 0755), 0) << dir;
        if (mutation.prepare) {
            ASSERT_TRUE(mutation.prepare(dir)) << mutation.name << ": " << strerror(errno);
        }
    }
    ASSERT_TRUE(run(std::string(kAide) + " --init -c '" + config + "' >/dev/null 2>&1"));
    ASSERT_EQ(rename(absolute("aide.db.new").c_str(), absolute("aide.db").c_str()), 0);
    ProgramRun init = qvim({"init", "--rules", "rules.json"});
    ASSERT_EQ(init.status, 0) << init.err;

    // AIDE keeps times in whole seconds: a status change within the second
    // of the baseline would escape it.
    usleep(1100 * 1000);
    std::vector<std::string> applied;
    // The base folder of both rules itself.
    ASSERT_EQ(chmod(tree.c_str(), 0750), 0);
    for (const Mutation& mutation : kMutations) {
        if (mutation.apply(tree + "/" + mutation.name))
            applied.push_back(mutation.name);
        else
            std::printf("mutation %s is not possible here: %s\n", mutation.name, strerror(errno));
    }
    EXPECT_GE(applied.size(), 25u);

    const std::string reportFile = absolute("aide.report");
    run(std::string(kAide) + " --check -c '" + config + "' >'" + reportFile + "' 2>&1");
    const std::set<std::string> byAide = aideReportedPaths(readText(reportFile));
    ProgramRun check = qvim({"check", "--json"});
    ASSERT_NE(check.status, 0) << check.err;
    const std::set<std::string> byQvim = qvimReportedPaths(check.out);

    EXPECT_TRUE(byAide.count(tree) != 0) << "AIDE's report, unread:\n" << readText(reportFile);
    for (const std::string& name : applied) {
        const std::string dir = tree + "/" + name;
        bool seen = false;
        for (const std::string& path : byAide) {
            if (path != dir && path.compare(0, dir.size() + 1, dir + "/") != 0) continue;
            seen = true;
            EXPECT_TRUE(byQvim.count(path) != 0) << name << ": AIDE reports " << path << ", qvim does not";
        }
        EXPECT_TRUE(seen) << name << ": AIDE reports nothing; the mutation did not take";
    }
    EXPECT_TRUE(byQvim.count(tree) != 0) << "the chmod of the base folder";
}

}  // namespace
