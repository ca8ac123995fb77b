#include "Rules.h"

#include <cjson/cJSON.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <sstream>

#include "Digest.h"
#include "FileDescriptor.h"
#include "Output.h"
#include "Text.h"

namespace qvimcli {
namespace {

bool isRealtime(const cJSON* rule) {
    const cJSON* item = cJSON_GetObjectItem(rule, "realtime");
    if (cJSON_IsString(item)) {
        const std::string text = item->valuestring;
        return text != "false" && text != "FALSE";
    }
    // The engine reads only a text here; the rules check refuses a boolean.
    return false;
}

size_t lineOf(const std::string& text, const char* position) {
    if (position == nullptr || position < text.c_str() || position > text.c_str() + text.size()) return 0;
    size_t line = 1;
    for (const char* p = text.c_str(); p < position; ++p)
        if (*p == '\n') ++line;
    return line;
}

std::string lowerCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// A member "includes_md5" or "excludes_md5" (any case after the '_') tests the digest.
bool testsMd5(const cJSON* object) {
    const cJSON* member = nullptr;
    cJSON_ArrayForEach(member, object) {
        if (member->string == nullptr) continue;
        const std::string key = member->string;
        if ((startsWith(key, "includes_") || startsWith(key, "excludes_")) && lowerCase(key.substr(9)) == "md5")
            return true;
    }
    return false;
}

// The set lists "md5" among its "attributes" (names separated by ',', case
// and blanks ignored, as the engine reads them) or tests it in a condition.
bool needsMd5(const cJSON* set) {
    const cJSON* attributes = cJSON_GetObjectItem(set, "attributes");
    if (cJSON_IsString(attributes)) {
        std::istringstream names(lowerCase(attributes->valuestring));
        std::string name;
        while (std::getline(names, name, ',')) {
            const size_t first = name.find_first_not_of(" \t\r\n");
            if (first != std::string::npos && name.substr(first, name.find_last_not_of(" \t\r\n") - first + 1) == "md5")
                return true;
        }
    }
    if (testsMd5(set)) return true;
    const cJSON* member = nullptr;
    cJSON_ArrayForEach(member, set) {
        if (member->string != nullptr && std::string(member->string) == "and" && testsMd5(member)) return true;
    }
    return false;
}

// Members of an entity set are read in document order, exactly as named; a
// later "entityType" or "base" wins.
void readEntitySet(const cJSON* set, bool realtime, Ruleset& ruleset) {
    entity_type kind = ENTITY_UNKNOWN;
    std::string base;
    bool hasBase = false;
    const cJSON* member = nullptr;
    cJSON_ArrayForEach(member, set) {
        if (member->string == nullptr) continue;
        const std::string key = member->string;
        if (key == "entityType" && cJSON_IsString(member)) {
            kind = kindOfName(member->valuestring);
        } else if (key == "base" && cJSON_IsString(member)) {
            base = member->valuestring;
            hasBase = true;
        }
    }
    if (kind == ENTITY_UNKNOWN) return;
    ruleset.kinds.insert(kind);
    if (kind == ENTITY_FILE && needsMd5(set)) ruleset.md5Watched = true;
    if (kind != ENTITY_FILE && kind != ENTITY_DIRECTORY) return;
    std::string normalised = normaliseBase(hasBase ? base : std::string());
    // The host walks by plain prefixes: a wildcard left inside a base widens it.
    const size_t wildcard = normalised.find_first_of("*?");
    if (wildcard != std::string::npos) normalised = normalised.substr(0, normalised.rfind('/', wildcard) + 1);
    // An empty base is a prefix of every key.
    if (normalised.empty()) normalised = "/";
    // The rules check refuses a relative base; a recorded one walks nothing.
    if (normalised[0] != '/') return;
    ruleset.bases.push_back(RuleBase{normalised, kind, realtime});
}

}  // namespace

std::string normaliseBase(const std::string& base) {
    if (base.empty()) return "/";
    if (endsWith(base, "*/")) return base.substr(0, base.size() - 2);
    if (base.back() == '*') return base.substr(0, base.size() - 1);
    if (base.back() == '/') return base;
    return base + "/";
}

std::vector<std::string> Ruleset::basesOf(entity_type kind, bool realtimeOnly) const {
    std::vector<std::string> result;
    for (const RuleBase& base : bases)
        if ((kind == ENTITY_ALL || base.kind == kind) && (!realtimeOnly || base.realtime)) result.push_back(base.base);
    return result;
}

bool parseRuleset(const std::string& text, Ruleset& ruleset, std::string& error) {
    const char* end = nullptr;
    JsonPtr document(cJSON_ParseWithOpts(text.c_str(), &end, false));
    if (!document) {
        const size_t line = lineOf(text, end);
        error = "is not valid JSON" + (line > 0 ? " (error on line " + std::to_string(line) + ")" : std::string());
        return false;
    }
    const cJSON* rules = cJSON_GetObjectItem(document.get(), "IntegrityRules");
    if (!cJSON_IsObject(document.get()) || !cJSON_IsArray(rules)) {
        error = "has no \"IntegrityRules\" array";
        return false;
    }
    if (cJSON_GetArraySize(rules) == 0) {
        error = "has an empty \"IntegrityRules\" array, so nothing would be watched";
        return false;
    }

    ruleset = Ruleset();
    bool hashesAdded = false;
    size_t index = 0;
    cJSON* rule = nullptr;
    cJSON_ArrayForEach(rule, rules) {
        if (!cJSON_IsObject(rule)) {
            error = "has a rule that is not an object (rule " + std::to_string(index + 1) + ")";
            return false;
        }
        if (cJSON_GetObjectItem(rule, "hash") == nullptr) {
            char* printed = cJSON_PrintUnformatted(rule);
            if (printed != nullptr) {
                const std::string digest = sha256Hex(printed);
                cJSON_free(printed);
                cJSON_AddStringToObject(rule, "hash", digest.substr(0, 16).c_str());
                hashesAdded = true;
            }
        }
        const bool realtime = isRealtime(rule);
        const cJSON* sets = cJSON_GetObjectItem(rule, "EntitySets");
        const cJSON* set = nullptr;
        cJSON_ArrayForEach(set, sets) { readEntitySet(set, realtime, ruleset); }
        ++index;
    }
    if (ruleset.kinds.empty()) {
        error = "has no entity set with a known \"entityType\", so nothing would be watched";
        return false;
    }
    if (hashesAdded) {
        char* printed = cJSON_PrintUnformatted(document.get());
        if (printed == nullptr) {
            error = "could not be processed (out of memory)";
            return false;
        }
        ruleset.text = printed;
        cJSON_free(printed);
    } else {
        ruleset.text = text;
    }
    return true;
}

namespace {

// Larger than any ruleset written by hand or by a tool.
constexpr size_t kMaxRulesFileBytes = 16u << 20;

}  // namespace

bool readRulesFile(const std::string& path, std::string& content, std::string& why) {
    // Not through a link, and without waiting for a writer: a pipe opens at once.
    const FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file.get() < 0) {
        const int error = errno;
        why = error == ELOOP ? std::string("it is a symbolic link; give the file it points to") : errorText(error);
        return false;
    }
    struct stat st;
    if (fstat(file.get(), &st) != 0) {
        why = errorText(errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        why = "it is not a regular file";
        return false;
    }
    const std::string tooLarge = "it is larger than " + sizeText(kMaxRulesFileBytes);
    if (static_cast<uint64_t>(st.st_size) > kMaxRulesFileBytes) {
        why = tooLarge;
        return false;
    }
    // The file may grow while it is read: at most one byte beyond the limit is taken.
    content.clear();
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            why = errorText(errno);
            return false;
        }
        content.append(buffer, static_cast<size_t>(got));
        if (content.size() > kMaxRulesFileBytes) {
            why = tooLarge;
            return false;
        }
    }
    return true;
}

