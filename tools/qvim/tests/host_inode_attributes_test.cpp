// What the program records of an inode beyond the columns, and how it shows it.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/capability.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>

#include "FsEntity.h"
#include "HostTestSupport.h"
#include "InodeAttributes.h"
#include "Output.h"

namespace {

using namespace qvimcli;
using namespace qvimhost_test;

FsEntity collected(const std::string& path) {
    Hasher hasher(false);
    FsEntity entity;
    std::string problem;
    EXPECT_EQ(collectEntry(absolute(path), hasher, entity, problem), Outcome::Ok) << path << ": " << problem;
    return entity;
}

TEST(HostInode, SpecialFilesCarryTheirTypeWhileFilesAndFoldersKeepTheTextBaselinesHave) {
    if (geteuid() != 0) GTEST_SKIP() << "device nodes need root";
    writeText("file", "x");
    ASSERT_EQ(chmod("file", 0644), 0);
    ASSERT_EQ(mkdir("sticky", 01777), 0);
    ASSERT_EQ(chmod("sticky", 01777), 0);
    ASSERT_EQ(mkfifo("fifo", 0644), 0);
    ASSERT_EQ(chmod("fifo", 0644), 0);
    ASSERT_EQ(mknod("chr", S_IFCHR | 0660, makedev(1, 3)), 0);
    ASSERT_EQ(mknod("blk", S_IFBLK | 0660, makedev(7, 0)), 0);
    ASSERT_EQ(chmod("chr", 0660) | chmod("blk", 0660), 0);
    ASSERT_EQ(symlink("file", "link"), 0);

    EXPECT_EQ(collected("file").permissions, "0644");
    EXPECT_EQ(collected("sticky").permissions, "01777");
    EXPECT_EQ(collected("fifo").permissions, "0010644");
    EXPECT_EQ(collected("chr").permissions, "0020660");
    EXPECT_EQ(collected("blk").permissions, "0060660");
    EXPECT_EQ(collected("link").permissions, "0120777");
    // Inode flags and generation are read for folders too, where the file system keeps them.
    struct stat st;
    ASSERT_EQ(stat("sticky", &st), 0);
    EXPECT_EQ(fingerprintModeBits(collected("sticky").flagsAll), static_cast<unsigned>(S_IFDIR | S_ISVTX));
    EXPECT_EQ(fingerprintModeBits(collected("chr").flagsAll), static_cast<unsigned>(S_IFCHR));
}

TEST(HostInode, SpecialFilesAreNeverOpenedYetTheirExtendedAttributesCount) {
    if (geteuid() != 0) GTEST_SKIP() << "device nodes and trusted attributes need root";
    ASSERT_EQ(mkfifo("fifo", 0644), 0);
    ASSERT_EQ(mknod("chr", S_IFCHR | 0600, makedev(1, 3)), 0);
    const uint64_t before = collected("fifo").flagsAll;
    if (setxattr(absolute("fifo").c_str(), "trusted.mark", "1", 1, 0) != 0)
        GTEST_SKIP() << "no extended attributes on special files here: " << strerror(errno);
    const uint64_t after = collected("fifo").flagsAll;
    EXPECT_NE(before, after);

    // Opening a pipe or device can act on it (a pipe's writer is released, a
    // tape rewinds): inotify sees every open, an O_PATH descriptor none.
    const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(inotify_add_watch(watch, "fifo", IN_OPEN | IN_ACCESS), 0);
    ASSERT_GE(inotify_add_watch(watch, "chr", IN_OPEN | IN_ACCESS), 0);
    collected("fifo");
    collected("chr");
    char events[4096];
    EXPECT_LT(read(watch, events, sizeof events), 0) << "a special file was opened";
    close(watch);
}

struct stat statusAt(time_t ctime, nlink_t links) {
    struct stat st {};
    st.st_mode = S_IFREG | 0644;
    st.st_ctim.tv_sec = ctime;
    st.st_nlink = links;
    return st;
}

ExtendedAttributes attributes(std::vector<std::pair<std::string, std::string>> entries) {
    ExtendedAttributes result;
    result.entries = std::move(entries);
    return result;
}

TEST(HostInode, TheFingerprintNamesWhatChanged) {
    const auto base = attributes({{"security.selinux", "a"}, {"system.posix_acl_access", "x"}, {"user.tag", "1"}});
    const uint64_t original = inodeFingerprint(statusAt(100, 1), base);
    using Names = std::vector<std::string>;
    EXPECT_EQ(changedInodeParts(original, inodeFingerprint(statusAt(100, 1), base)), Names{});
    EXPECT_EQ(changedInodeParts(original, inodeFingerprint(statusAt(101, 1), base)), Names{"ctime"});
    EXPECT_EQ(changedInodeParts(original, inodeFingerprint(statusAt(100, 2), base)), Names{"links"});
    // One attribute changed at a time, each named by its part.
    const struct {
        std::vector<std::pair<std::string, std::string>> entries;
        const char* part;
    } kChanges[] = {
        {{{"security.selinux", "a"}, {"system.posix_acl_access", "x"}, {"user.tag", "2"}}, "xattrs"},
        {{{"security.selinux", "b"}, {"system.posix_acl_access", "x"}, {"user.tag", "1"}}, "label"},
        {{{"security.capability", "c"}, {"security.selinux", "a"}, {"system.posix_acl_access", "x"}, {"user.tag", "1"}},
         "caps"},
        {{{"security.selinux", "a"}, {"system.posix_acl_access", "y"}, {"user.tag", "1"}}, "acl"},
    };
    for (const auto& change : kChanges)
        EXPECT_EQ(changedInodeParts(original, inodeFingerprint(statusAt(100, 1), attributes(change.entries))),
                  Names{change.part});
    struct stat sticky = statusAt(100, 1);
    sticky.st_mode |= S_ISVTX;
    EXPECT_EQ(changedInodeParts(original, inodeFingerprint(sticky, base)), Names{"sticky"});
    // A name moved from one attribute to the other is a change, not the same bytes.
    EXPECT_NE(inodeFingerprint(statusAt(100, 1), attributes({{"user.a", "bc"}})),
              inodeFingerprint(statusAt(100, 1), attributes({{"user.ab", "c"}})));
    // Rows recorded before the fingerprint existed hold 0: no names, and the
    // table says it was not recorded.
    EXPECT_FALSE(fingerprintRecorded(0));
    EXPECT_EQ(changedInodeParts(0, original), Names{});
    // The export hands numbers on as JSON numbers: exact only below 2^53.
    EXPECT_LT(original, uint64_t{1} << 53);
}

TEST(HostInode, ModesFlagsAndCapabilitiesReadTheWayAdministratorsKnowThem) {
    // The execute column carries the special bits, capital where x is not set.
    EXPECT_EQ(modeText(S_IFDIR | 01776), "drwxrwxrwT");
    EXPECT_EQ(modeText(S_IFREG | 06700), "-rws--S---");
    const std::string flags = inodeFlagsText(FS_IMMUTABLE_FL | FS_EXTENT_FL);
    EXPECT_EQ(flags.substr(0, 15), "----i---------e");
    EXPECT_EQ(flags.find_first_not_of("-ie"), std::string::npos);
    EXPECT_EQ(inodeFlagsText(FS_APPEND_FL)[5], 'a');

    if (geteuid() != 0) GTEST_SKIP() << "setting file capabilities needs root";
    writeText("tool", "x");
    cap_t caps = cap_from_text("cap_net_raw,cap_net_admin+ep cap_chown+eip");
    ASSERT_NE(caps, nullptr);
    const int set = cap_set_file(absolute("tool").c_str(), caps);
    cap_free(caps);
    if (set != 0) GTEST_SKIP() << "no file capabilities here: " << strerror(errno);
    const FsEntity tool = collected("tool");
    EXPECT_EQ(tool.capabilities, "cap_chown+eip cap_net_admin,cap_net_raw+ep");
}

// An event the engine writes: permissions in its access-list form, which has
// neither type nor sticky bit; flagsAll as decimal text.
std::string folderEvent(uint64_t was, uint64_t is) {
    return R"({"entityType":"Directory","operationType":"update","key":"/srv/drop","type":"FIFO",)"
           R"("wasAttributes":[{"name":"flags","value":"0"},{"name":"flagsAll","value":")" +
           std::to_string(was) +
           R"("},{"name":"permissions","value":"u::rwx\ng::rwx\no::rwx"}],)"
           R"("isAttributes":[{"name":"flags","value":"16"},{"name":"flagsAll","value":")" +
           std::to_string(is) + R"("},{"name":"permissions","value":"u::rwx\ng::rwx\no::rwx"}]})";
}

