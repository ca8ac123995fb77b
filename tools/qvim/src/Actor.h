// The process behind a file-system notification: who it runs as and what it
// is called, read from /proc without ever naming a different process that
// happens to reuse the pid.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace qvimcli {

struct Actor {
    pid_t pid = 0;
    // The credentials and name were read and belong to this process; when
    // false only pid is known (the process ended before it could be read).
    bool known = false;
    uid_t uid = 0;  // effective ids: those the change was made with
    gid_t gid = 0;
    std::vector<gid_t> groups;  // supplementary groups
    std::string name;           // the command name (comm), as the kernel escapes it

    // Reads the process. pidfd, when given (>= 0), is a pidfd of the very
    // process (as fanotify hands one over); without one, one is opened here,
    // which names whatever process holds the pid now.
    static Actor read(pid_t pid, int pidfd = -1);

    // Texts for the engine: the user name (the uid in decimal when it has no
    // name), the process name and the comma-separated names of the effective
    // group and the supplementary groups. Empty when the process is unknown.
    std::string userText() const;
    std::string processText() const;
    std::string groupsText() const;
};

// The name of a user or group, or its number in decimal when it has none.
std::string userName(uid_t uid);
std::string groupName(gid_t gid);

}  // namespace qvimcli
