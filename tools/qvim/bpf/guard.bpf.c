// The guard's decisions, made in the kernel so that no operation waits for
// user space: an entry the maps protect is changed only by the processes its
// policies let through. Reads are never looked at.
#include "vmlinux.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

#include "guard_match.h"

char LICENSE[] SEC("license") = "GPL";

#define EPERM 1
#define FMODE_WRITE 0x2
#define O_TRUNC 01000
#define ATTR_SIZE (1u << 3)
#define PF_KTHREAD 0x00200000

struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, 1 << 18);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __type(key, struct guard_key);
    __type(value, struct guard_target);
} targets SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, GUARD_MAX_POLICIES);
    __type(key, __u32);
    __type(value, struct guard_policy);
} policies SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, struct guard_config);
} guard_settings SEC(".maps");

// Decisions the ring buffer had no room for; user space reports them.
struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, 1);
    __type(key, __u32);
    __type(value, __u64);
} lost SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_RINGBUF);
    __uint(max_entries, 256 * 1024);
} decisions SEC(".maps");

struct check {
    struct guard_actor actor;
    __u64 mask;
    __u64 denying;
};

static long check_policy(__u64 index, void *data) {
    struct check *check = data;
    if (index >= GUARD_MAX_POLICIES) return 1;
    if (!(check->mask & (1ull << index))) return 0;
    __u32 key = index;
    const struct guard_policy *policy = bpf_map_lookup_elem(&policies, &key);
    if (!policy) return 0;
    if (guard_policy_denies(policy, &check->actor)) check->denying |= 1ull << index;
    return 0;
}

static __always_inline void read_actor(struct guard_actor *actor) {
    struct task_struct *task = bpf_get_current_task_btf();
    actor->uid = BPF_CORE_READ(task, cred, euid.val);
    actor->gid = BPF_CORE_READ(task, cred, egid.val);
    struct group_info *info = BPF_CORE_READ(task, cred, group_info);
    int count = info ? BPF_CORE_READ(info, ngroups) : 0;
    actor->ngroups = 0;
    for (int i = 0; i < GUARD_MAX_GROUPS; i++) {
        if (i >= count) break;
        actor->groups[i] = BPF_CORE_READ(info, gid[i].val);
        actor->ngroups = i + 1;
    }
    bpf_get_current_comm(actor->comm, sizeof actor->comm);
}

static __always_inline struct guard_target *find(struct inode *inode, __u32 flag, struct guard_key *key) {
    if (!inode) return 0;
    key->dev = BPF_CORE_READ(inode, i_sb, s_dev);
    key->ino = BPF_CORE_READ(inode, i_ino);
    struct guard_target *target = bpf_map_lookup_elem(&targets, key);
    if (!target || !(target->flags & flag)) return 0;
    return target;
}

// The decision for one operation on a protected entry (or in a protected
// folder): 0 or -EPERM. Every decision goes up to the program.
static __always_inline int decide(struct inode *inode, __u32 flag, __u32 op, struct inode *new_dir,
                                  const struct dentry *named, __u32 mode) {
    struct guard_key key = {};
    struct guard_target *target = find(inode, flag, &key);
    if (!target) return 0;

    __u32 zero = 0;
    const struct guard_config *settings = bpf_map_lookup_elem(&guard_settings, &zero);
    if (!settings) return 0;
    __u64 id = bpf_get_current_pid_tgid();
    __u32 tgid = id >> 32;
    // The program itself and init keep working whatever the rules say, and
    // kernel threads act for no one the rules could name.
    struct task_struct *task = bpf_get_current_task_btf();
    if (tgid == settings->guard_tgid || tgid == 1 || (task->flags & PF_KTHREAD)) return 0;

    struct check check = {};
    read_actor(&check.actor);
    check.mask = target->policies;
    bpf_loop(GUARD_MAX_POLICIES, check_policy, &check, 0);

    __u32 outcome = GUARD_ALLOWED;
    if (check.denying) outcome = settings->audit ? GUARD_WOULD_DENY : GUARD_DENIED;

    struct guard_event *event = bpf_ringbuf_reserve(&decisions, sizeof *event, 0);
    if (!event) {
        __u64 *count = bpf_map_lookup_elem(&lost, &zero);
        if (count) __sync_fetch_and_add(count, 1);
    } else {
        event->dev = key.dev;
        event->ino = key.ino;
        event->new_dev = new_dir ? BPF_CORE_READ(new_dir, i_sb, s_dev) : 0;
        event->new_ino = new_dir ? BPF_CORE_READ(new_dir, i_ino) : 0;
        event->policies = check.denying ? check.denying : target->policies;
        event->op = op;
        event->outcome = outcome;
        event->pid = tgid;
        event->uid = check.actor.uid;
        event->gid = check.actor.gid;
        event->ngroups = check.actor.ngroups;
        __builtin_memcpy(event->groups, check.actor.groups, sizeof event->groups);
        __builtin_memcpy(event->comm, check.actor.comm, sizeof event->comm);
        event->mode = mode;
        event->name[0] = 0;
        if (named) bpf_probe_read_kernel_str(event->name, sizeof event->name, BPF_CORE_READ(named, d_name.name));
        bpf_ringbuf_submit(event, 0);
    }
    return outcome == GUARD_DENIED ? -EPERM : 0;
}

