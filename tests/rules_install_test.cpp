// Ruleset installation (full and comparing paths, partial-baseline settings,
// rule statistics) and the scan scope decisions, through a running engine.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "IMEngineHandleConcrete.h"
#include "QVIMJson.h"
#include "TestSupport.h"
#include "baseline_support.h"

using namespace qvim_test;

namespace {

struct Set {
    const char* type;
    const char* base;
    const char* extra = "";
};

std::string rule(int id, const char* hash, std::vector<Set> sets, const char* name = nullptr) {
    std::string text = "{\"id\":" + std::to_string(id) + ",\"hash\":\"" + hash + "\"";
    if (name != nullptr) text += std::string(",\"name\":\"") + name + "\"";
    text += ",\"EntitySets\":[";
    for (size_t i = 0; i < sets.size(); ++i)
        text += std::string(i ? "," : "") + "{\"entityType\":\"" + sets[i].type + "\",\"base\":\"" + sets[i].base +
                "\"" + sets[i].extra + "}";
    return text + "]}";
}

std::string ruleset(std::initializer_list<std::string> rules) {
    std::string text = "{\"IntegrityRules\":[";
    for (const std::string& r : rules) text += (text.back() == '[' ? "" : ",") + r;
    return text + "]}";
}

const std::string kEtc = rule(1, "h1", {{"File", "/etc/"}});

// The four settings an installation decides.
std::vector<std::string> decision() {
    return {setting("baselineScanType"), setting("partialBaseLineScanEntityTypes"),
            setting("partialBaselinePurgePathsDisk"), setting("partialBaselineScanPathsDisk")};
}

void markPartialSettings() {
    for (const char* name :
         {"partialBaseLineScanEntityTypes", "partialBaselinePurgePathsDisk", "partialBaselineScanPathsDisk"})
        ASSERT_EQ(set_im_state(name, "marker"), QVIM_OK);
}

void installFresh(const std::string& text) {
    ASSERT_EQ(set_ruleset(false, text.c_str(), "g"), QVIM_OK);
    markPartialSettings();
}

using Decision = std::vector<std::string>;

// The answers of should_scan_folder or should_scan_entity_type, one digit each.
template <typename T>
std::string inScope(std::initializer_list<T> items, int (*ask)(T) = should_scan_folder) {
    std::string answers;
    for (T item : items) answers += ask(item) ? '1' : '0';
    return answers;
}
std::string kindsInScope(std::initializer_list<entity_type> kinds) { return inScope(kinds, should_scan_entity_type); }

}  // namespace

TEST(RulesetInstallation, FullPathWritesOnlyTheScanType) {
    ASSERT_EQ(startEngine(), QVIM_OK);
    installFresh(ruleset({kEtc}));
    ASSERT_EQ(set_im_state("baselineScanType", "1"), QVIM_OK);
    EXPECT_EQ(set_ruleset(false, ruleset({kEtc}).c_str(), "g"), QVIM_OK);
    EXPECT_EQ(decision(), (Decision{"0", "marker", "marker", "marker"}));

    EXPECT_EQ(set_ruleset(true, nullptr, "g"), QVIM_E_BAD_PARAMETER);
    EXPECT_TRUE(logged(QVIM_LOG_ERROR, "set_ruleset called with a bad parameter"));
    // A ruleset that cannot be read leaves no rule in force.
    EXPECT_EQ(should_scan_folder("/etc"), 1);
    EXPECT_EQ(set_ruleset(false, "{\"rules\":[]}", "g"), QVIM_E_FAILED);
    EXPECT_TRUE(logged(QVIM_LOG_TRACE, "set ruleset return -1073741824"));
    EXPECT_EQ(should_scan_folder("/etc"), 0);
}

