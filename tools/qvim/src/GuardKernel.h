// The guard's kernel programs: loaded, given their maps, attached for as long
// as this object lives (nothing is pinned, so protection ends with the
// process), and the ring buffer of their decisions.
#pragma once

#include <linux/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "GuardPolicy.h"
#include "guard_shared.h"

namespace qvimcli {

class GuardKernel {
public:
    // Loads the programs; null with the reason when this build or the kernel
    // lacks the mechanism.
    static std::unique_ptr<GuardKernel> load(std::string& why);
    ~GuardKernel();
    GuardKernel(const GuardKernel&) = delete;
    GuardKernel& operator=(const GuardKernel&) = delete;

    bool configure(bool audit, const std::vector<guard_policy>& policies, const GuardTargets& targets,
                   std::string& error);
    // Protects one more entry.
    bool protect(const GuardTargets::Key& key, const guard_target& target);
    // From here on the kernel decides; false with the reason when it refuses.
    bool attach(std::string& why);
    // Readable when decisions wait.
    int pollFd() const;
    // Hands every waiting decision to handle; false when the buffer cannot be read.
    bool consume(const std::function<void(const guard_event&)>& handle);
    // Decisions the kernel made but had no room to send, since the start.
    uint64_t lost() const;

    struct State;

private:
    explicit GuardKernel(std::unique_ptr<State> state);
    std::unique_ptr<State> m_state;
};

}  // namespace qvimcli
