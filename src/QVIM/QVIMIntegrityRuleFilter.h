// Rule model, pattern matching and the rule filter: the installed form of a
// ruleset document and the questions asked of it for every observation.
#pragma once

#include <cjson/cJSON.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "qvim.h"

class QVIMStats;
class EntitySet;

// What matching reads from an observation: its key and the values its
// attribute conditions name. Records implement it, so that the rules need
// not know the records.
class AttributeReader {
public:
    virtual const std::string& matchKey() const = 0;
    // Writes value only for the names the kind answers.
    virtual void getSpecialAttributeValue(const std::string& name, std::string& value) const = 0;

protected:
    ~AttributeReader() = default;
};

// One group of attribute conditions of an entity set: an "and" group (every
// condition must hold) or the loose group (any one suffices).
class SpecialAttributes {
public:
    using Conditions = std::map<std::string, std::string>;  // attribute name -> pattern list

    Conditions includes;
    Conditions excludes;
    bool m_and = false;

    // Files "includes", "excludes", "includes_<attr>" or "excludes_<attr>".
    void setAttribute(const std::string& key, const std::string& value);
    bool matchMap(const AttributeReader& entity, const EntitySet& set, const Conditions& conditions) const;
};

// Files the members of an "and" object into group.
void populateSpecialAttributesAND(const cJSON* object, SpecialAttributes* group);

// Path-style comparison of one pattern with a text ('*' stays within a path
// segment, "**/" crosses segments, both '/' and '\' separate).
bool MatchFunction(std::string_view text, std::string_view pattern);
// Plain-style comparison ('*' and '?' match any character).
bool MatchPlain(std::string_view text, std::string_view pattern);
// Compares a ';'-separated pattern list; all: every piece must match.
bool MatchEventPathWithRulePath(std::string_view text, std::string_view patterns, bool pathStyle, bool all);

class EntitySet {
public:
    // Type of a set whose document gave no usable "entityType": no package
    // holds it, so it selects nothing.
    static constexpr entity_type kNoEntityType = static_cast<entity_type>(15);

    struct entity_typeHash {
        size_t operator()(entity_type type) const { return std::hash<int>()(static_cast<int>(type)); }
    };
    using PartialBaselineBases = std::unordered_set<std::string>;

    class BasePathAbstract {
    public:
        BasePathAbstract() = default;
        explicit BasePathAbstract(std::string base) : m_base(std::move(base)) {}

        const std::string& get() const { return m_base; }
        std::string getBaseRelativePath(const std::string& key, bool) const;
        // The same as a view into key: empty when key lies outside the base.
        // function names the caller in the warning for a partial base.
        std::string_view relativeView(std::string_view key, const char* function) const;
        static std::string_view relativeView(std::string_view base, std::string_view key, const char* function);
        // Trailing wildcards removed, a '/' added to a plain name.
        static std::string normalise(const std::string& text);

    private:
        std::string m_base;
    };

    EntitySet();
    EntitySet(const cJSON* set, const std::string& guid, bool realtime, long long ruleId);

    std::string guid;
    long long ruleId = -1;
    uint64_t entitySetId = 0;
    entity_type type = ENTITY_UNKNOWN;
    std::unordered_set<std::string> attributes;  // watched attribute names, lower case
    std::vector<im_operation> operations;        // in the order written, duplicates kept
    bool block = false;
    bool realtime = false;
    std::string includes;
    std::vector<std::shared_ptr<SpecialAttributes>> specialAttributes;
    bool descends = false;  // can select entities below the base's own level
    bool based = false;     // File and Directory sets
    BasePathAbstract base;
    std::string excludes;

    void populateDefaultAttributes(entity_type forType);
    static entity_type convertEntityType(const char* name);
    static const char* convertEntityType(entity_type value);

    bool matchIncludes(std::string_view text) const;
    bool matchExcludes(std::string_view text) const;
    void matchSpecialAttributes(const AttributeReader& entity, bool& included, bool& excluded) const;
    void dump() const;

private:
    void readOperations(const std::string& text);
    void readAttributes(const std::string& text);
};

class IntegrityRule {
public:
    struct Enforcement {
        // Rule side: the enforcement tag of a real-time rule.
        bool enabled = false;
        bool allow = false;  // true: allow-type, false: block-type
        std::unordered_set<std::string> users;
        std::unordered_set<std::string> groups;
        std::string processName;
        // Notification side: the acting process of a real-time notification.
        std::string user;
        std::string groupsText;
        std::vector<std::string> groupList;
    };

    IntegrityRule() = default;
    IntegrityRule(const cJSON* rule, const std::string& guid);

    long long id = -1;
    std::string name;
    std::string identifier;
    std::string hash;
    int32_t severity = 0;
    std::vector<std::shared_ptr<EntitySet>> entitySets;
    Enforcement enforcement;

    // identifier + " - " + name, the name alone without identifier, "<empty>"
    // for an empty name: the rule's name in statistics, events and exports.
    std::string label() const;

private:
    void processEnforcementUserGroupProcessname(const cJSON* enforcementObject);
};