TEST(HostInode, TheTableShowsStickyBitTypeFlagsAndWhatTheFingerprintSaysChanged) {
    struct stat st = statusAt(100, 2);
    st.st_mode = S_IFDIR | 0777;
    const uint64_t was = inodeFingerprint(st, ExtendedAttributes());
    st.st_mode |= S_ISVTX;
    st.st_ctim.tv_sec = 101;
    const uint64_t is = inodeFingerprint(st, ExtendedAttributes());

    JsonPtr event(cJSON_Parse(folderEvent(was, is).c_str()));
    ASSERT_TRUE(event);
    const std::string text = formatEvent(event.get());
    EXPECT_EQ(text.substr(0, text.find('\n')), "update  Directory /srv/drop  (FIFO)");
    EXPECT_NE(text.find("permissions: drwxrwxrwx (0777) -> drwxrwxrwt (01777)"), std::string::npos) << text;
    EXPECT_NE(text.find("(changed: sticky, ctime)"), std::string::npos) << text;
    EXPECT_NE(text.find("flags: ---------------------- -> ----i-----------------"), std::string::npos) << text;

    // A baseline recorded before the fingerprint: said so, not shown as a change of parts.
    JsonPtr upgraded(cJSON_Parse(folderEvent(0, is).c_str()));
    ASSERT_TRUE(upgraded);
    const std::string shown = formatEvent(upgraded.get());
    EXPECT_NE(shown.find("flagsAll: not recorded -> "), std::string::npos) << shown;
    EXPECT_EQ(shown.find("changed:"), std::string::npos) << shown;
}

