// What the host needs to know of a ruleset: that it is readable JSON with rules,
// which kinds it watches and where the file and directory sets are based.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "Kinds.h"
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
    std::set<entity_type> kinds;  // kinds some entity set names
    bool md5Watched = false;      // a File set watches or tests "md5": files are hashed with MD5 too

    bool watches(entity_type kind) const { return kinds.count(kind) != 0; }
    std::vector<std::string> basesOf(entity_type kind, bool realtimeOnly) const;
};

// Reads a ruleset document. Rules without a "hash" get one computed from their
// content, so that installing a changed file rebuilds what the change touched.
// Returns false with a one-line reason when the text is no usable ruleset.
bool parseRuleset(const std::string& text, Ruleset& ruleset, std::string& error);

// Something in a ruleset the engine would read otherwise than written, or skip
// without a word. Errors make init refuse the file; warnings do not.
struct RuleProblem {
    size_t line;  // 0 when no line can be named
    bool error;
    std::string message;
    // "FILE:LINE: error: MESSAGE".
    std::string text(const std::string& file) const;
};

// Reads and checks a rules file (checkRuleset) before parsing it: the
// problems found go to problems; false with a one-line reason when the file
// cannot be read, is no usable ruleset or has errors (rulesInvalid then tells
// a defect of the document from a file that could not be read).
bool loadRulesetFile(const std::string& path, Ruleset& ruleset, std::string& error,
                     std::vector<RuleProblem>* problems = nullptr, bool* rulesInvalid = nullptr);

// The whole content of a regular file of at most 16 MiB, never through a link;
// a reason otherwise.
bool readRulesFile(const std::string& path, std::string& content, std::string& why);

// Every problem of a ruleset text, in line order.
std::vector<RuleProblem> checkRuleset(const std::string& text);

// The attribute names the engine's events give an entity of the kind (what
// "attributes" may list), and those a condition "includes_NAME" can test.
const std::vector<std::string>& kindAttributes(entity_type kind);
const std::vector<std::string>& kindConditions(entity_type kind);

// The base of an entity set as the engine normalises it ("/etc" gives "/etc/",
// "/var/log/app*" gives "/var/log/app").
std::string normaliseBase(const std::string& base);

}  // namespace qvimcli
