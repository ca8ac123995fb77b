#include "GuardKernel.h"

#include <unistd.h>

#include <cerrno>
#include <fstream>

#include "Text.h"

#ifdef QVIM_GUARD_BPF
#include <bpf/bpf.h>
#include <bpf/libbpf.h>

#include "guard.skel.h"
#endif

namespace qvimcli {
namespace {

// Why loading failed, in the words of what to do about it.
std::string missingMechanism(int error) {
    std::ifstream lsm("/sys/kernel/security/lsm");
    std::string modules;
    if (std::getline(lsm, modules) && (',' + modules + ',').find(",bpf,") == std::string::npos)
        return "the kernel's active security modules (" + modules +
               ") do not include bpf; boot with bpf added to lsm= to use qvim guard";
    return "the kernel refused the guard's security programs (" + errorText(error) +
           "); qvim guard needs a kernel with BPF LSM active, its BTF, and CAP_BPF with CAP_MAC_ADMIN";
}

}  // namespace

#ifdef QVIM_GUARD_BPF

struct GuardKernel::State {
    guard_bpf* skeleton = nullptr;
    ring_buffer* ring = nullptr;
    const std::function<void(const guard_event&)>* handle = nullptr;
    ~State() {
        if (ring != nullptr) ring_buffer__free(ring);
        if (skeleton != nullptr) guard_bpf__destroy(skeleton);
    }
};

namespace {

int onDecision(void* context, void* data, size_t size) {
    auto* state = static_cast<GuardKernel::State*>(context);
    if (size >= sizeof(guard_event) && state->handle != nullptr)
        (*state->handle)(*static_cast<const guard_event*>(data));
    return 0;
}

// libbpf's own diagnostics would interleave with the program's output; its
// errors come back as error numbers instead.
int quietLibbpf(enum libbpf_print_level, const char*, va_list) { return 0; }

}  // namespace

std::unique_ptr<GuardKernel> GuardKernel::load(std::string& why) {
    libbpf_set_print(quietLibbpf);
    auto state = std::make_unique<State>();
    state->skeleton = guard_bpf__open();
    if (state->skeleton == nullptr) {
        why = missingMechanism(errno);
        return nullptr;
    }
    const int loaded = guard_bpf__load(state->skeleton);
    if (loaded != 0) {
        why = missingMechanism(-loaded);
        return nullptr;
    }
    state->ring = ring_buffer__new(bpf_map__fd(state->skeleton->maps.decisions), onDecision, state.get(), nullptr);
    if (state->ring == nullptr) {
        why = "cannot read the guard's decisions: " + errorText(errno);
        return nullptr;
    }
    return std::unique_ptr<GuardKernel>(new GuardKernel(std::move(state)));
}

bool GuardKernel::configure(bool audit, const std::vector<guard_policy>& policies, const GuardTargets& targets,
                            std::string& error) {
    guard_bpf* skeleton = m_state->skeleton;
    const __u32 zero = 0;
    const guard_config settings = {static_cast<__u32>(getpid()), audit ? 1u : 0u};
    if (bpf_map__update_elem(skeleton->maps.guard_settings, &zero, sizeof zero, &settings, sizeof settings, 0) != 0) {
        error = "cannot configure the guard: " + errorText(errno);
        return false;
    }
    for (__u32 i = 0; i < policies.size() && i < GUARD_MAX_POLICIES; ++i) {
        if (bpf_map__update_elem(skeleton->maps.policies, &i, sizeof i, &policies[i], sizeof policies[i], 0) != 0) {
            error = "cannot hand the kernel the rules: " + errorText(errno);
            return false;
        }
    }
    for (const auto& [key, entry] : targets.entries()) {
        if (!protect(key, entry.target)) {
            error = "cannot protect '" + entry.path + "': " + errorText(errno);
            return false;
        }
    }
    return true;
}

bool GuardKernel::protect(const GuardTargets::Key& key, const guard_target& target) {
    const guard_key kernelKey = {key.first, key.second};
    return bpf_map__update_elem(m_state->skeleton->maps.targets, &kernelKey, sizeof kernelKey, &target, sizeof target,
                                0) == 0;
}

bool GuardKernel::attach(std::string& why) {
    const int attached = guard_bpf__attach(m_state->skeleton);
    if (attached != 0) {
        why = missingMechanism(-attached);
        return false;
    }
    return true;
}

int GuardKernel::pollFd() const { return ring_buffer__epoll_fd(m_state->ring); }

bool GuardKernel::consume(const std::function<void(const guard_event&)>& handle) {
    m_state->handle = &handle;
    const int got = ring_buffer__consume(m_state->ring);
    m_state->handle = nullptr;
    return got >= 0;
}

uint64_t GuardKernel::lost() const {
    const __u32 zero = 0;
    __u64 count = 0;
    bpf_map__lookup_elem(m_state->skeleton->maps.lost, &zero, sizeof zero, &count, sizeof count, 0);
    return count;
}

#else

struct GuardKernel::State {};

std::unique_ptr<GuardKernel> GuardKernel::load(std::string& why) {
    why = "this qvim was built without the guard's security programs (clang, bpftool and libbpf-dev were "
          "missing at build time)";
    return nullptr;
}

bool GuardKernel::configure(bool, const std::vector<guard_policy>&, const GuardTargets&, std::string&) {
    return false;
}
bool GuardKernel::protect(const GuardTargets::Key&, const guard_target&) { return false; }
bool GuardKernel::attach(std::string& why) {
    why = missingMechanism(ENOSYS);
    return false;
}
int GuardKernel::pollFd() const { return -1; }
bool GuardKernel::consume(const std::function<void(const guard_event&)>&) { return false; }
uint64_t GuardKernel::lost() const { return 0; }

#endif

GuardKernel::GuardKernel(std::unique_ptr<State> state) : m_state(std::move(state)) {}
GuardKernel::~GuardKernel() = default;

}  // namespace qvimcli