class HostInodeChecks : public HostTree {};

TEST_F(HostInodeChecks, NewSpecialFilesAreReportedWithTheirTypeAndTheBaseFolderItself) {
    if (geteuid() != 0) GTEST_SKIP() << "device nodes need root";
    ASSERT_EQ(qvim({"init", "--rules", "rules.json"}).status, 0);
    ASSERT_EQ(mkfifo((tree + "/pipe").c_str(), 0644), 0);
    ASSERT_EQ(mknod((tree + "/null").c_str(), S_IFCHR | 0644, makedev(1, 3)), 0);
    writeText(tree + "/empty", "");
    ASSERT_EQ(chmod(tree.c_str(), 0700), 0);

    const ProgramRun check = qvim({"check", "--json"});
    std::map<std::string, std::string> types;
    for (const std::string& line : lines(check.out)) {
        JsonPtr event(cJSON_Parse(line.c_str()));
        types[jsonText(event.get(), "key")] = jsonText(event.get(), "type");
    }
    EXPECT_EQ(types[tree + "/pipe"], "FIFO");
    EXPECT_EQ(types[tree + "/null"], "character device");
    EXPECT_EQ(types.count(tree + "/empty"), 1u);
    EXPECT_EQ(types[tree + "/empty"], "");  // regular files carry no type member
    EXPECT_EQ(types.count(tree + "/."), 1u) << "the chmod of the base folder:\n" << check.out;
}

}  // namespace
