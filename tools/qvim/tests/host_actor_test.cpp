// The acting process read from /proc: names, numbers for ids without a name,
// and no name at all once the process is gone.
#include <grp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "Actor.h"
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
}
