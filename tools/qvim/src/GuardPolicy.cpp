#include "GuardPolicy.h"

#include <grp.h>
#include <pwd.h>
#include <sys/sysmacros.h>

#include <cstring>

#include "Baseline.h"
#include "Output.h"
#include "Rules.h"
#include "Text.h"
#include "Walk.h"

namespace qvimcli {
namespace {

// Enforcement texts lose spaces (only spaces) at both ends.
std::string trimSpaces(const std::string& text) {
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

std::vector<std::string> stringList(const cJSON* array) {
    std::vector<std::string> items;
    const cJSON* item = nullptr;
    cJSON_ArrayForEach(item, array) {
        if (cJSON_IsString(item)) items.push_back(trimSpaces(item->valuestring));
    }
    return items;
}

std::string ruleLabel(const cJSON* rule) {
    const cJSON* name = cJSON_GetObjectItem(rule, "name");
    const cJSON* identifier = cJSON_GetObjectItem(rule, "identifier");
    std::string label = cJSON_IsString(name) ? name->valuestring : "<empty>";
    if (label.empty()) label = "<empty>";
    if (cJSON_IsString(identifier) && identifier->valuestring[0] != '\0')
        label = std::string(identifier->valuestring) + " - " + label;
    return label;
}

// File and Directory sets, their members read in document order as the engine does.
void readSets(const cJSON* rule, EnforcementRule& out) {
    const cJSON* set = nullptr;
    cJSON_ArrayForEach(set, cJSON_GetObjectItem(rule, "EntitySets")) {
        EnforcementRule::Set parsed;
        bool known = false;
        const cJSON* member = nullptr;
        cJSON_ArrayForEach(member, set) {
            const std::string key = member->string != nullptr ? member->string : "";
            if (key == "entityType" && cJSON_IsString(member)) {
                known = member->valuestring[0] == 'F' || member->valuestring[0] == 'D';
                parsed.kind = member->valuestring[0] == 'D' ? ENTITY_DIRECTORY : ENTITY_FILE;
            } else if (key == "base" && cJSON_IsString(member)) {
                parsed.base = member->valuestring;
            } else if (key == "includes" || key == "excludes" || key == "and" || startsWith(key, "includes_") ||
                       startsWith(key, "excludes_")) {
                parsed.selective = true;
            }
        }
        parsed.base = normaliseBase(parsed.base);
        // A base that ends in a partial name or a wildcard selects too.
        if (parsed.base.empty() || parsed.base.back() != '/') parsed.selective = true;
        if (known) out.sets.push_back(parsed);
    }
}

bool isNumber(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos && text.size() < 10;
}

// The id the engine's text names: the engine compares names, and a process
// whose id has no name is named by the number.
bool resolveId(const std::string& text, bool user, uint32_t& id) {
    char buffer[16384];
    if (user) {
        struct passwd entry, *found = nullptr;
        if (getpwnam_r(text.c_str(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
            id = found->pw_uid;
            return true;
        }
        if (!isNumber(text)) return false;
        id = static_cast<uint32_t>(std::stoul(text));
        return getpwuid_r(id, &entry, buffer, sizeof buffer, &found) == 0 && found == nullptr;
    }
    struct group entry, *found = nullptr;
    if (getgrnam_r(text.c_str(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
        id = found->gr_gid;
        return true;
    }
    if (!isNumber(text)) return false;
    id = static_cast<uint32_t>(std::stoul(text));
    return getgrgid_r(id, &entry, buffer, sizeof buffer, &found) == 0 && found == nullptr;
}

// Names that exist nowhere are left out: no process acts as them.
bool compileIds(const std::vector<std::string>& names, bool user, __u32* ids, __u32& count, const std::string& label,
                std::string& error) {
    count = 0;
    for (const std::string& name : names) {
        uint32_t id = 0;
        if (name.empty() || !resolveId(name, user, id)) continue;
        if (count == GUARD_MAX_IDS) {
            error = "the rule '" + label + "' lists more than " + std::to_string(GUARD_MAX_IDS) + " existing " +
                    (user ? "users" : "groups") + ", more than the kernel's check holds";
            return false;
        }
        ids[count++] = id;
    }
    return true;
}

}  // namespace

bool parseEnforcementRules(const std::string& rulesetText, std::vector<EnforcementRule>& rules, std::string& error) {
    JsonPtr document(cJSON_Parse(rulesetText.c_str()));
    const cJSON* list = cJSON_GetObjectItem(document.get(), "IntegrityRules");
    if (!cJSON_IsArray(list)) {
        error = "the ruleset has no \"IntegrityRules\" list";
        return false;
    }
    const cJSON* rule = nullptr;
    cJSON_ArrayForEach(rule, list) {
        const cJSON* realtime = cJSON_GetObjectItem(rule, "realtime");
        if (!cJSON_IsString(realtime) || strcmp(realtime->valuestring, "false") == 0 ||
            strcmp(realtime->valuestring, "FALSE") == 0)
            continue;
        const cJSON* enforcement = cJSON_GetObjectItem(rule, "enforcement");
        const cJSON* type = cJSON_GetObjectItem(enforcement, "type");
        if (!cJSON_IsString(type) || (strcmp(type->valuestring, "allow") != 0 && strcmp(type->valuestring, "block") != 0))
            continue;
        EnforcementRule parsed;
        parsed.label = ruleLabel(rule);
        parsed.allow = strcmp(type->valuestring, "allow") == 0;
        parsed.users = stringList(cJSON_GetObjectItem(enforcement, "users"));
        parsed.groups = stringList(cJSON_GetObjectItem(enforcement, "groups"));
        const cJSON* name = cJSON_GetObjectItem(enforcement, "processName");
        if (cJSON_IsString(name)) parsed.processName = trimSpaces(name->valuestring);
        readSets(rule, parsed);
        if (!parsed.sets.empty()) rules.push_back(std::move(parsed));
    }
    return true;
}

bool compilePolicy(const EnforcementRule& rule, guard_policy& policy, std::string& error) {
    policy = guard_policy{};
    policy.allow = rule.allow ? 1 : 0;
    if (!compileIds(rule.users, true, policy.uids, policy.nusers, rule.label, error) ||
        !compileIds(rule.groups, false, policy.gids, policy.ngroups, rule.label, error))
        return false;
    // Listed names that all do not exist still form a condition nobody meets.
    if (policy.nusers == 0 && !rule.users.empty()) policy.name_mode = GUARD_NAME_NEVER;
    if (policy.ngroups == 0 && !rule.groups.empty()) policy.name_mode = GUARD_NAME_NEVER;
    if (policy.name_mode == GUARD_NAME_NEVER || rule.processName.empty()) return true;

    // The engine takes a plain name as a part of the process's name and a
    // name followed by '*' as its beginning; other patterns are not decided
    // in the kernel, so they are refused rather than guessed.
    std::string name = rule.processName;
    policy.name_mode = GUARD_NAME_CONTAINS;
    if (name == "*") {
        policy.name_mode = GUARD_NAME_ANY;
        return true;
    }
    if (name.back() == '*') {
        name.pop_back();
        policy.name_mode = GUARD_NAME_PREFIX;
    }
    if (name.find_first_of("*?/\\") != std::string::npos) {
        error = "the process name '" + rule.processName + "' of the rule '" + rule.label +
                "' is a pattern the kernel cannot evaluate; use a name, or a name followed by '*'";
        return false;
    }
    // Process names are at most 15 bytes: a longer name matches no process.
    if (name.size() >= GUARD_COMM_LEN) {
        policy.name_mode = GUARD_NAME_NEVER;
        return true;
    }
    policy.comm_len = static_cast<__u32>(name.size());
    memcpy(policy.comm, name.data(), name.size());
    return true;
}

uint64_t kernelDevice(dev_t device) {
    return (static_cast<uint64_t>(major(device)) << 20) | minor(device);
}

bool rowListsRule(const std::string& rowRules, const std::string& label) {
    for (size_t at = rowRules.find(label); at != std::string::npos; at = rowRules.find(label, at + 1)) {
        const size_t end = at + label.size();
        if ((at == 0 || rowRules[at - 1] == ',') && (end == rowRules.size() || rowRules[end] == ','))
            return true;
    }
    return false;
}

const GuardTargets::Entry& GuardTargets::add(const std::string& path, const struct stat& st, uint64_t policies,
                                             uint32_t flags) {
    Entry& entry = m_entries[Key(kernelDevice(st.st_dev), st.st_ino)];
    if (entry.path.empty()) entry.path = path;
    entry.target.policies |= policies;
    entry.target.flags |= flags;
    return entry;
}

void GuardTargets::rename(uint64_t device, uint64_t inode, const std::string& path) {
    const auto found = m_entries.find(Key(device, inode));
    if (found != m_entries.end()) found->second.path = path;
}

const GuardTargets::Entry* GuardTargets::find(uint64_t device, uint64_t inode) const {
    const auto found = m_entries.find(Key(device, inode));
    return found == m_entries.end() ? nullptr : &found->second;
}

size_t GuardTargets::count(uint32_t flag) const {
    size_t n = 0;
    for (const auto& [key, entry] : m_entries)
        if (entry.target.flags & flag) ++n;
    return n;
}

BaselineRows engineBaselineRows(Engine& engine, const std::string& scratchFolder) {
    return [&engine, scratchFolder](const std::function<void(const std::string&, const std::string&)>& each,
                           std::string& error) {
        for (entity_type kind : {ENTITY_FILE, ENTITY_DIRECTORY}) {
            const bool ok = forEachBaselineRow(
                engine, kind, 0, scratchFolder,
                [&](const std::string&, const cJSON* row) {
                    each(exactJsonText(row, "key"), jsonText(row, "rule"));
                    return true;
                },
                error);
            if (!ok) return false;
        }
        return true;
    };
}

bool collectTargets(const std::vector<EnforcementRule>& rules, const BaselineRows& rows, GuardTargets& targets,
                    std::string& error) {
    // The folders where a rule that takes all below its base would select a newcomer.
    auto addFolder = [&](const std::string& folder, uint64_t mask) {
        const std::string slashed = endsWith(folder, "/") ? folder : folder + "/";
        uint64_t bits = 0;
        for (size_t i = 0; i < rules.size(); ++i)
            for (const EnforcementRule::Set& set : rules[i].sets)
                if ((mask >> i & 1) && !set.selective && startsWith(slashed, set.base)) bits |= 1ull << i;
        WalkEntry entry;
        int lookError = 0;
        if (bits != 0 && lookUp(folder, entry, lookError) && S_ISDIR(entry.st.st_mode))
            targets.add(folder, entry.st, bits, GUARD_FOLDER);
    };
    const uint64_t all = rules.size() >= 64 ? ~0ull : (1ull << rules.size()) - 1;
    for (const EnforcementRule& rule : rules)
        for (const EnforcementRule::Set& set : rule.sets)
            addFolder(set.base.size() > 1 ? set.base.substr(0, set.base.size() - 1) : set.base, all);

    return rows(
        [&](const std::string& key, const std::string& rowRules) {
            uint64_t mask = 0;
            for (size_t i = 0; i < rules.size(); ++i)
                if (rowListsRule(rowRules, rules[i].label)) mask |= 1ull << i;
            WalkEntry entry;
            int lookError = 0;
            // What stands at the name now is what the rules protect; a link on
            // the way leads elsewhere and is not followed.
            if (mask == 0 || !lookUp(key, entry, lookError)) return;
            targets.add(key, entry.st, mask, GUARD_ENTRY);
            if (S_ISDIR(entry.st.st_mode)) addFolder(key, mask);
            addFolder(parentFolder(key), mask);
        },
        error);
}

}  // namespace qvimcli
