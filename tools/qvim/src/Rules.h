// What the host needs to know of a ruleset: that it is readable JSON with rules,
// which kinds it watches and where the file and directory sets are based.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "qvim.h"

namespace qvimcli {

struct RuleBase {
    std::string base;  // normalised, absolute, wildcards cut off
    entity_type kind;  // ENTITY_FILE or ENTITY_DIRECTORY
    bool realtime;
};

struct Ruleset {
    std::string text;  // the text to install
    std::string id;    // the ruleset id handed to the engine
    std::vector<RuleBase> bases;
    std::set<entity_type> kinds;        // kinds some entity set names
    bool md5Watched = false;            // a File set watches or tests "md5": files are hashed with MD5 too
    std::vector<std::string> warnings;  // defects the engine would skip silently

    bool watches(entity_type kind) const { return kinds.count(kind) != 0; }
    std::vector<std::string> basesOf(entity_type kind, bool realtimeOnly) const;
};

// Reads a ruleset document. Rules without a "hash" get one computed from their
// content, so that installing a changed file rebuilds what the change touched.
// Returns false with a one-line reason when the text is no usable ruleset.
bool parseRuleset(const std::string& text, Ruleset& ruleset, std::string& error);

bool loadRulesetFile(const std::string& path, Ruleset& ruleset, std::string& error);

// "File", "Directory", ... "InstalledSoftware", "Process"; "All" for 0.
const char* kindName(entity_type kind);

// The base of an entity set as the engine normalises it ("/etc" gives "/etc/",
// "/var/log/app*" gives "/var/log/app").
std::string normaliseBase(const std::string& base);

}  // namespace qvimcli
