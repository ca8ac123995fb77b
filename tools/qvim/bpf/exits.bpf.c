// Remembers who each process was when it ended: fanotify hands over a pidfd
// only for a process that is still there when its event is read, and rm,
// chmod or touch are usually reaped by then. Keyed by the process id as the
// initial pid namespace numbers it; the program checks that its own numbers
// agree before relying on the map.
#include "vmlinux.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_helpers.h>

#include "exits_shared.h"

char LICENSE[] SEC("license") = "GPL";

struct {
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, EXITS_MAX_ENTRIES);
    __type(key, __u32);
    __type(value, struct exit_record);
} exits SEC(".maps");

// Too large for the program's stack.
struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, struct exit_record);
} scratch SEC(".maps");

// A raw tracepoint: attached by name, it needs no tracefs mounted.
SEC("raw_tracepoint/sched_process_exit")
int record_exit(struct bpf_raw_tracepoint_args *ctx) {
    struct task_struct *task = (struct task_struct *)bpf_get_current_task();
    // Only the last thread of a process speaks for it; by then every change
    // the process made is behind it.
    if (BPF_CORE_READ(task, signal, live.counter) != 0) return 0;
    __u32 zero = 0;
    struct exit_record *record = bpf_map_lookup_elem(&scratch, &zero);
    if (!record) return 0;
    const __u32 tgid = bpf_get_current_pid_tgid() >> 32;
    // The last thread need not be the first one: the process's pidfd and its
    // /proc name are those of the group leader, so those are recorded.
    struct task_struct *leader = BPF_CORE_READ(task, group_leader);
    record->pid_ino = 0;
    if (bpf_core_field_exists(struct pid, ino)) record->pid_ino = BPF_CORE_READ(leader, thread_pid, ino);
    record->start_ns = BPF_CORE_READ(leader, start_boottime);
    record->uid = BPF_CORE_READ(task, cred, euid.val);
    record->gid = BPF_CORE_READ(task, cred, egid.val);
    struct group_info *info = BPF_CORE_READ(task, cred, group_info);
    const int count = info ? BPF_CORE_READ(info, ngroups) : 0;
    record->ngroups = 0;
    record->groups_truncated = count > EXITS_MAX_GROUPS;
    for (int i = 0; i < EXITS_MAX_GROUPS; i++) {
        if (i >= count) break;
        record->groups[i] = BPF_CORE_READ(info, gid[i].val);
        record->ngroups = i + 1;
    }
    BPF_CORE_READ_STR_INTO(&record->comm, leader, comm);
    bpf_map_update_elem(&exits, &tgid, record, BPF_ANY);
    return 0;
}
