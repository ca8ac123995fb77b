// The rules checker: everything the engine would read differently from what
// the author wrote, or skip without a word, reported with its line.
#include <cjson/cJSON.h>

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <sstream>
#include <utility>

#include "Commands.h"
#include "Output.h"
#include "Rules.h"
#include "Session.h"
#include "Text.h"

namespace qvimcli {
namespace {

// What the engine knows of each kind: the names its events give the
// attributes (which "attributes" may watch) and the attributes a condition
// ("includes_NAME") can test. Kind names come from kindName().
struct KindInfo {
    entity_type kind;
    std::vector<std::string> attributes;
    std::vector<std::string> conditions;
};

const std::vector<KindInfo>& kindTable() {
    static const std::vector<KindInfo> table = {
        {ENTITY_FILE,
         {"blocksAllocated", "created", "deviceNumber", "flags", "flagsAll", "group", "growing", "inodeGenerationNumber",
          "inodeNumber", "lastAccessed", "lastModified", "md5", "owner", "permissions", "sha1", "sha256", "shrinking",
          "size", "symLinkPath"},
         {"executable"}},
        {ENTITY_DIRECTORY,
         {"created", "deviceNumber", "flags", "flagsAll", "group", "inodeGenerationNumber", "inodeNumber",
          "lastAccessed", "lastModified", "owner", "permissions", "symLinkPath"},
         {}},
        {ENTITY_USER,
         {"user", "group", "cannotChangePassword", "description", "disabled", "fullName", "groups", "homeDriveLetter",
          "homeFolder", "lockedOut", "logonScript", "logonShell", "passwordExpiredDaysBeforeDisabled",
          "passwordExpiryInDays", "passwordExpiry", "passwordHasExpired", "passwordLastChanged",
          "passwordMinDaysBetweenChanges", "passwordNeverExpires", "passwordWarningDays", "profilePath"},
         {}},
        {ENTITY_GROUP, {"group", "description", "members", "subGroups"}, {}},
        {ENTITY_PORT, {"created", "group", "user", "listeners", "path", "process", "processID"}, {"path", "process", "user"}},
        {ENTITY_INSTALLED_SOFTWARE,
         {"name", "size", "parent", "installedDate", "installLocation", "manufacturer", "version"},
         {"name", "manufacturer"}},
        {ENTITY_PROCESS,
         {"group", "user", "path", "process", "processID", "commandLine", "threads", "parent"},
         {"commandLine", "group", "path", "user"}},
    };
    return table;
}

const KindInfo* kindInfo(entity_type kind) {
    for (const KindInfo& info : kindTable())
        if (info.kind == kind) return &info;
    return nullptr;
}

// Names other tools and habits use, and the attribute that holds the same.
const std::pair<const char*, const char*> kCommonNames[] = {
    {"mtime", "lastModified"}, {"modified", "lastModified"}, {"atime", "lastAccessed"},
    {"accessed", "lastAccessed"}, {"btime", "created"}, {"birthtime", "created"},
    {"perm", "permissions"}, {"perms", "permissions"}, {"mode", "permissions"},
    {"uid", "owner"}, {"uname", "owner"}, {"gid", "group"}, {"gname", "group"},
    {"inode", "inodeNumber"}, {"ino", "inodeNumber"}, {"dev", "deviceNumber"},
    {"device", "deviceNumber"}, {"blocks", "blocksAllocated"}, {"bcount", "blocksAllocated"},
    {"link", "symLinkPath"}, {"linkname", "symLinkPath"}, {"lname", "symLinkPath"},
    {"target", "symLinkPath"}, {"hash", "sha256"}, {"checksum", "sha256"},
    {"sha512", "sha256"}, {"md5sum", "md5"}, {"sha256sum", "sha256"}, {"sha1sum", "sha1"},
    {"generation", "inodeGenerationNumber"}, {"attr", "flags"}, {"chattr", "flags"},
    {"displayname", "name"}, {"uid", "user"}, {"gid", "group"}, {"shell", "logonShell"},
    {"home", "homeFolder"}, {"pid", "processID"}, {"ppid", "parent"}, {"cmdline", "commandLine"},
    {"exe", "path"}, {"gecos", "fullName"},
};

std::string lowerCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool sameName(const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) == 0; }

// Edit distance without regard to case, bounded: names longer than a line are
// not worth suggesting against.
size_t distance(const std::string& a, const std::string& b) {
    if (a.size() > 64 || b.size() > 64) return static_cast<size_t>(-1);
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            const bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                              std::tolower(static_cast<unsigned char>(b[j - 1]));
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The closest of the names, when it is close enough to be a slip.
std::string closest(const std::string& name, const std::vector<std::string>& names) {
    std::string best;
    size_t bestDistance = std::max<size_t>(2, name.size() / 3) + 1;
    for (const std::string& candidate : names) {
        const size_t d = distance(name, candidate);
        if (d < bestDistance) {
            best = candidate;
            bestDistance = d;
        }
    }
    return best;
}

std::string suggestion(const std::string& name, const std::vector<std::string>& names) {
    for (const auto& [common, ours] : kCommonNames) {
        if (!sameName(name, common)) continue;
        for (const std::string& candidate : names)
            if (candidate == ours) return "; did you mean \"" + candidate + "\"?";
    }
    const std::string best = closest(name, names);
    return best.empty() ? std::string() : "; did you mean \"" + best + "\"?";
}

std::string listed(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
    return text;
}

// Lines of the values of a JSON text, in the order cJSON builds its items
// (depth first, in document order), down to maxDepth. One pass, no
// recursion: a deeply nested document costs a stack of characters.
bool valueLines(const std::string& text, size_t maxDepth, size_t maxValues, std::vector<uint32_t>& lines) {
    std::vector<char> open;  // '{' or '['
    bool expectKey = false;
    uint32_t line = 1;
    // cJSON skips a byte order mark; so must the count.
    const size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    for (size_t i = start; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\n') {
            ++line;
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\r' || c == ':') continue;
        if (c == ',') {
            expectKey = !open.empty() && open.back() == '{';
            continue;
        }
        if (c == '}' || c == ']') {
            if (!open.empty()) open.pop_back();
            if (open.empty()) break;
            continue;
        }
        const uint32_t first = line;
        if (c == '"') {
            for (++i; i < text.size() && text[i] != '"'; ++i) {
                if (text[i] == '\\') ++i;
                else if (text[i] == '\n') ++line;
            }
            if (expectKey) {
                expectKey = false;
                continue;
            }
        } else if (c != '{' && c != '[') {
            while (i + 1 < text.size() && std::strchr(",]} \t\r\n", text[i + 1]) == nullptr) ++i;
        }
        if (open.size() <= maxDepth) {
            if (lines.size() >= maxValues) return false;
            lines.push_back(first);
        }
        if (c == '{' || c == '[') {
            open.push_back(c);
            expectKey = c == '{';
        } else if (open.empty()) {
            break;
        }
    }
    return true;
}

class Checker {
public:
    Checker(const std::string& text, std::vector<RuleProblem>& problems) : m_text(text), m_problems(problems) {}

    void run() {
        const char* end = nullptr;
        JsonPtr document(cJSON_ParseWithOpts(m_text.c_str(), &end, false));
        if (!document) {
            size_t line = 1;
            for (const char* p = m_text.c_str(); end != nullptr && p < end && *p != '\0'; ++p)
                if (*p == '\n') ++line;
            error(line, "not valid JSON here");
            return;
        }
        if (!locate(document.get())) return;
        checkDocument(document.get());
    }

private:
    // Rules, sets and their members lie at most this deep; nothing below is looked at.
    static constexpr size_t kDepth = 6;
    // Far more than any real ruleset; bounds the memory one hostile file can take.
    static constexpr size_t kMaxValues = 1u << 20;

    bool locate(const cJSON* root) {
        std::vector<uint32_t> lines;
        if (!valueLines(m_text, kDepth, kMaxValues, lines)) {
            error(size_t{0}, "too many values to check (more than " + std::to_string(kMaxValues) + ")");
            return false;
        }
        // The same walk over the parsed items, depth first.
        std::vector<std::pair<const cJSON*, size_t>> todo{{root, 0}};
        size_t index = 0;
        while (!todo.empty()) {
            const auto [item, depth] = todo.back();
            todo.pop_back();
            m_lines.emplace_back(item, index < lines.size() ? lines[index] : 0);
            ++index;
            if (depth >= kDepth) continue;
            std::vector<const cJSON*> children;
            for (const cJSON* child = item->child; child != nullptr; child = child->next) children.push_back(child);
            for (auto child = children.rbegin(); child != children.rend(); ++child) todo.emplace_back(*child, depth + 1);
        }
        std::sort(m_lines.begin(), m_lines.end());
        return true;
    }

    size_t lineOf(const cJSON* item) const {
        auto found = std::lower_bound(m_lines.begin(), m_lines.end(), std::make_pair(item, size_t{0}));
        return found != m_lines.end() && found->first == item ? found->second : 0;
    }

    void error(size_t line, const std::string& text) { m_problems.push_back({line, true, text}); }
    void warning(size_t line, const std::string& text) { m_problems.push_back({line, false, text}); }
    void error(const cJSON* item, const std::string& text) { error(lineOf(item), text); }
    void warning(const cJSON* item, const std::string& text) { warning(lineOf(item), text); }

    static std::string member(const cJSON* item) { return "\"" + std::string(item->string ? item->string : "") + "\""; }

    static const char* typeName(const cJSON* item) {
        if (cJSON_IsString(item)) return "a text";
        if (cJSON_IsBool(item)) return "a boolean";
        if (cJSON_IsNumber(item)) return "a number";
        if (cJSON_IsArray(item)) return "an array";
        if (cJSON_IsObject(item)) return "an object";
        return "null";
    }

    // A member the engine reads as a text: anything else it skips.
    bool needText(const cJSON* item) {
        if (cJSON_IsString(item)) return true;
        std::string hint;
        if (cJSON_IsBool(item)) hint = std::string("; write \"") + (cJSON_IsTrue(item) ? "true" : "false") + "\" in quotes";
        error(item, member(item) + " must be a text, not " + typeName(item) + "; the engine ignores it" + hint);
        return false;
    }

    void unknownMember(const cJSON* item, const std::vector<std::string>& known, bool exactCase) {
        std::string hint = suggestion(item->string, known);
        if (!exactCase || hint.empty()) {
            error(item, "unknown member " + member(item) + ", which the engine ignores" + hint);
            return;
        }
        error(item, "unknown member " + member(item) + ", which the engine ignores (names here are case-sensitive)" +
                        hint);
    }

    void checkDocument(const cJSON* document) {
        if (!cJSON_IsObject(document)) {
            error(document, "the document must be an object with an \"IntegrityRules\" array");
            return;
        }
        const cJSON* rules = nullptr;
        for (const cJSON* item = document->child; item != nullptr; item = item->next) {
            if (item->string == nullptr) continue;
            if (sameName(item->string, "IntegrityRules")) {
                if (rules == nullptr) rules = item;
            } else {
                const std::string hint = suggestion(item->string, {"IntegrityRules"});
                if (hint.empty())
                    warning(item, "the engine ignores the member " + member(item));
                else
                    error(item, "unknown member " + member(item) + ", which the engine ignores" + hint);
            }
        }
        if (!cJSON_IsArray(rules)) {
            error(rules != nullptr ? lineOf(rules) : lineOf(document), "no \"IntegrityRules\" array");
            return;
        }
        if (rules->child == nullptr) error(rules, "\"IntegrityRules\" is empty: nothing would be watched");
        size_t index = 0;
        for (const cJSON* rule = rules->child; rule != nullptr; rule = rule->next) checkRule(rule, ++index);
    }

    void checkRule(const cJSON* rule, size_t index) {
        const std::string where = "rule " + std::to_string(index);
        if (!cJSON_IsObject(rule)) {
            error(rule, where + " must be an object, not " + typeName(rule));
            return;
        }
        static const std::vector<std::string> kMembers = {"id",         "name",     "severity",    "hash",
                                                         "identifier", "realtime", "enforcement", "EntitySets"};
        // Names of a rule are matched without regard to case; the first one counts.
        std::map<std::string, const cJSON*> found;
        for (const cJSON* item = rule->child; item != nullptr; item = item->next) {
            if (item->string == nullptr) continue;
            auto known = std::find_if(kMembers.begin(), kMembers.end(),
                                      [item](const std::string& name) { return sameName(name, item->string); });
            if (known == kMembers.end())
                unknownMember(item, kMembers, false);
            else if (found.count(*known) != 0)
                warning(item, "a second " + member(item) + " in " + where + ", which the engine ignores");
            else
                found[*known] = item;
        }
        const auto get = [&found](const char* name) {
            auto item = found.find(name);
            return item == found.end() ? nullptr : item->second;
        };

        const cJSON* id = get("id");
        if (id == nullptr) {
            error(rule, where + " has no \"id\"; the engine does not install it");
        } else if (cJSON_IsString(id)) {
            const std::string text = id->valuestring;
            const bool decimal = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
            if (!decimal) error(id, "\"id\" \"" + text + "\" is not a decimal number; the engine reads it as 0");
        } else if (!cJSON_IsNumber(id)) {
            error(id, "\"id\" must be a number or a decimal text, not " + std::string(typeName(id)));
        } else if (id->valuedouble < 0) {
            error(id, "\"id\" must not be negative; the engine does not install a rule with id -1");
        }
        for (const char* name : {"name", "hash", "identifier"})
            if (const cJSON* item = get(name)) needText(item);
        if (const cJSON* severity = get("severity"); severity != nullptr && !cJSON_IsNumber(severity))
            needText(severity);

        bool realtime = false;
        if (const cJSON* item = get("realtime"); item != nullptr && needText(item)) {
            const std::string text = item->valuestring;
            realtime = text != "false" && text != "FALSE";
            if (text != "true" && text != "false" && text != "TRUE" && text != "FALSE")
                warning(item, "\"realtime\": \"" + text + "\" is read as true (only \"false\" and \"FALSE\" are false)");
        }
        if (const cJSON* enforcement = get("enforcement")) {
            if (!realtime)
                warning(enforcement, "\"enforcement\" of " + where + " is ignored: the rule is not \"realtime\"");
            else
                checkEnforcement(enforcement);
        }
        const cJSON* sets = get("EntitySets");
        if (sets == nullptr || (cJSON_IsArray(sets) && sets->child == nullptr)) {
            error(sets != nullptr ? sets : rule, where + " has no entity set: it watches nothing");
            return;
        }
        if (!cJSON_IsArray(sets)) {
            error(sets, "\"EntitySets\" must be an array, not " + std::string(typeName(sets)));
            return;
        }
        for (const cJSON* set = sets->child; set != nullptr; set = set->next) checkSet(set);
    }

    void checkEnforcement(const cJSON* enforcement) {
        if (!cJSON_IsObject(enforcement)) {
            error(enforcement, "\"enforcement\" must be an object, not " + std::string(typeName(enforcement)));
            return;
        }
        static const std::vector<std::string> kMembers = {"type", "users", "groups", "processName"};
        bool typed = false;
        for (const cJSON* item = enforcement->child; item != nullptr; item = item->next) {
            const std::string key = item->string ? item->string : "";
            if (sameName(key, "type")) {
                typed = true;
                if (needText(item) && std::strcmp(item->valuestring, "allow") != 0 &&
                    std::strcmp(item->valuestring, "block") != 0)
                    error(item, "\"type\" must be \"allow\" or \"block\", not \"" + std::string(item->valuestring) +
                                    "\"; the engine would not enforce the rule");
            } else if (sameName(key, "users") || sameName(key, "groups")) {
                if (!cJSON_IsArray(item)) {
                    error(item, member(item) + " must be an array of names, not " + typeName(item));
                    continue;
                }
                for (const cJSON* name = item->child; name != nullptr; name = name->next)
                    if (!cJSON_IsString(name))
                        error(name, "the names in " + member(item) + " must be texts, not " + typeName(name));
            } else if (sameName(key, "processName")) {
                needText(item);
            } else {
                unknownMember(item, kMembers, false);
            }
        }
        if (!typed) error(enforcement, "\"enforcement\" has no \"type\" (\"allow\" or \"block\")");
    }

    static std::vector<std::string> words(const std::string& text) {
        std::vector<std::string> result;
        std::istringstream stream(text);
        std::string word;
        while (std::getline(stream, word, ',')) {
            const size_t first = word.find_first_not_of(" \t");
            if (first == std::string::npos) continue;
            result.push_back(word.substr(first, word.find_last_not_of(" \t") - first + 1));
        }
        return result;
    }

    void checkSet(const cJSON* set) {
        if (!cJSON_IsObject(set)) {
            error(set, "an entity set must be an object, not " + std::string(typeName(set)));
            return;
        }
        static const std::vector<std::string> kExact = {"entityType", "base", "includes", "excludes", "and"};
        static const std::vector<std::string> kAnyCase = {"operations", "attributes"};
        std::vector<std::string> all = kExact;
        all.insert(all.end(), kAnyCase.begin(), kAnyCase.end());

        // The kind first: what else is valid depends on it. A later entityType wins.
        const cJSON* type = nullptr;
        for (const cJSON* item = set->child; item != nullptr; item = item->next)
            if (item->string != nullptr && std::strcmp(item->string, "entityType") == 0) type = item;
        entity_type kind = ENTITY_UNKNOWN;
        if (type == nullptr) {
            error(set, "the entity set has no \"entityType\"; it watches nothing");
        } else if (needText(type)) {
            kind = kindOfName(type->valuestring);
            const std::string name = type->valuestring;
            std::vector<std::string> kinds;
            for (const KindInfo& info : kindTable()) kinds.push_back(kindName(info.kind));
            if (kind == ENTITY_UNKNOWN)
                error(type, "unknown \"entityType\" \"" + name + "\"" + suggestion(name, kinds) + " (one of " +
                                listed(kinds) + ")");
            else if (name != kindName(kind))
                warning(type, "\"entityType\" \"" + name + "\" is read as \"" + kindName(kind) + "\"");
        }
        const KindInfo* info = kindInfo(kind);
        const bool based = kind == ENTITY_FILE || kind == ENTITY_DIRECTORY;

        std::map<std::string, const cJSON*> anyCase;
        for (const cJSON* item = set->child; item != nullptr; item = item->next) {
            if (item->string == nullptr) continue;
            const std::string key = item->string;
            auto loose = std::find_if(kAnyCase.begin(), kAnyCase.end(),
                                      [&key](const std::string& name) { return sameName(name, key); });
            if (loose != kAnyCase.end()) {
                if (anyCase.count(*loose) == 0) anyCase[*loose] = item;
            } else if (key == "entityType") {
                continue;
            } else if (key == "base") {
                if (!needText(item)) continue;
                if (!based && info != nullptr)
                    warning(item, "\"base\" is ignored on a " + std::string(kindName(kind)) + " set");
                else if (std::strlen(item->valuestring) > 0 && item->valuestring[0] != '/')
                    error(item, "\"base\" \"" + std::string(item->valuestring) + "\" is not an absolute path");
            } else if (key == "includes" || key == "excludes") {
                needText(item);
            } else if (key == "and") {
                checkAnd(item, info);
            } else if (startsWith(key, "includes_") || startsWith(key, "excludes_")) {
                checkCondition(item, info);
            } else {
                unknownMember(item, all, true);
            }
        }
        if (const cJSON* operations = anyCase.count("operations") ? anyCase["operations"] : nullptr)
            checkOperations(operations);
        if (const cJSON* attributes = anyCase.count("attributes") ? anyCase["attributes"] : nullptr)
            checkAttributes(attributes, info);
    }

    void checkAnd(const cJSON* group, const KindInfo* info) {
        if (!cJSON_IsObject(group)) {
            error(group, "\"and\" must be an object of conditions, not " + std::string(typeName(group)));
            return;
        }
        if (group->child == nullptr) warning(group, "\"and\" has no condition");
        for (const cJSON* item = group->child; item != nullptr; item = item->next) {
            const std::string key = item->string ? item->string : "";
            if (key == "includes" || key == "excludes")
                needText(item);
            else if (startsWith(key, "includes_") || startsWith(key, "excludes_"))
                checkCondition(item, info);
            else
                unknownMember(item, {"includes", "excludes", "includes_NAME", "excludes_NAME"}, true);
        }
    }

    // "includes_NAME" and "excludes_NAME": the engine asks the entity for NAME,
    // and an entity that does not answer makes the condition count for nothing.
    void checkCondition(const cJSON* item, const KindInfo* info) {
        needText(item);
        if (info == nullptr) return;
        const std::string key = item->string;
        const std::string name = key.substr(key.find('_') + 1);
        if (sameName(name, "casesensitive")) {
            if (cJSON_IsString(item) && std::strcmp(item->valuestring, "true") != 0 &&
                std::strcmp(item->valuestring, "false") != 0)
                warning(item, member(item) + " should be \"true\" or \"false\"; other texts count as \"true\"");
            return;
        }
        for (const std::string& condition : info->conditions)
            if (sameName(condition, name)) return;
        const std::string kind = kindName(info->kind);
        if (info->conditions.empty()) {
            error(item, member(item) + " tests nothing: " + kind + " entities answer no attribute condition");
            return;
        }
        error(item, member(item) + " tests nothing: " + kind + " entities answer conditions on " +
                        listed(info->conditions) + " only" + suggestion(name, info->conditions));
    }

    void checkOperations(const cJSON* item) {
        if (!needText(item)) return;
        static const std::vector<std::string> kOperations = {"create", "rename", "delete", "update", "block"};
        static const std::pair<const char*, const char*> kOtherWords[] = {
            {"add", "create"}, {"added", "create"}, {"new", "create"}, {"remove", "delete"}, {"removed", "delete"},
            {"change", "update"}, {"changed", "update"}, {"modify", "update"}, {"write", "update"},
            {"move", "rename"}, {"moved", "rename"}, {"deny", "block"}};
        for (const std::string& word : words(item->valuestring)) {
            if (std::find(kOperations.begin(), kOperations.end(), lowerCase(word)) != kOperations.end()) continue;
            std::string hint;
            for (const auto& [other, ours] : kOtherWords)
                if (sameName(word, other)) hint = std::string("; did you mean \"") + ours + "\"?";
            if (hint.empty()) hint = suggestion(word, kOperations);
            error(item, "unknown operation \"" + word + "\", which the engine ignores" + hint + " (one of " +
                            listed(kOperations) + ")");
        }
    }

    void checkAttributes(const cJSON* item, const KindInfo* info) {
        if (!needText(item)) return;
        const std::vector<std::string> names = words(item->valuestring);
        if (names.empty()) warning(item, "\"attributes\" names nothing; the kind's defaults are watched");
        if (info == nullptr) return;
        const std::string kind = kindName(info->kind);
        for (const std::string& name : names) {
            if (sameName(name, "standard") || (sameName(name, "contents") && info->kind == ENTITY_FILE)) continue;
            if (std::any_of(info->attributes.begin(), info->attributes.end(),
                            [&name](const std::string& known) { return sameName(known, name); }))
                continue;
            error(item, "\"" + name + "\" is not an attribute of " + kind + " entities, so nothing watches it" +
                            suggestion(name, info->attributes));
        }
    }

    const std::string& m_text;
    std::vector<RuleProblem>& m_problems;
    std::vector<std::pair<const cJSON*, size_t>> m_lines;
};

}  // namespace

const std::vector<std::string>& kindAttributes(entity_type kind) {
    static const std::vector<std::string> none;
    const KindInfo* info = kindInfo(kind);
    return info != nullptr ? info->attributes : none;
}

const std::vector<std::string>& kindConditions(entity_type kind) {
    static const std::vector<std::string> none;
    const KindInfo* info = kindInfo(kind);
    return info != nullptr ? info->conditions : none;
}

std::vector<RuleProblem> checkRuleset(const std::string& text) {
    std::vector<RuleProblem> problems;
    Checker(text, problems).run();
    std::stable_sort(problems.begin(), problems.end(),
                     [](const RuleProblem& a, const RuleProblem& b) { return a.line < b.line; });
    return problems;
}

std::string RuleProblem::text(const std::string& file) const {
    return file + ":" + (line > 0 ? std::to_string(line) + ":" : std::string()) + (error ? " error: " : " warning: ") +
           message;
}

int runRulesCheck(const Options& options, Console& console, EventPrinter& printer) {
    std::string content;
    std::string why;
    if (!readRulesFile(options.rules, content, why)) {
        console.error("cannot read the rules file '" + options.rules + "': " + why);
        return kExitUsage;
    }
    size_t errors = 0, warnings = 0;
    for (const RuleProblem& problem : checkRuleset(content)) {
        printer.line(problem.text(options.rules));
        ++(problem.error ? errors : warnings);
    }
    const auto count = [](size_t n, const char* what) {
        return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
    };
    if (errors + warnings == 0)
        printer.line(options.rules + ": no problems found");
    else
        printer.line(options.rules + ": " + count(errors, "error") + ", " + count(warnings, "warning") +
                     (errors > 0 ? "; qvim init refuses it" : ""));
    return errors > 0 ? kExitRules : kExitOk;
}

}  // namespace qvimcli