SEC("lsm/file_open")
int BPF_PROG(guard_file_open, struct file *file) {
    if (!(file->f_mode & FMODE_WRITE) && !(file->f_flags & O_TRUNC)) return 0;
    return decide(file->f_inode, GUARD_ENTRY, GUARD_OP_WRITE, 0, 0, 0);
}

SEC("lsm/inode_setattr")
int BPF_PROG(guard_setattr, struct mnt_idmap *idmap, struct dentry *dentry, struct iattr *attr) {
    const __u32 op = (attr->ia_valid & ATTR_SIZE) ? GUARD_OP_WRITE : GUARD_OP_ATTR;
    return decide(dentry->d_inode, GUARD_ENTRY, op, 0, 0, 0);
}

SEC("lsm/inode_setxattr")
int BPF_PROG(guard_setxattr, struct mnt_idmap *idmap, struct dentry *dentry) {
    return decide(dentry->d_inode, GUARD_ENTRY, GUARD_OP_ATTR, 0, 0, 0);
}

SEC("lsm/inode_removexattr")
int BPF_PROG(guard_removexattr, struct mnt_idmap *idmap, struct dentry *dentry) {
    return decide(dentry->d_inode, GUARD_ENTRY, GUARD_OP_ATTR, 0, 0, 0);
}

SEC("lsm/inode_set_acl")
int BPF_PROG(guard_set_acl, struct mnt_idmap *idmap, struct dentry *dentry) {
    return decide(dentry->d_inode, GUARD_ENTRY, GUARD_OP_ATTR, 0, 0, 0);
}

SEC("lsm/inode_remove_acl")
int BPF_PROG(guard_remove_acl, struct mnt_idmap *idmap, struct dentry *dentry) {
    return decide(dentry->d_inode, GUARD_ENTRY, GUARD_OP_ATTR, 0, 0, 0);
}

SEC("lsm/inode_unlink")
int BPF_PROG(guard_unlink, struct inode *dir, struct dentry *dentry) {
    return decide(dentry->d_inode, GUARD_ENTRY, GUARD_OP_DELETE, 0, 0, 0);
}

SEC("lsm/inode_rmdir")
int BPF_PROG(guard_rmdir, struct inode *dir, struct dentry *dentry) {
    return decide(dentry->d_inode, GUARD_ENTRY, GUARD_OP_DELETE, 0, 0, 0);
}

SEC("lsm/inode_rename")
int BPF_PROG(guard_rename, struct inode *old_dir, struct dentry *old_dentry, struct inode *new_dir,
             struct dentry *new_dentry) {
    int verdict = decide(old_dentry->d_inode, GUARD_ENTRY, GUARD_OP_RENAME, new_dir, new_dentry, 0);
    // Whatever the new name replaces is deleted by it.
    if (verdict == 0) verdict = decide(new_dentry->d_inode, GUARD_ENTRY, GUARD_OP_DELETE, 0, 0, 0);
    if (verdict == 0 && old_dir != new_dir)
        verdict = decide(new_dir, GUARD_FOLDER, GUARD_OP_CREATE, 0, new_dentry,
                         BPF_CORE_READ(old_dentry, d_inode, i_mode));
    return verdict;
}

static __always_inline int creation(struct inode *dir, struct dentry *dentry, __u32 mode) {
    return decide(dir, GUARD_FOLDER, GUARD_OP_CREATE, 0, dentry, mode);
}

SEC("lsm/inode_create")
int BPF_PROG(guard_create, struct inode *dir, struct dentry *dentry, umode_t mode) {
    return creation(dir, dentry, 0100000 | mode);
}

SEC("lsm/inode_mknod")
int BPF_PROG(guard_mknod, struct inode *dir, struct dentry *dentry, umode_t mode) {
    return creation(dir, dentry, mode);
}

SEC("lsm/inode_mkdir")
int BPF_PROG(guard_mkdir, struct inode *dir, struct dentry *dentry, umode_t mode) {
    return creation(dir, dentry, 0040000 | mode);
}

SEC("lsm/inode_symlink")
int BPF_PROG(guard_symlink, struct inode *dir, struct dentry *dentry) {
    return creation(dir, dentry, 0120777);
}

SEC("lsm/inode_link")
int BPF_PROG(guard_link, struct dentry *old_dentry, struct inode *dir, struct dentry *new_dentry) {
    return creation(dir, new_dentry, BPF_CORE_READ(old_dentry, d_inode, i_mode));
}