TEST(RulesetInstallation, ComparingInstallationsRebuildWhatChanged) {
    ASSERT_EQ(startEngine(), QVIM_OK);
    const std::string users = rule(2, "h2", {{"User", ""}});
    const std::string www = rule(2, "h2", {{"Directory", "/srv/www/"}});
    const std::string data = rule(3, "h3", {{"File", "/srv/www/data/"}});
    const auto logs = [](const char* hash, const char* includes) {
        return rule(2, hash, {{"File", "/var/log/", includes}, {"User", ""}});
    };
    const Decision full{"0", "marker", "marker", "marker"};
    struct Case {
        const char* what;
        std::string before, after;
        Decision expected;
        bool partialPending = false;
    };
    const Case cases[] = {
        {"unchanged", ruleset({kEtc, users}), ruleset({kEtc, users}), {"1", "", "", ""}},
        {"partial baseline pending", ruleset({kEtc, users}), ruleset({kEtc, users}), full, true},
        {"every rule new", ruleset({kEtc, users}), ruleset({rule(7, "", {{"File", "/opt/"}})}), full},
        {"new rule rescans its top directory", ruleset({kEtc}),
         ruleset({kEtc, rule(2, "", {{"File", "/opt/app/"}})}), {"1", "File", "", "/opt/"}},
        {"removed rule purges and rescans what is still watched", ruleset({kEtc, www, data}), ruleset({kEtc, data}),
         {"1", "Directory", "/srv/", "/srv/"}},
        {"removed rule", ruleset({kEtc, www}), ruleset({kEtc}), {"1", "Directory", "/srv/", ""}},
        // Same selection under a new hash is kept; a changed pattern is rebuilt.
        {"changed pattern", ruleset({kEtc, logs("a", R"(,"includes":"*.log")")}),
         ruleset({kEtc, logs("b", R"(,"includes":"*.txt")")}), {"1", "File", "/var/", "/var/"}},
        // A change at the root needs a full baseline although rule 1 is kept.
        {"changed root set", ruleset({kEtc, rule(2, "a", {{"File", "/"}})}),
         ruleset({kEtc, rule(2, "b", {{"File", "/", R"(,"includes":"x")"}})}), full},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        installFresh(c.before);
        if (c.partialPending) {
            ASSERT_EQ(set_im_state("baselineScanType", "1"), QVIM_OK);
        }
        ASSERT_EQ(set_ruleset(true, c.after.c_str(), "g"), QVIM_OK);
        EXPECT_EQ(decision(), c.expected);
    }

    // A set that turned into another kind rebuilds both kinds.
    installFresh(ruleset({kEtc, rule(2, "a", {{"User", ""}})}));
    ASSERT_EQ(set_ruleset(true, ruleset({kEtc, rule(2, "b", {{"Group", ""}})}).c_str(), "g"), QVIM_OK);
    const std::string types = setting("partialBaseLineScanEntityTypes");
    EXPECT_TRUE(types == "User,Group" || types == "Group,User") << types;
}

TEST(RulesetInstallation, RuleCountersMoveBetweenRulesets) {
    IMEngineHandleConcrete engine;
    ASSERT_EQ(engine.engineStart(captureInit("own.db")), QVIM_OK);
    const auto rules = [&]() {
        char* text = nullptr;
        EXPECT_EQ(engine.getMetricsMem(&text), QVIM_OK);
        CJsonPtr document(cJSON_Parse(text));
        cJSON_free(text);
        const cJSON* metrics = cJSON_GetObjectItem(document.get(), "metrics");
        std::vector<std::string> listed;
        for (const char* map : {"assignedRules", "unassignedRules"}) {
            const cJSON* item = nullptr;
            cJSON_ArrayForEach(item, cJSON_GetObjectItem(metrics, map))
                listed.push_back(std::string(map) + ":" + item->string + "=" + std::to_string(item->valueint));
        }
        return listed;
    };
    const std::string a = rule(1, "", {{"User", ""}}, "A");
    const std::string b = rule(2, "", {{"Group", ""}}, "B");
    ASSERT_EQ(engine.setRuleset(false, ruleset({a, b}).c_str(), "g"), QVIM_OK);
    engine.getStats().IncType(3, "B");
    EXPECT_EQ(rules(), (std::vector<std::string>{"assignedRules:A=0", "assignedRules:B=1"}));
    ASSERT_EQ(engine.setRuleset(true, ruleset({a}).c_str(), "g"), QVIM_OK);
    EXPECT_EQ(rules(), (std::vector<std::string>{"assignedRules:A=0", "unassignedRules:B=1"}));
    ASSERT_EQ(engine.setRuleset(false, ruleset({a, b}).c_str(), "g"), QVIM_OK);
    EXPECT_EQ(rules(), (std::vector<std::string>{"assignedRules:A=0", "assignedRules:B=1"}));
    engine.engineStop();
}