bool loadRulesetFile(const std::string& path, Ruleset& ruleset, std::string& error,
                     std::vector<RuleProblem>* problems, bool* rulesInvalid) {
    if (rulesInvalid != nullptr) *rulesInvalid = false;
    std::string content;
    std::string why;
    if (!readRulesFile(path, content, why)) {
        error = "cannot read the rules file '" + path + "': " + why +
                "; pass a ruleset with --rules FILE (examples/rules/default.json is a start)";
        return false;
    }
    std::vector<RuleProblem> found = checkRuleset(content);
    const size_t errors = static_cast<size_t>(
        std::count_if(found.begin(), found.end(), [](const RuleProblem& problem) { return problem.error; }));
    if (problems != nullptr) *problems = std::move(found);
    std::string reason;
    if (errors > 0 || !parseRuleset(content, ruleset, reason)) {
        if (rulesInvalid != nullptr) *rulesInvalid = true;
        error = "the rules file '" + path + "' " +
                (errors > 0 ? "has " + std::to_string(errors) + (errors == 1 ? " error" : " errors") : reason) +
                "; fix it and run the command again ('qvim rules check " + path + "' lists the problems)";
        return false;
    }
    const size_t slash = path.find_last_of('/');
    ruleset.id = slash == std::string::npos ? path : path.substr(slash + 1);
    return true;
}

}  // namespace qvimcli
