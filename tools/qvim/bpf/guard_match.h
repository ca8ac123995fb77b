/* Whether an acting process meets a policy's conditions. The kernel programs
 * decide with it; the program's tests check it in user space. */
#ifndef QVIM_GUARD_MATCH_H
#define QVIM_GUARD_MATCH_H

#include "guard_shared.h"

#ifndef GUARD_INLINE
#define GUARD_INLINE static inline __attribute__((always_inline))
#endif
/* Unrolled in the kernel, every access to the actor's arrays has a constant
 * offset, which the verifier checks most simply. */
#ifdef __BPF__
#define GUARD_UNROLL _Pragma("unroll")
#else
#define GUARD_UNROLL
#endif

struct guard_actor {
    __u32 uid;
    __u32 gid;
    __u32 ngroups;
    __u32 groups[GUARD_MAX_GROUPS];
    char comm[GUARD_COMM_LEN];
};

GUARD_INLINE int guard_listed(const __u32 *ids, __u32 count, __u32 id) {
    int found = 0;
    GUARD_UNROLL
    for (int i = 0; i < GUARD_MAX_IDS; i++) found |= i < (int)count && ids[i] == id;
    return found;
}

/* The name held at offset at of comm. */
GUARD_INLINE int guard_name_at(const struct guard_policy *policy, const char *comm, int at) {
    int same = 1;
    GUARD_UNROLL
    for (int i = 0; i < GUARD_COMM_LEN; i++) {
        if (i < (int)policy->comm_len)
            same &= at + i < GUARD_COMM_LEN && comm[(at + i) & (GUARD_COMM_LEN - 1)] == policy->comm[i];
    }
    return same;
}

GUARD_INLINE int guard_name_matches(const struct guard_policy *policy, const char *comm) {
    int found = 0;
    switch (policy->name_mode) {
        case GUARD_NAME_ANY: return 1;
        case GUARD_NAME_PREFIX: return guard_name_at(policy, comm, 0);
        case GUARD_NAME_CONTAINS:
            /* Only where the process name has not ended yet. */
            GUARD_UNROLL
            for (int at = 0; at < GUARD_COMM_LEN; at++)
                found |= (at == 0 || comm[at] != 0) && guard_name_at(policy, comm, at);
            return found;
        default: return 0;
    }
}

/* The users, then the groups (the effective group or any supplementary one),
 * then the name; an empty condition is met by everyone. */
GUARD_INLINE int guard_policy_matches(const struct guard_policy *policy, const struct guard_actor *actor) {
    if (policy->nusers > 0 && !guard_listed(policy->uids, policy->nusers, actor->uid)) return 0;
    if (policy->ngroups > 0) {
        int found = guard_listed(policy->gids, policy->ngroups, actor->gid);
        GUARD_UNROLL
        for (int i = 0; i < GUARD_MAX_GROUPS; i++)
            found |= i < (int)actor->ngroups && guard_listed(policy->gids, policy->ngroups, actor->groups[i]);
        if (!found) return 0;
    }
    return guard_name_matches(policy, actor->comm);
}

/* Denied: an allow policy the actor does not meet, or a block policy it does. */
GUARD_INLINE int guard_policy_denies(const struct guard_policy *policy, const struct guard_actor *actor) {
    int matches = guard_policy_matches(policy, actor);
    return policy->allow ? !matches : matches;
}

#endif