TEST(ScanScope, FoldersLeadingToOrBelowTheBases) {
    ASSERT_EQ(startEngine(), QVIM_OK);
    installFresh(ruleset({rule(1, "", {{"File", "/etc/", R"(,"includes":"*.conf")"}})}));
    EXPECT_EQ(inScope({"/etc", "/etc/", "/", "/etc/ssh", "/usr"}), "11100");
    installFresh(ruleset({rule(1, "", {{"File", "/etc/", R"(,"includes":"a/b")"}, {"File", "/opt/x/", R"(,"includes":"a/b")"}})}));
    EXPECT_EQ(inScope({"/usr/lib", "/etc/a", "/opt/x/y", "/opt/y"}), "0110");
    installFresh(ruleset({rule(1, "", {{"File", "/var/log/app*"}})}));
    EXPECT_EQ(inScope({"/var/log/app1", "/var/log", "/var/log/other"}), "110");

    // Kernel file systems are never walked; a missing folder is judged by the rules.
    installFresh(ruleset({rule(1, "", {{"Directory", "/"}})}));
    EXPECT_EQ(inScope({"/proc", "/sys", "/no/such/folder"}), "001");
    EXPECT_TRUE(loggedContaining("Error calling statfs() on '/no/such/folder'"));
}

TEST(ScanScope, PartialBaselineNarrowsFoldersAndKinds) {
    ASSERT_EQ(startEngine(), QVIM_OK);
    installFresh(ruleset({kEtc}));
    EXPECT_EQ(should_scan_entity_type(ENTITY_GROUP), 1);  // a full baseline covers every kind

    ASSERT_EQ(set_im_state("baselineScanType", "1"), QVIM_OK);
    ASSERT_EQ(set_im_state("partialBaseLineScanEntityTypes", "User, Group"), QVIM_OK);
    ASSERT_EQ(set_im_state("partialBaselineScanPathsDisk", "/etc/"), QVIM_OK);
    EXPECT_EQ(inScope({"/", "/etc"}), "00");
    EXPECT_EQ(kindsInScope({ENTITY_FILE, ENTITY_GROUP}), "01");

    // The rules are not asked: only the listed top directories and the root.
    ASSERT_EQ(set_im_state("partialBaseLineScanEntityTypes", "File"), QVIM_OK);
    ASSERT_EQ(set_im_state("partialBaselineScanPathsDisk", "/opt/;/srv%3bx/"), QVIM_OK);
    EXPECT_EQ(inScope({"/", "/opt/app", "/srv;x/a", "/etc"}), "1110");
    EXPECT_EQ(kindsInScope({ENTITY_DIRECTORY, ENTITY_ALL}), "00");

    // Without a database a scan counts as full and an installation fails.
    IMEngineHandleConcrete closed;
    EXPECT_EQ(closed.shouldScanEntityType(ENTITY_USER), 1);
    EXPECT_TRUE(logged(QVIM_LOG_ERROR, "Unable to get partial base list baselineScanType"));
    EXPECT_EQ(closed.setRuleset(true, ruleset({kEtc}).c_str(), "g"), QVIM_E_FAILED);
}
