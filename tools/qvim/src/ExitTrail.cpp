#include "ExitTrail.h"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "Text.h"

#ifdef QVIM_EXITS_BPF
#include <bpf/bpf.h>
#include <bpf/libbpf.h>

#include "exits.skel.h"
#include "exits_shared.h"
#endif

namespace qvimcli {

#ifdef QVIM_EXITS_BPF

struct ExitTrail::State {
    exits_bpf* skeleton = nullptr;
    ~State() {
        if (skeleton != nullptr) exits_bpf__destroy(skeleton);
    }
};

namespace {

int quietLibbpf(enum libbpf_print_level, const char*, va_list) { return 0; }

std::string refused(int error) {
    return "the kernel refused the exit recorder (" + errorText(error) +
           "); it needs the kernel's BTF and CAP_BPF with CAP_PERFMON";
}

}  // namespace

std::unique_ptr<ExitTrail> ExitTrail::start(std::string& why) {
    libbpf_set_print(quietLibbpf);
    auto state = std::make_unique<State>();
    state->skeleton = exits_bpf__open();
    if (state->skeleton == nullptr) {
        why = refused(errno);
        return nullptr;
    }
    if (const int failed = exits_bpf__load(state->skeleton); failed != 0) {
        why = refused(-failed);
        return nullptr;
    }
    if (const int failed = exits_bpf__attach(state->skeleton); failed != 0) {
        why = refused(-failed);
        return nullptr;
    }
    std::unique_ptr<ExitTrail> trail(new ExitTrail(std::move(state)));
    // The map is keyed by the pids the initial pid namespace sees: a child
    // that ends at once must be found under the pid this process sees.
    const pid_t child = fork();
    if (child < 0) {
        why = "cannot check the exit recorder: " + errorText(errno);
        return nullptr;
    }
    if (child == 0) _exit(0);
    while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
    }
    Actor probe;
    if (!trail->find(child, 0, probe) || probe.uid != geteuid()) {
        why = "the exit recorder numbers processes differently (another pid namespace)";
        return nullptr;
    }
    return trail;
}

bool ExitTrail::find(pid_t pid, uint64_t pidIno, Actor& actor) const {
    const __u32 key = static_cast<__u32>(pid);
    exit_record record;
    if (pid <= 0 || bpf_map__lookup_elem(m_state->skeleton->maps.exits, &key, sizeof key, &record, sizeof record, 0) != 0)
        return false;
    if (pidIno != 0 && record.pid_ino != pidIno) return false;
    actor.pid = pid;
    actor.uid = record.uid;
    actor.gid = record.gid;
    actor.name.assign(record.comm, strnlen(record.comm, sizeof record.comm));
    actor.groups.assign(record.groups, record.groups + std::min<__u32>(record.ngroups, EXITS_MAX_GROUPS));
    if (record.groups_truncated) {
        // More groups than the record holds: the user database's list for the
        // user stands in for them.
        const std::string user = userName(record.uid);
        std::vector<gid_t> groups(256);
        int count = static_cast<int>(groups.size());
        if (getgrouplist(user.c_str(), record.gid, groups.data(), &count) < 0 && count > 0 && count <= 65536) {
            groups.resize(static_cast<size_t>(count));
            if (getgrouplist(user.c_str(), record.gid, groups.data(), &count) < 0) count = -1;
        }
        if (count > 0) {
            groups.resize(std::min(groups.size(), static_cast<size_t>(count)));
            actor.groups = groups;
        }
    }
    actor.known = true;
    return true;
}

#else

struct ExitTrail::State {};

std::unique_ptr<ExitTrail> ExitTrail::start(std::string& why) {
    why = "this qvim was built without the exit recorder (clang, bpftool and libbpf-dev were missing)";
    return nullptr;
}

bool ExitTrail::find(pid_t, uint64_t, Actor&) const { return false; }

#endif

ExitTrail::ExitTrail(std::unique_ptr<State> state) : m_state(std::move(state)) {}
ExitTrail::~ExitTrail() = default;

}  // namespace qvimcli