class IntegrityRuleFilter {
public:
    using SetList = std::vector<std::shared_ptr<EntitySet>>;
    // Ordered by byte value so that the bases leading to a key sort before it;
    // transparent so that lookups take views of the key.
    using BaseIndex = std::map<std::string, SetList, std::less<>>;

    class EntitySetPackage {
    public:
        virtual ~EntitySetPackage() = default;
        virtual bool isEmpty() const = 0;
        virtual bool isRealTime() const = 0;
        virtual void addEntitySet(const std::shared_ptr<EntitySet>& set) = 0;
        virtual void match(const AttributeReader& entity, std::string_view key, bool realtime,
                           std::unordered_set<long long>& ruleIds) const = 0;
        // The sets with special attribute groups, matched by them alone.
        void match(const AttributeReader& entity, std::string_view key, std::unordered_set<long long>& ruleIds) const;

        SetList special;

    protected:
        bool m_realtime = false;
    };

    class EntitySetPackageBased : public EntitySetPackage {
    public:
        using EntitySetPackage::match;
        bool isEmpty() const override { return bases.empty(); }
        bool isRealTime() const override { return m_realtime; }
        void addEntitySet(const std::shared_ptr<EntitySet>& set) override;
        void match(const AttributeReader& entity, std::string_view key, bool realtime,
                   std::unordered_set<long long>& ruleIds) const override;

        BaseIndex bases;
    };

    class EntitySetPackageUnbased : public EntitySetPackage {
    public:
        using EntitySetPackage::match;
        bool isEmpty() const override { return all.empty(); }
        bool isRealTime() const override { return m_realtime; }
        void addEntitySet(const std::shared_ptr<EntitySet>& set) override;
        void match(const AttributeReader& entity, std::string_view key, bool realtime,
                   std::unordered_set<long long>& ruleIds) const override;

        SetList all;
    };

    IntegrityRuleFilter() = default;
    IntegrityRuleFilter(QVIMStats& stats, const std::string& ruleset, const std::string& guid);

    IntegrityRuleFilter(const IntegrityRuleFilter&) = delete;
    IntegrityRuleFilter& operator=(const IntegrityRuleFilter&) = delete;

    // (Re)builds the filter; false when the document cannot be read.
    bool setRules(QVIMStats& stats, const char* ruleset, const std::string& guid);
    void addEntitySetsToMap(const std::shared_ptr<IntegrityRule>& rule);
    void addEntitySetToMaps(const std::shared_ptr<EntitySet>& set);
    void addRuleToMap(const std::shared_ptr<IntegrityRule>& rule);

    // Adds the ids of the rules whose sets select the entity (never removes).
    void matchRules(entity_type type, const AttributeReader& entity, bool realtime,
                    std::unordered_set<long long>& ruleIds) const;
    // The rule, or empty with a WARNING.
    std::shared_ptr<IntegrityRule> getRuleById(long long id) const;
    bool shouldScanEntityType(entity_type type, bool realtime) const;
    // The sets filed for a rule id; an empty list for an id not filed here.
    const SetList& getRuleEntitySet(long long ruleId) const;
    // Removes every rule that does not watch the change (never adds).
    void matchRulesToAttributes(std::unordered_set<long long>& ruleIds, bool realtime,
                                const std::unordered_set<std::string>& changedAttributes, entity_type type,
                                im_operation operation) const;

    static void MatchEventInEntitySets(const SetList& sets, const AttributeReader& entity, std::string_view text,
                                       bool realtime, std::unordered_set<long long>& ruleIds);
    static void matchRulesWithBase(const BaseIndex& index, const AttributeReader& entity, std::string_view key,
                                   bool realtime, std::unordered_set<long long>& ruleIds);
    // Whether a directory walk must enter folder (ending in '/') to reach the
    // package's sets.
    static bool matchBaseToRule(const EntitySetPackageBased& package, const std::string& folder);
    // The same against the file package (File) or the directory package
    // (any other type) of this filter.
    bool matchBaseToRule(entity_type type, const std::string& folder) const;

    const EntitySetPackageBased& filePackage() const { return m_file; }
    const EntitySetPackageBased& directoryPackage() const { return m_directory; }
    const std::unordered_map<long long, std::shared_ptr<IntegrityRule>>& rules() const { return m_rules; }

private:
    const EntitySetPackage& packageFor(entity_type type) const;
    EntitySetPackage& packageFor(entity_type type);
    void clear();

    EntitySetPackageBased m_file;
    EntitySetPackageBased m_directory;
    std::unordered_map<long long, std::shared_ptr<IntegrityRule>> m_rules;
    EntitySetPackageUnbased m_user;
    EntitySetPackageUnbased m_group;
    EntitySetPackageUnbased m_port;
    EntitySetPackageUnbased m_installedSoftware;
    EntitySetPackageUnbased m_process;
    std::unordered_map<long long, SetList> m_setsByRule;
};

// Kind value of a kind name ("File", "Port", ...), 8 with a WARNING otherwise.
entity_type convertEntityTypeName(const char* name);

// Top-level directory of a base: up to and including its second '/'
// ("/etc/ssh/" gives "/etc/"); a base with fewer than two '/' is used whole.
std::string topLevelDirectory(const std::string& base);
