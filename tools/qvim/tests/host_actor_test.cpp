// The acting process read from /proc: names, numbers for ids without a name,
// and no name at all once the process is gone.
#include <grp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "Actor.h"
#include "ExitTrail.h"
#include "SafeFiles.h"

using namespace qvimcli;

namespace {

std::string ownCommandName() {
    std::ifstream in("/proc/self/comm");
    std::string name;
    std::getline(in, name);
    return name;
}

}  // namespace

TEST(HostActor, OwnProcessIsNamed) {
    const Actor actor = Actor::read(getpid());
    ASSERT_TRUE(actor.known);
    EXPECT_EQ(actor.uid, geteuid());
    EXPECT_EQ(actor.processText(), ownCommandName());
    EXPECT_EQ(actor.userText(), userName(geteuid()));
    EXPECT_EQ(actor.groupsText().rfind(groupName(getegid()), 0), 0u) << actor.groupsText();
}

TEST(HostActor, AnotherUsersProcessAndThenNoProcessAtAll) {
    if (geteuid() != 0) GTEST_SKIP() << "changing to another user needs root";
    // Ids no user or group carries here, and one that has a name.
    const uid_t uid = 54321;
    const gid_t gid = 54321;
    const gid_t named = 65534;
    // Records the child's exit where the kernel allows it.
    std::string noTrail;
    const std::unique_ptr<ExitTrail> trail = ExitTrail::start(noTrail);
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const gid_t groups[] = {named, 54322};
        prctl(PR_SET_NAME, "actor probe");
        if (setgroups(2, groups) != 0 || setresgid(gid, gid, gid) != 0 || setresuid(uid, uid, uid) != 0) _exit(1);
        if (write(ready[1], "x", 1) != 1) _exit(1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char byte = 0;
    const bool started = ::read(ready[0], &byte, 1) == 1;
    close(ready[0]);
    UniqueFd pidfd(static_cast<int>(syscall(SYS_pidfd_open, child, 0)));
    Actor actor;
    if (started) actor = Actor::read(child, pidfd.get());
    kill(child, SIGKILL);
    ASSERT_TRUE(started) << "the child could not change its ids";
    ASSERT_TRUE(actor.known);
    EXPECT_EQ(actor.userText(), "54321");
    EXPECT_EQ(actor.processText(), "actor probe");
    // The kernel keeps supplementary groups sorted.
    EXPECT_EQ(actor.groupsText(), "54321,54322," + groupName(named));

    // Reaped: its pid may belong to anyone now, so nothing is named.
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    const Actor gone = Actor::read(child, pidfd.get());
    EXPECT_FALSE(gone.known);
    EXPECT_EQ(gone.pid, child);
    EXPECT_EQ(gone.userText(), "");

    // The exit recorder names it: as the holder of its own pidfd, or by its
    // pid alone, but never as the holder of another process's pidfd.
    if (!trail) GTEST_SKIP() << noTrail;
    struct stat st;
    ASSERT_EQ(fstat(pidfd.get(), &st), 0);
    for (const uint64_t pidIno : {static_cast<uint64_t>(st.st_ino), uint64_t{0}}) {
        Actor ended;
        ASSERT_TRUE(trail->find(child, pidIno, ended)) << pidIno;
        EXPECT_EQ(ended.userText(), "54321");
        EXPECT_EQ(ended.processText(), "actor probe");
        EXPECT_EQ(ended.groupsText(), "54321,54322," + groupName(named));
    }
    Actor other;
    EXPECT_FALSE(trail->find(child, st.st_ino + 1, other));
    EXPECT_FALSE(other.known);
}
