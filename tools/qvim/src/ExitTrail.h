// Who a process was when it ended, kept by a kernel program on the exit of
// every process, so that a change made by a process reaped before its event
// was read (rm, chmod, touch) can still be attributed. The program's maps live
// as long as this object: nothing is pinned.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "Actor.h"

namespace qvimcli {

class ExitTrail {
public:
    // Loads and attaches the program; null with the reason when the kernel,
    // the privileges or this build do not allow it.
    static std::unique_ptr<ExitTrail> start(std::string& why);
    ~ExitTrail();
    ExitTrail(const ExitTrail&) = delete;
    ExitTrail& operator=(const ExitTrail&) = delete;

    // The process that last ended under this pid. With pidIno (the inode of a
    // pidfd of the acting process) only that very process is accepted. Without
    // it, the last exit is the best knowledge there is: a process that takes
    // over the pid and also ends before the event is read would be named
    // instead, which the time between a pid's reuse and an event's reading
    // (milliseconds against a pid space of millions) makes rare.
    bool find(pid_t pid, uint64_t pidIno, Actor& actor) const;

    struct State;

private:
    explicit ExitTrail(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};

}  // namespace qvimcli
