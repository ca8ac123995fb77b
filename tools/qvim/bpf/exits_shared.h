/* What the exit recorder and the qvim program share: the record each process
 * leaves in the map when its last thread exits. */
#ifndef QVIM_EXITS_SHARED_H
#define QVIM_EXITS_SHARED_H

#define EXITS_MAX_GROUPS 16
#define EXITS_COMM_LEN 16
/* Exits remembered, the oldest forgotten first: a burst of this many other
 * exits between a change and its reading costs the name of the process. */
#define EXITS_MAX_ENTRIES 32768

struct exit_record {
    __u64 pid_ino;   /* the pidfs inode of the process's pid: never reused */
    __u64 start_ns;  /* its start, in ns since boot */
    __u32 uid;       /* effective ids: those its changes were made with */
    __u32 gid;
    __u32 ngroups;   /* supplementary groups, the first EXITS_MAX_GROUPS */
    __u32 groups_truncated;
    __u32 groups[EXITS_MAX_GROUPS];
    char comm[EXITS_COMM_LEN];
};

#endif
