// The rule filter: a ruleset read into entity sets, and the questions asked
// of it (which rules match an entity, which attributes they watch, whether a
// walk must enter a folder). Sections: pattern matching, special attributes,
// entity sets, rules, packages, building the filter, matching, scope.
#include "QVIMIntegrityRuleFilter.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "QVIMJson.h"
#include "QVIMLogger.h"
#include "QVIMStats.h"
#include "QVIMUtilPlatformIndependent.h"

namespace {

std::atomic<uint64_t> g_entitySetCounter{0};

inline bool isSeparator(char c) { return c == '/' || c == '\\'; }

inline bool startsWith(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

inline bool endsWith(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

inline int printable(std::string_view text) { return static_cast<int>(text.size()); }

// The text of a member that should be a JSON string; any other JSON type is
// treated as if the member were absent, with a WARNING.
const char* stringMember(const cJSON* item, const char* owner, const char* member) {
    if (item == nullptr) return nullptr;
    if (cJSON_IsString(item) && item->valuestring != nullptr) return item->valuestring;
    LOG_WARNING(QVIM_SRC_RULES, owner, "%s: member '%s' is not a string and is ignored", owner, member);
    return nullptr;
}

const cJSON* typedMember(const cJSON* object, const char* name, cJSON_bool (*isType)(const cJSON*), const char* owner) {
    const cJSON* item = cJSON_GetObjectItem(object, name);
    if (item == nullptr || isType(item)) return item;
    LOG_WARNING(QVIM_SRC_RULES, owner, "%s: member '%s' has the wrong JSON type and is ignored", owner, name);
    return nullptr;
}

// Pieces of a separated list, lower-cased and trimmed of blanks and tabs.
std::vector<std::string> lowerPieces(std::string text, char separator) {
    toLowerAscii(text);
    const TrimWhiteSpace trim;
    return split(text, separator, &trim);
}

// Only the space character is trimmed from enforcement texts.
std::string trimSpaces(const char* text) {
    std::string_view view(text);
    const size_t first = view.find_first_not_of(' ');
    if (first == std::string_view::npos) return std::string();
    return std::string(view.substr(first, view.find_last_not_of(' ') - first + 1));
}

// Base up to, not including, its second '/'; from its only '/' on otherwise.
std::string_view firstDirectory(std::string_view base) {
    const size_t first = base.find('/');
    if (first == std::string_view::npos) return base;
    const size_t second = base.find('/', first + 1);
    return second != std::string_view::npos ? base.substr(0, second) : base.substr(first);
}

// Whole-text comparison of a path-style pattern: one row per consumed pattern
// element, two rows reused across calls on this thread.
bool matchPathRows(std::string_view text, std::string_view pattern) {
    const size_t n = text.size();
    thread_local std::vector<unsigned char> buffer;
    if (buffer.size() < 2 * (n + 1)) buffer.resize(2 * (n + 1));
    unsigned char* row = buffer.data();
    unsigned char* next = row + n + 1;
    row[0] = 1;
    std::fill(row + 1, row + n + 1, 0);

    for (size_t i = 0; i < pattern.size();) {
        const char p = pattern[i];
        unsigned char any = 0;
        if (p == '*' && i + 2 < pattern.size() && pattern[i + 1] == '*' && isSeparator(pattern[i + 2])) {
            // Absorbs the rest of the first segment it reaches; past the first
            // separator it can only end on separators.
            next[0] = row[0];
            bool pastSeparator = false;
            for (size_t j = 1; j <= n; ++j) {
                const char c = text[j - 1];
                if (!pastSeparator) {
                    next[j] = row[j] | next[j - 1];
                    if (next[j - 1]) pastSeparator = isSeparator(c);
                } else {
                    next[j] = isSeparator(c);
                }
            }
            i += 3;
        } else if (p == '*') {
            next[0] = row[0];
            for (size_t j = 1; j <= n; ++j) next[j] = isSeparator(text[j - 1]) ? row[j] : (row[j] | next[j - 1]);
            ++i;
        } else if (p == '?') {
            next[0] = 0;
            for (size_t j = 1; j <= n; ++j) next[j] = row[j - 1] & !isSeparator(text[j - 1]);
            ++i;
        } else {
            next[0] = 0;
            for (size_t j = 1; j <= n; ++j) next[j] = row[j - 1] & (text[j - 1] == p);
            ++i;
        }
        for (size_t j = 0; j <= n && !any; ++j) any = next[j];
        if (!any) return false;
        std::swap(row, next);
    }
    return row[n] != 0;
}

}  // namespace

// ---- Pattern matching -----------------------------------------------------------------

bool MatchFunction(std::string_view text, std::string_view pattern) {
    if (text.find(pattern) != std::string_view::npos) return true;
    if (pattern.find_first_of("*?") == std::string_view::npos) return false;
    if (pattern == "**" || pattern == "**/*") return true;

    // The two tail rewrites below are rare; only they need a copy of the pattern.
    thread_local std::string rewritten;
    std::string_view effective = pattern;
    if (text.find('/') == std::string_view::npos && pattern.size() > 2 && endsWith(pattern, "/**")) {
        // "conf/**" also selects the directory entry "conf" itself.
        rewritten.assign(pattern.substr(0, pattern.size() - 3));
        rewritten += '*';
        effective = rewritten;
    }
    const char* tail = nullptr;
    if (effective.size() > 1 && endsWith(effective, "**"))
        tail = "/*";
    else if (!effective.empty() && isSeparator(effective.back()))
        tail = "*";
    if (tail != nullptr) {
        if (effective.data() != rewritten.data()) rewritten.assign(effective);
        rewritten += tail;
        effective = rewritten;
    }
    return matchPathRows(text, effective);
}

bool MatchPlain(std::string_view text, std::string_view pattern) {
    if (text.find(pattern) != std::string_view::npos) return true;
    if (pattern.find_first_of("*?") == std::string_view::npos) return false;
    if (pattern == "*") return true;
    // Whole-text glob: backtrack to the last '*' on a mismatch.
    size_t t = 0, p = 0, star = std::string_view::npos, mark = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            mark = t;
        } else if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
            ++p;
            ++t;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            t = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

bool MatchEventPathWithRulePath(std::string_view text, std::string_view patterns, bool pathStyle, bool all) {
    static const char* const kBlanks = " \t\n\r\f\v";
    bool matched = false;
    size_t start = 0;
    while (start <= patterns.size()) {
        size_t end = patterns.find(';', start);
        if (end == std::string_view::npos) end = patterns.size();
        std::string_view piece = patterns.substr(start, end - start);
        start = end + 1;
        const size_t first = piece.find_first_not_of(kBlanks);
        if (first == std::string_view::npos) continue;
        piece = piece.substr(first, piece.find_last_not_of(kBlanks) - first + 1);

        if (pathStyle ? MatchFunction(text, piece) : MatchPlain(text, piece)) {
            LOG_TRACE(QVIM_SRC_RULES, "MatchEventPathWithRulePath",
                      "Match found between event path [%.*s] and rule path [%.*s]", printable(text), text.data(),
                      printable(piece), piece.data());
            if (!all) return true;
            matched = true;
        } else if (all) {
            return false;
        }
    }
    return matched;
}

// ---- Special attributes ---------------------------------------------------------------

void SpecialAttributes::setAttribute(const std::string& key, const std::string& value) {
    std::string lower = key;
    toLowerAscii(lower);
    const size_t underscore = lower.find('_');
    const std::string kind = underscore == std::string::npos ? lower : lower.substr(0, underscore);
    const std::string attribute = underscore == std::string::npos ? std::string("key") : lower.substr(underscore + 1);
    if (kind == "includes")
        includes[attribute] = value;
    else if (kind == "excludes")
        excludes[attribute] = value;
}

void populateSpecialAttributesAND(const cJSON* object, SpecialAttributes* group) {
    if (group == nullptr || !cJSON_IsObject(object)) return;
    for (const cJSON* member = object->child; member != nullptr; member = member->next) {
        const std::string_view key = member->string != nullptr ? member->string : "";
        if (key != "includes" && key != "excludes" && !startsWith(key, "includes_") && !startsWith(key, "excludes_"))
            continue;
        if (const char* value = stringMember(member, "EntitySet", member->string)) group->setAttribute(member->string, value);
    }
}

bool SpecialAttributes::matchMap(const AttributeReader& entity, const EntitySet& set,
                                 const Conditions& conditions) const {
    const auto caseSensitive = conditions.find("casesensitive");
    if (caseSensitive != conditions.end() && caseSensitive->second != "true" && caseSensitive->second != "false")
        LOG_WARNING(QVIM_SRC_RULES, "matchMap",
                    "SpecialAttributes: casesensitive value is invalid: '%s'. Assuming default: '%s'",
                    caseSensitive->second.c_str(), "true");
    if (conditions.empty()) return false;

    const std::string_view relativeKey = set.base.relativeView(entity.matchKey(), "getBaseRelativePath");
    std::string attributeValue;
    bool compared = false;
    for (const auto& [name, patterns] : conditions) {
        std::string_view value;
        if (name == "key") {
            value = relativeKey;
        } else {
            attributeValue.clear();
            entity.getSpecialAttributeValue(name, attributeValue);
            value = attributeValue;
        }
        if (value.empty()) {
            LOG_TRACE(QVIM_SRC_RULES, "matchMap", "attributeValue is empty for attributeName: '%s'", name.c_str());
            continue;
        }
        LOG_TRACE(QVIM_SRC_RULES, "matchMap",
                  "Calling MatchEventPathWithRulePath() w/attributeValue: '%.*s', patterns: '%s', and m_and: '%s'",
                  printable(value), value.data(), patterns.c_str(), m_and ? "true" : "false");
        const bool matched = MatchEventPathWithRulePath(value, patterns, set.based, m_and);
        if (matched && !m_and) return true;
        if (!matched && m_and) return false;
        compared = true;
    }
    return m_and && compared;
}

// ---- Entity sets ----------------------------------------------------------------------

std::string EntitySet::BasePathAbstract::normalise(const std::string& text) {
    if (text.empty()) return "/";
    if (endsWith(text, "*/")) return text.substr(0, text.size() - 2);
    if (text.back() == '*') return text.substr(0, text.size() - 1);
    if (text.back() == '/') return text;
    return text + '/';
}

std::string_view EntitySet::BasePathAbstract::relativeView(std::string_view base, std::string_view key,
                                                           const char* function) {
    if (base.empty()) return key;
    if (!startsWith(key, base)) return std::string_view();
    if (base.back() == '/') return key.substr(base.size());
    // A base left with a partial name ("/var/log/app") owns the next level whole.
    const size_t slash = key.find('/', base.size());
    if (slash == std::string_view::npos) {
        LOG_WARNING(QVIM_SRC_RULES, function, "No slash in '%.*s' when trying to remove the base ('%.*s') from it",
                    printable(key), key.data(), printable(base), base.data());
        return key;
    }
    return key.substr(slash + 1);
}

std::string_view EntitySet::BasePathAbstract::relativeView(std::string_view key, const char* function) const {
    return relativeView(m_base, key, function);
}

std::string EntitySet::BasePathAbstract::getBaseRelativePath(const std::string& key, bool) const {
    return std::string(relativeView(key, "getBaseRelativePath"));
}

EntitySet::EntitySet() : entitySetId(g_entitySetCounter.fetch_add(1)) {}

EntitySet::EntitySet(const cJSON* set, const std::string& guid, bool realtime, long long ruleId)
    : guid(guid), ruleId(ruleId), entitySetId(g_entitySetCounter.fetch_add(1)), type(kNoEntityType),
      realtime(realtime) {
    if (!cJSON_IsObject(set)) {
        populateDefaultAttributes(type);
        return;
    }
    std::shared_ptr<SpecialAttributes> loose;
    for (const cJSON* member = set->child; member != nullptr; member = member->next) {
        const std::string_view key = member->string != nullptr ? member->string : "";
        if (key == "entityType") {
            const char* name = stringMember(member, "EntitySet", "entityType");
            if (name == nullptr) continue;
            type = convertEntityType(name);
            if (type == ENTITY_UNKNOWN)
                LOG_WARNING(QVIM_SRC_RULES, "EntitySet", "EntitySet: unknown entity type: %s", name);
            if (type == ENTITY_FILE || type == ENTITY_DIRECTORY) based = true;
            if (type == ENTITY_DIRECTORY) descends = true;
        } else if (key == "base") {
            if (!cJSON_IsString(member) || member->valuestring == nullptr) continue;
            base = BasePathAbstract(BasePathAbstract::normalise(member->valuestring));
            if (base.get().empty() || base.get().back() != '/') descends = true;
        } else if (startsWith(key, "includes_") || startsWith(key, "excludes_")) {
            // The group exists even when the value is unusable: a condition
            // that cannot be read selects nothing, it does not widen the set.
            if (!loose) loose = std::make_shared<SpecialAttributes>();
            if (const char* value = stringMember(member, "EntitySet", member->string))
                loose->setAttribute(member->string, value);
        } else if (key == "and") {
            // Likewise an "and" that is not an object gives an empty group.
            if (!cJSON_IsObject(member))
                LOG_WARNING(QVIM_SRC_RULES, "EntitySet", "EntitySet: member 'and' is not an object and selects nothing");
            auto group = std::make_shared<SpecialAttributes>();
            group->m_and = true;
            populateSpecialAttributesAND(member, group.get());
            specialAttributes.push_back(std::move(group));
        } else if (key == "includes") {
            if (const char* value = stringMember(member, "EntitySet", "includes")) {
                includes = value;
                if (includes.find_first_of("/\\") != std::string::npos) descends = true;
            }
        } else if (key == "excludes") {
            if (const char* value = stringMember(member, "EntitySet", "excludes")) excludes = value;
        }
    }
    if (loose) specialAttributes.push_back(std::move(loose));

    if (const char* value = stringMember(cJSON_GetObjectItem(set, "operations"), "EntitySet", "operations"))
        readOperations(value);
    if (const char* value = stringMember(cJSON_GetObjectItem(set, "attributes"), "EntitySet", "attributes"))
        readAttributes(value);
    if (attributes.empty()) populateDefaultAttributes(type);
}

void EntitySet::readOperations(const std::string& text) {
    for (const std::string& word : lowerPieces(text, ',')) {
        if (word == "create")
            operations.push_back(IM_OP_CREATE);
        else if (word == "rename")
            operations.push_back(IM_OP_RENAME);
        else if (word == "delete")
            operations.push_back(IM_OP_DELETE);
        else if (word == "update")
            operations.push_back(IM_OP_UPDATE);
        else if (word == "block")
            block = true;
    }
}

void EntitySet::readAttributes(const std::string& text) {
    for (std::string& word : lowerPieces(text, ',')) {
        if (word.empty()) continue;
        if (word == "contents") {
            attributes.insert("sha1");
            attributes.insert("sha256");
        } else if (word == "standard") {
            populateDefaultAttributes(type);
        } else {
            attributes.insert(std::move(word));
        }
    }
}

void EntitySet::populateDefaultAttributes(entity_type forType) {
    static const std::vector<const char*> file = {"created",     "group", "lastmodified", "owner",      "permissions",
                                                  "sha1",        "sha256", "size",        "symlinkpath"};
    static const std::vector<const char*> directory = {"created", "group",       "lastmodified",
                                                       "owner",   "permissions", "symlinkpath"};
    static const std::vector<const char*> user = {"user",         "cannotchangepassword", "disabled",
                                                  "homefolder",   "passwordhasexpired",   "passwordlastchanged",
                                                  "passwordneverexpires", "groups",        "group",
                                                  "logonshell",   "passwordexpiryindays", "passwordmindaysbetweenchanges"};
    static const std::vector<const char*> group = {"group", "members"};
    static const std::vector<const char*> port = {"user", "group", "process", "processid", "listeners", "path"};
    static const std::vector<const char*> software = {"installeddate", "version", "name", "displayname"};
    static const std::vector<const char*> process = {"commandline", "group", "parent", "path", "process", "user"};
    const std::vector<const char*>* names = nullptr;
    switch (forType) {
        case ENTITY_FILE: names = &file; break;
        case ENTITY_DIRECTORY: names = &directory; break;
        case ENTITY_USER: names = &user; break;
        case ENTITY_GROUP: names = &group; break;
        case ENTITY_PORT: names = &port; break;
        case ENTITY_INSTALLED_SOFTWARE: names = &software; break;
        case ENTITY_PROCESS: names = &process; break;
        default: return;
    }
    attributes.insert(names->begin(), names->end());
}

entity_type convertEntityTypeName(const char* name) {
    const entity_type type = parseEntityTypeName(name);
    if (type == ENTITY_UNKNOWN)
        LOG_WARNING(QVIM_SRC_RULES, "convertEntityType", "Receiving unknown entity type: '%s'",
                    name != nullptr ? name : "(null)");
    return type;
}

entity_type EntitySet::convertEntityType(const char* name) { return convertEntityTypeName(name); }

const char* EntitySet::convertEntityType(entity_type value) { return entityTypeName(value); }

bool EntitySet::matchIncludes(std::string_view text) const {
    if (includes.empty()) return specialAttributes.empty();
    return MatchEventPathWithRulePath(text, includes, based, false);
}

bool EntitySet::matchExcludes(std::string_view text) const {
    return !excludes.empty() && MatchEventPathWithRulePath(text, excludes, based, false);
}

void EntitySet::matchSpecialAttributes(const AttributeReader& entity, bool& included, bool& excluded) const {
    if (base.relativeView(entity.matchKey(), "getBaseRelativePath").empty()) return;
    for (const auto& group : specialAttributes) {
        if (group->matchMap(entity, *this, group->excludes)) {
            excluded = true;
            return;
        }
        if (group->matchMap(entity, *this, group->includes)) included = true;
    }
}

void EntitySet::dump() const {
    std::printf(" Set[guid=%s type=%d ruleId=%lld entitySetId= %lld]\n", guid.c_str(), static_cast<int>(type), ruleId,
                static_cast<long long>(entitySetId));
    std::printf("   Base                 : %s\n", base.get().c_str());
    std::printf("   Includes             : %s\n", includes.c_str());
    std::printf("   Excludes             : %s\n", excludes.c_str());
}

// ---- Rules ----------------------------------------------------------------------------

std::string IntegrityRule::label() const {
    const std::string shown = name.empty() ? std::string("<empty>") : name;
    return identifier.empty() ? shown : identifier + " - " + shown;
}

IntegrityRule::IntegrityRule(const cJSON* rule, const std::string& guid) {
    const cJSON* object = cJSON_IsObject(rule) ? rule : nullptr;

    if (const cJSON* item = cJSON_GetObjectItem(object, "id")) {
        if (cJSON_IsNumber(item)) {
            id = item->valueint;
        } else if (cJSON_IsString(item) && item->valuestring != nullptr) {
            id = std::strtol(item->valuestring, nullptr, 10);
        } else {
            LOG_WARNING(QVIM_SRC_RULES, "IntegrityRule", "IntegrityRule: id is not a number or string");
        }
    }
    const char* text = stringMember(cJSON_GetObjectItem(object, "name"), "IntegrityRule", "name");
    name = text != nullptr ? text : "<empty>";
    if (const cJSON* item = cJSON_GetObjectItem(object, "severity")) {
        if (cJSON_IsNumber(item))
            severity = item->valueint;
        else if ((text = stringMember(item, "IntegrityRule", "severity")) != nullptr)
            severity = static_cast<int32_t>(std::strtol(text, nullptr, 10));
    }
    if ((text = stringMember(cJSON_GetObjectItem(object, "hash"), "IntegrityRule", "hash")) != nullptr) hash = text;
    if ((text = stringMember(cJSON_GetObjectItem(object, "identifier"), "IntegrityRule", "identifier")) != nullptr)
        identifier = text;

    text = stringMember(cJSON_GetObjectItem(object, "realtime"), "IntegrityRule", "realtime");
    const bool realtime = text != nullptr && std::strcmp(text, "false") != 0 && std::strcmp(text, "FALSE") != 0;
    if (realtime) {
        if (const cJSON* tag = typedMember(object, "enforcement", cJSON_IsObject, "IntegrityRule")) {
            enforcement.enabled = true;
            const char* kind = stringMember(cJSON_GetObjectItem(tag, "type"), "IntegrityRule", "type");
            if (kind != nullptr && std::strcmp(kind, "allow") == 0) {
                enforcement.allow = true;
            } else if (kind != nullptr && std::strcmp(kind, "block") == 0) {
                enforcement.allow = false;
            } else {
                // Without a usable type there is nothing to enforce.
                enforcement.enabled = false;
                LOG_WARNING(QVIM_SRC_RULES, "IntegrityRule",
                            "IntegrityRule: enforcement type is neither 'allow' nor 'block': '%s'",
                            kind != nullptr ? kind : "");
            }
            if (enforcement.enabled) processEnforcementUserGroupProcessname(tag);
        }
    }

    if (const cJSON* sets = typedMember(object, "EntitySets", cJSON_IsArray, "IntegrityRule")) {
        entitySets.reserve(static_cast<size_t>(cJSON_GetArraySize(sets)));
        for (const cJSON* set = sets->child; set != nullptr; set = set->next)
            entitySets.push_back(std::make_shared<EntitySet>(set, guid, realtime, id));
    }
}

void IntegrityRule::processEnforcementUserGroupProcessname(const cJSON* tag) {
    const auto readNames = [tag](const char* member, std::unordered_set<std::string>& names) {
        const cJSON* list = typedMember(tag, member, cJSON_IsArray, "IntegrityRule");
        if (list == nullptr) return;
        names.reserve(static_cast<size_t>(cJSON_GetArraySize(list)));
        for (const cJSON* item = list->child; item != nullptr; item = item->next)
            if (const char* value = stringMember(item, "IntegrityRule", member)) names.insert(trimSpaces(value));
    };
    readNames("users", enforcement.users);
    readNames("groups", enforcement.groups);
    if (const char* value = stringMember(cJSON_GetObjectItem(tag, "processName"), "IntegrityRule", "processName"))
        enforcement.processName = trimSpaces(value);
}

// ---- Packages -------------------------------------------------------------------------

void IntegrityRuleFilter::EntitySetPackage::match(const AttributeReader& entity, std::string_view key,
                                                  std::unordered_set<long long>& ruleIds) const {
    for (const auto& set : special) {
        bool included = false;
        bool excluded = false;
        set->matchSpecialAttributes(entity, included, excluded);
        if (excluded || !included) continue;
        const std::string_view relative = set->base.relativeView(key, "getBaseRelativePath");
        if (!relative.empty() && set->matchExcludes(relative)) continue;
        ruleIds.insert(set->ruleId);
    }
}

void IntegrityRuleFilter::EntitySetPackageBased::addEntitySet(const std::shared_ptr<EntitySet>& set) {
    if (!set->specialAttributes.empty()) special.push_back(set);
    m_realtime = m_realtime || set->realtime;
    auto entry = bases.find(set->base.get());
    if (entry == bases.end()) {
        bases.emplace(set->base.get(), SetList{set});
        return;
    }
    entry->second.push_back(set);
    LOG_TRACE(QVIM_SRC_RULES, "addEntitySet",
              "During directory '%s' addEntitySetToMap() adding set id %lld for rule id %lld to existing vector for "
              "key %s in the map using %d attributes",
              set->type == ENTITY_DIRECTORY ? "true" : "false", static_cast<long long>(set->entitySetId), set->ruleId,
              set->base.get().c_str(), static_cast<int>(set->attributes.size()));
}

void IntegrityRuleFilter::EntitySetPackageBased::match(const AttributeReader& entity, std::string_view key,
                                                       bool realtime, std::unordered_set<long long>& ruleIds) const {
    matchRulesWithBase(bases, entity, key, realtime, ruleIds);
}

void IntegrityRuleFilter::EntitySetPackageUnbased::addEntitySet(const std::shared_ptr<EntitySet>& set) {
    if (!set->specialAttributes.empty()) special.push_back(set);
    m_realtime = m_realtime || set->realtime;
    all.push_back(set);
}

void IntegrityRuleFilter::EntitySetPackageUnbased::match(const AttributeReader& entity, std::string_view key,
                                                         bool realtime, std::unordered_set<long long>& ruleIds) const {
    MatchEventInEntitySets(all, entity, key, realtime, ruleIds);
}

// ---- Building the filter --------------------------------------------------------------

IntegrityRuleFilter::IntegrityRuleFilter(QVIMStats& stats, const std::string& ruleset, const std::string& guid) {
    setRules(stats, ruleset.c_str(), guid);
}

void IntegrityRuleFilter::clear() {
    m_file = EntitySetPackageBased();
    m_directory = EntitySetPackageBased();
    m_rules.clear();
    m_user = EntitySetPackageUnbased();
    m_group = EntitySetPackageUnbased();
    m_port = EntitySetPackageUnbased();
    m_installedSoftware = EntitySetPackageUnbased();
    m_process = EntitySetPackageUnbased();
    m_setsByRule.clear();
}

bool IntegrityRuleFilter::setRules(QVIMStats& stats, const char* ruleset, const std::string& guid) {
    clear();
    stats.Set("numEnforcementRules", 0);
    const char* shown = ruleset != nullptr ? ruleset : "";
    CJsonPtr document(ruleset != nullptr ? cJSON_Parse(ruleset) : nullptr);
    if (!document) {
        LOG_ERROR(QVIM_SRC_RULES, "setRules", "cannot parse ruleset %s", shown);
        return false;
    }
    if (cJSON_IsInvalid(document.get())) {
        LOG_ERROR(QVIM_SRC_RULES, "setRules", "ruleset is invalid json %s", shown);
        return false;
    }
    const cJSON* rules = cJSON_GetObjectItem(document.get(), "IntegrityRules");
    if (!cJSON_IsArray(rules)) {
        LOG_ERROR(QVIM_SRC_RULES, "setRules", "there are no IntegrityRules in ruleset %s", shown);
        return false;
    }
    for (const cJSON* item = rules->child; item != nullptr; item = item->next) {
        auto rule = std::make_shared<IntegrityRule>(item, guid);
        const std::string label = rule->label();
        if (rule->id == -1) {
            LOG_WARNING(QVIM_SRC_RULES, "setRules", "rule %s has no rule id", label.c_str());
            continue;
        }
        // The rule keeps the counters it had under an earlier ruleset.
        stats.SetType(QVIMStats::AssignedRules, label, stats.GetType(QVIMStats::UnassignedRules, label));
        stats.ClearType(QVIMStats::UnassignedRules, label);
        addEntitySetsToMap(rule);
        addRuleToMap(rule);
        if (rule->enforcement.enabled) stats.Inc("numEnforcementRules");
    }
    return true;
}

void IntegrityRuleFilter::addEntitySetsToMap(const std::shared_ptr<IntegrityRule>& rule) {
    for (const auto& set : rule->entitySets) addEntitySetToMaps(set);
}

void IntegrityRuleFilter::addEntitySetToMaps(const std::shared_ptr<EntitySet>& set) {
    // A set without a usable type stays out of every package: it must not
    // select entities of the kind that happens to collect unknown types.
    if (set->type != EntitySet::kNoEntityType) packageFor(set->type).addEntitySet(set);
    auto [entry, created] = m_setsByRule.try_emplace(set->ruleId);
    entry->second.push_back(set);
    if (created)
        std::printf(" addEntitySetToMap() adding set id %lld for rule id %lld to new vector for key %s\n",
                    static_cast<long long>(set->entitySetId), set->ruleId, set->base.get().c_str());
}

void IntegrityRuleFilter::addRuleToMap(const std::shared_ptr<IntegrityRule>& rule) { m_rules[rule->id] = rule; }

const IntegrityRuleFilter::EntitySetPackage& IntegrityRuleFilter::packageFor(entity_type type) const {
    switch (type) {
        case ENTITY_FILE: return m_file;
        case ENTITY_DIRECTORY: return m_directory;
        case ENTITY_USER: return m_user;
        case ENTITY_GROUP: return m_group;
        case ENTITY_PORT: return m_port;
        case ENTITY_INSTALLED_SOFTWARE: return m_installedSoftware;
        default: return m_process;
    }
}

IntegrityRuleFilter::EntitySetPackage& IntegrityRuleFilter::packageFor(entity_type type) {
    return const_cast<EntitySetPackage&>(static_cast<const IntegrityRuleFilter*>(this)->packageFor(type));
}

// ---- Matching -------------------------------------------------------------------------

void IntegrityRuleFilter::matchRules(entity_type type, const AttributeReader& entity, bool realtime,
                                     std::unordered_set<long long>& ruleIds) const {
    const EntitySetPackage& package = packageFor(type);
    std::string_view key = entity.matchKey();
    if (type == ENTITY_DIRECTORY && !key.empty() && key.back() == '/') key.remove_suffix(1);
    package.match(entity, key, ruleIds);
    package.match(entity, key, realtime, ruleIds);
}

void IntegrityRuleFilter::MatchEventInEntitySets(const SetList& sets, const AttributeReader& entity,
                                                 std::string_view text, bool realtime,
                                                 std::unordered_set<long long>& ruleIds) {
    for (const auto& set : sets) {
        if (realtime && !set->realtime) continue;
        if (!set->matchIncludes(text) || set->matchExcludes(text)) continue;
        bool included = false;
        bool excluded = false;
        set->matchSpecialAttributes(entity, included, excluded);
        if (excluded) continue;
        set->dump();
        ruleIds.insert(set->ruleId);
    }
}

void IntegrityRuleFilter::matchRulesWithBase(const BaseIndex& index, const AttributeReader& entity,
                                             std::string_view key, bool realtime,
                                             std::unordered_set<long long>& ruleIds) {
    const size_t lastSlash = key.rfind('/');
    const std::string_view folder = lastSlash == std::string_view::npos ? key : key.substr(0, lastSlash + 1);
    LOG_TRACE(QVIM_SRC_RULES, "matchRulesWithBase", "match rule with base for folder %.*s ", printable(key), key.data());
    // Bases that can hold the key sort at or before its folder; walking down
    // from there, the first base outside the key's top directory ends it.
    for (auto it = index.upper_bound(folder); it != index.begin();) {
        --it;
        const std::string& base = it->first;
        LOG_TRACE(QVIM_SRC_RULES, "matchRulesWithBase", "match base %s with folder %.*s", base.c_str(), printable(key),
                  key.data());
        if (startsWith(key, base)) {
            const std::string_view relative = EntitySet::BasePathAbstract::relativeView(base, key, "matchRulesWithBase");
            MatchEventInEntitySets(it->second, entity, relative, realtime, ruleIds);
            continue;
        }
        if (!startsWith(key, firstDirectory(base))) break;
    }
}

std::shared_ptr<IntegrityRule> IntegrityRuleFilter::getRuleById(long long id) const {
    const auto found = m_rules.find(id);
    if (found != m_rules.end()) return found->second;
    LOG_WARNING(QVIM_SRC_RULES, "getRuleById", "Rule with ruleID %d not found\n", static_cast<int>(id));
    return nullptr;
}

bool IntegrityRuleFilter::shouldScanEntityType(entity_type type, bool realtime) const {
    if (type < ENTITY_FILE || type > ENTITY_PROCESS) {
        LOG_TRACE(QVIM_SRC_RULES, "shouldScanEntityType", "ShouldScanEntityType: unknown entity type");
        return false;
    }
    const auto watched = [realtime](const EntitySetPackage& package) {
        return !package.isEmpty() && (!realtime || package.isRealTime());
    };
    if (watched(packageFor(type))) return true;
    // Files are only found by walking directories.
    return type == ENTITY_DIRECTORY && watched(m_file);
}

const IntegrityRuleFilter::SetList& IntegrityRuleFilter::getRuleEntitySet(long long ruleId) const {
    static const SetList none;
    const auto found = m_setsByRule.find(ruleId);
    return found != m_setsByRule.end() ? found->second : none;
}

void IntegrityRuleFilter::matchRulesToAttributes(std::unordered_set<long long>& ruleIds, bool realtime,
                                                 const std::unordered_set<std::string>& changedAttributes,
                                                 entity_type type, im_operation operation) const {
    if (changedAttributes.empty()) {
        ruleIds.clear();
        return;
    }
    // Change detection reports lower-case names; copy only when one is not.
    const bool needsLowering = std::any_of(changedAttributes.begin(), changedAttributes.end(), [](const std::string& a) {
        return std::any_of(a.begin(), a.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
    });
    std::unordered_set<std::string> lowered;
    if (needsLowering) {
        for (std::string name : changedAttributes) {
            toLowerAscii(name);
            lowered.insert(std::move(name));
        }
    }
    const std::unordered_set<std::string>& changed = needsLowering ? lowered : changedAttributes;
    const bool everything = changed.count("*") != 0;

    const auto watches = [&](const EntitySet& set) {
        if (set.type != type) return false;
        if (!set.operations.empty() &&
            std::find(set.operations.begin(), set.operations.end(), operation) == set.operations.end())
            return false;
        if (realtime && !set.realtime) return false;
        if (everything || set.attributes.empty()) return true;
        for (const std::string& attribute : set.attributes) {
            if (changed.count(attribute) != 0) {
                LOG_TRACE(QVIM_SRC_RULES, "matchRuleWithAttributes", "Matched Attributes: %s", attribute.c_str());
                return true;
            }
        }
        return false;
    };
    for (auto it = ruleIds.begin(); it != ruleIds.end();) {
        const SetList& sets = getRuleEntitySet(*it);
        const bool keep = std::any_of(sets.begin(), sets.end(), [&](const auto& set) { return watches(*set); });
        it = keep ? std::next(it) : ruleIds.erase(it);
    }
}

// ---- Scope: does a walk have to enter a folder ---------------------------------------

namespace {

// Logs each set until the first that descends; true when one does.
bool hasDescendedDirectories(const IntegrityRuleFilter::SetList& sets) {
    for (const auto& set : sets) {
        LOG_TRACE(QVIM_SRC_RULES, "hasDescendedDirectories", "Rule ID %lld has descended dirs: '%s'", set->ruleId,
                  set->descends ? "true" : "false");
        if (set->descends) return true;
    }
    return false;
}

bool matchRulesWithoutIncludes(const IntegrityRuleFilter::BaseIndex& index, const std::string& folder) {
    LOG_TRACE(QVIM_SRC_RULES, "matchRulesWithoutIncludes", "match rule with base for folder '%s' in %d entity sets",
              folder.c_str(), static_cast<int>(index.size()));
    for (auto it = index.upper_bound(folder); it != index.begin();) {
        --it;
        const std::string& base = it->first;
        if (!hasDescendedDirectories(it->second)) {
            LOG_TRACE(QVIM_SRC_RULES, "matchRulesWithoutIncludes",
                      "Ruleset with base '%s' has no descended dirs so we'll try to match w/any further entity sets",
                      base.c_str());
            continue;
        }
        if (startsWith(folder, base)) {
            LOG_TRACE(QVIM_SRC_RULES, "matchRulesWithoutIncludes", "matched made on base '%s' being a prefix to '%s'",
                      base.c_str(), folder.c_str());
            return true;
        }
        const std::string_view first = firstDirectory(base);
        if (!startsWith(folder, first)) {
            LOG_TRACE(QVIM_SRC_RULES, "matchRulesWithoutIncludes", "matched failed on base '%s' not being a prefix to '%s'",
                      base.c_str(), folder.c_str());
            return false;
        }
        LOG_TRACE(QVIM_SRC_RULES, "matchRulesWithoutIncludes",
                  "First directory (%.*s) of base '%s' is a prefix to '%s' so we'll try to match w/any further entity "
                  "sets",
                  printable(first), first.data(), base.c_str(), folder.c_str());
    }
    return false;
}

}  // namespace

bool IntegrityRuleFilter::matchBaseToRule(const EntitySetPackageBased& package, const std::string& folder) {
    const BaseIndex& index = package.bases;
    LOG_TRACE(QVIM_SRC_RULES, "matchBaseToRule", "3 match rule with base for folder '%s' to %d entity sets",
              folder.c_str(), static_cast<int>(index.size()));
    if (index.empty()) return false;
    // A base below the folder: the walk must enter it to get there.
    const auto below = index.lower_bound(folder);
    LOG_TRACE(QVIM_SRC_RULES, "matchBaseToRule", "4 match rule with base for folder %s with %d", folder.c_str(),
              below != index.end() ? 1 : 0);
    const bool found = below != index.end() && startsWith(below->first, folder);
    LOG_TRACE(QVIM_SRC_RULES, "matchBaseToRule", "5 match rule with base with bFound:%d, %s", found ? 1 : 0,
              folder.c_str());
    return found || matchRulesWithoutIncludes(index, folder);
}

bool IntegrityRuleFilter::matchBaseToRule(entity_type type, const std::string& folder) const {
    LOG_TRACE(QVIM_SRC_RULES, "matchBaseToRule", "2 match rule with base for folder %s ", folder.c_str());
    return matchBaseToRule(type == ENTITY_FILE ? m_file : m_directory, folder);
}

std::string topLevelDirectory(const std::string& base) {
    const size_t first = base.find('/');
    const size_t second = first == std::string::npos ? std::string::npos : base.find('/', first + 1);
    return second == std::string::npos ? base : base.substr(0, second + 1);
}
