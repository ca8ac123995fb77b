/* What the guard's kernel programs and the qvim program share: the layout of
 * the maps and of the decisions sent up through the ring buffer. */
#ifndef QVIM_GUARD_SHARED_H
#define QVIM_GUARD_SHARED_H

#define GUARD_MAX_POLICIES 64
#define GUARD_MAX_IDS 16
#define GUARD_MAX_GROUPS 16
#define GUARD_COMM_LEN 16
#define GUARD_NAME_LEN 256

/* The protected entry's own changes, or creations in it (a folder). */
#define GUARD_ENTRY 1u
#define GUARD_FOLDER 2u

enum guard_op {
    GUARD_OP_WRITE = 1,   /* opened for writing or truncated */
    GUARD_OP_ATTR = 2,    /* mode, owner, times, size or extended attributes */
    GUARD_OP_DELETE = 3,  /* unlink or rmdir */
    GUARD_OP_RENAME = 4,
    GUARD_OP_CREATE = 5,  /* a new name in a protected folder */
};

enum guard_outcome {
    GUARD_ALLOWED = 0,
    GUARD_DENIED = 1,
    GUARD_WOULD_DENY = 2, /* audit mode: denied by the rules, let through */
};

enum guard_name_mode {
    GUARD_NAME_ANY = 0,      /* no process name condition */
    GUARD_NAME_CONTAINS = 1, /* comm holds the name anywhere */
    GUARD_NAME_PREFIX = 2,   /* comm begins with it (the pattern ended in '*') */
    GUARD_NAME_NEVER = 3,    /* longer than any comm: no process meets it */
};

struct guard_key {
    __u64 dev; /* the kernel's encoding: major << 20 | minor */
    __u64 ino;
};

struct guard_target {
    __u64 policies; /* bit i: policy i applies */
    __u32 flags;    /* GUARD_ENTRY, GUARD_FOLDER */
    __u32 pad;
};

struct guard_policy {
    __u32 allow;     /* 1: only the listed may act; 0: the listed may not */
    __u32 nusers;
    __u32 ngroups;
    __u32 name_mode; /* enum guard_name_mode */
    __u32 comm_len;
    __u32 uids[GUARD_MAX_IDS];
    __u32 gids[GUARD_MAX_IDS];
    char comm[GUARD_COMM_LEN];
};

struct guard_config {
    __u32 guard_tgid; /* the qvim process itself is never denied */
    __u32 audit;
};

struct guard_event {
    __u64 dev;
    __u64 ino;      /* the entry; for a creation, the folder */
    __u64 new_dev;  /* rename: the target folder */
    __u64 new_ino;
    __u64 policies; /* the policies that denied (or would), else those that applied */
    __u32 op;
    __u32 outcome;
    __u32 pid;
    __u32 uid;
    __u32 gid;
    __u32 ngroups;
    __u32 groups[GUARD_MAX_GROUPS];
    __u32 mode;     /* creation: the new entry's type bits */
    __u32 pad;
    char comm[GUARD_COMM_LEN];
    char name[GUARD_NAME_LEN];     /* creation or rename: the new name */
};

#endif
