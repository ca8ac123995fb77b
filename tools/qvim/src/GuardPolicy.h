// What qvim guard hands the kernel: the conditions of the enforcement rules
// and the entries they protect, by device and inode, taken from the rules
// and the baseline.
#pragma once

#include <linux/types.h>
#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "guard_shared.h"
#include "Engine.h"

namespace qvimcli {

struct EnforcementRule {
    std::string label;  // the rule as events and baseline rows name it
    bool allow = true;  // type "allow"; false for "block"
    std::vector<std::string> users;
    std::vector<std::string> groups;
    std::string processName;
    struct Set {
        entity_type kind = ENTITY_FILE;
        std::string base;         // normalised, ends with '/'
        bool selective = false;   // patterns choose among what lies under the base
    };
    std::vector<Set> sets;  // File and Directory sets only
};

// The rules with "realtime" and an "enforcement" of type "allow" or "block",
// read as the engine reads them. False with a reason for a text that is no
// ruleset.
bool parseEnforcementRules(const std::string& rulesetText, std::vector<EnforcementRule>& rules, std::string& error);

// The kernel's form of a rule's conditions. False with a reason when the
// kernel could not decide them as the engine does (more users or groups
// than it holds, a process name pattern it cannot evaluate).
bool compilePolicy(const EnforcementRule& rule, guard_policy& policy, std::string& error);

// A device number as the kernel's inodes carry it.
uint64_t kernelDevice(dev_t device);

// Whether the "rule" member of a baseline row (labels joined by ',') lists label.
bool rowListsRule(const std::string& rowRules, const std::string& label);

// The protected entries with their paths, for the kernel's map and for
// naming what a decision concerns.
class GuardTargets {
public:
    struct Entry {
        std::string path;
        guard_target target{};
    };
    using Key = std::pair<uint64_t, uint64_t>;  // kernel device, inode

    // The entry at its key, as it now stands.
    const Entry& add(const std::string& path, const struct stat& st, uint64_t policies, uint32_t flags);
    // A protected entry moved: it keeps its protection under its new name.
    void rename(uint64_t device, uint64_t inode, const std::string& path);
    const Entry* find(uint64_t device, uint64_t inode) const;
    const std::map<Key, Entry>& entries() const { return m_entries; }
    size_t count(uint32_t flag) const;

private:
    std::map<Key, Entry> m_entries;
};

// The entries of the baseline the rules protect, as they stand now, and the
// folders where a new entry would fall under a rule that selects everything
// below its base. rows is the baseline reader (forEachBaselineRow in the
// program); false with a reason when it fails.
using BaselineRows = std::function<bool(const std::function<void(const std::string& key, const std::string& rules)>&,
                                        std::string& error)>;
// The File and Directory rows of the engine's baseline, read through scratchFolder.
BaselineRows engineBaselineRows(Engine& engine, const std::string& scratchFolder);
bool collectTargets(const std::vector<EnforcementRule>& rules, const BaselineRows& rows, GuardTargets& targets,
                    std::string& error);

}  // namespace qvimcli
