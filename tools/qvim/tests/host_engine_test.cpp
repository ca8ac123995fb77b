// The program and the engine read the same paths and names the same way: the
// folders a walk enters, the keys a baseline holds, the kinds and their counts.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "Baseline.h"
#include "Engine.h"
#include "FsEntity.h"
#include "HostTestSupport.h"
#include "Json.h"
#include "Kinds.h"
#include "Rules.h"
#include "Text.h"
#include "Walk.h"

using namespace qvimcli;
using namespace qvimhost_test;

namespace {

// A File and a Directory set on each base, as a rules file would give them.
std::string rulesFor(const std::vector<std::string>& bases) {
    JsonPtr document(cJSON_CreateObject());
    cJSON* rules = cJSON_AddArrayToObject(document.get(), "IntegrityRules");
    cJSON* rule = cJSON_CreateObject();
    cJSON_AddItemToArray(rules, rule);
    cJSON_AddNumberToObject(rule, "id", 1);
    cJSON_AddStringToObject(rule, "name", "paths");
    cJSON* sets = cJSON_AddArrayToObject(rule, "EntitySets");
    for (const std::string& base : bases) {
        for (const char* kind : {"File", "Directory"}) {
            cJSON* set = cJSON_CreateObject();
            cJSON_AddStringToObject(set, "entityType", kind);
            cJSON_AddStringToObject(set, "base", base.c_str());
            if (kind[0] == 'F') cJSON_AddStringToObject(set, "includes", "**/*");
            cJSON_AddItemToArray(sets, set);
        }
    }
    char* text = cJSON_PrintUnformatted(document.get());
    std::string json = text;
    cJSON_free(text);
    return json;
}

// A path longer than any one name may be, made of names that are not.
std::string longPath(const std::string& under) {
    std::string path = under;
    for (int i = 0; i < 120; ++i) path += "/abcdefghijklmnopqrstuvwxyz" + std::to_string(i);
    return path;
}

class EngineAgreement : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(engine.start(absolute("im.db"), QVIM_LOG_ERROR, nullptr).ok()); }

    // Installs the bases in the engine; the program's own reading of the same rules.
    Scope install(const std::vector<std::string>& bases) {
        const std::string text = rulesFor(bases);
        Ruleset ruleset;
        std::string error;
        EXPECT_TRUE(parseRuleset(text, ruleset, error)) << error;
        const EngineResult installed = engine.setRuleset(false, text, "paths");
        EXPECT_TRUE(installed.ok()) << installed.text();
        return Scope(ruleset.basesOf(ENTITY_ALL, false));
    }

    Engine engine;
};

// Bases written untidily are taken as written by both: neither resolves "//",
// "/./", ".." or case, so a walk enters exactly the folders the engine scans.
TEST_F(EngineAgreement, TheWalkEntersTheFoldersTheEngineScans) {
    const std::string longBase = longPath("/srv/long");
    const Scope scope = install({"/srv/plain", "/srv/slash/", "/srv//double", "/srv/./dot", "/srv/up/../back",
                                 "/srv/Case", "/srv/bytes\xc3\xa9", longBase});
    const std::vector<std::string> folders = {
        "/", "/srv", "/srv/", "/srv/plain", "/srv/plain/", "/srv/plain/below", "/srv/plainer", "/srv/plai",
        "/srv/slash", "/srv/slash/below", "/srv/slash//below", "/srv//double", "/srv/double", "/srv//double/below",
        "/srv/./dot", "/srv/dot", "/srv/up/../back", "/srv/back", "/srv/up", "/srv/Case", "/srv/case", "/SRV/Case",
        "/srv/Case/below", "/srv/bytes\xc3\xa9", "/srv/bytes\xc3", "/srv/bytes\xff", "/srv/other", "/etc",
        longBase, longBase + "/below", parentFolder(longBase), longPath("/srv/lon"),
    };
    for (const std::string& folder : folders)
        EXPECT_EQ(engine.shouldScanFolder(folder), scope.mayEnter(folder)) << "folder '" << printable(folder) << "'";
}

// Where they differ on purpose: a trailing wildcard is read alike, but the
// walk cannot match one inside a base, so it enters that base's whole folder
// and leaves the choice to the engine. It must never skip a folder the
// engine would scan.
TEST_F(EngineAgreement, AWildcardInsideABaseWidensOnlyTheWalk) {
    const Scope scope = install({"/srv/app*", "/srv/logs/*/", "/srv/mid*dle/x"});
    for (const std::string folder : {"/srv", "/srv/app", "/srv/apple", "/srv/app/below", "/srv/ap", "/srv/other",
                                     "/srv/logs", "/srv/logs/x", "/srv/logsx", "/srv/middle", "/srv/middle/x",
                                     "/srv/mid*dle/x", "/etc"}) {
        if (engine.shouldScanFolder(folder)) {
            EXPECT_TRUE(scope.mayEnter(folder)) << "the walk skips '" << folder << "', which the engine scans";
        }
    }
    EXPECT_FALSE(engine.shouldScanFolder("/srv/other"));
    EXPECT_TRUE(scope.mayEnter("/srv/other")) << "the walk is the wider of the two";
    EXPECT_FALSE(scope.mayEnter("/etc"));
}

// The engine keeps a key byte for byte as the program hands it over, and
// stores what the program's scope covers and nothing else: the program finds
// its keys again by exact comparison (renames, partial rebuilds, removals).
TEST_F(EngineAgreement, KeysComeBackExactlyAsStored) {
    const Scope scope = install({"/srv/keys"});
    const std::vector<std::string> keys = {
        "/srv/keys/a", "/srv/keys/b/", "/srv/keys//c", "/srv/keys/./d", "/srv/keys/../keys/e", "/srv/keys/F",
        "/srv/keys/f", "/srv/keys/\xff\xfe", "/srv/keys/caf\xc3\xa9", "/srv/keys/line\nbreak",
        longPath("/srv/keys"), "//srv/keys/g", "/srv/keysx", "/SRV/keys/h", "/srv/./keys/i",
    };
    engine.setBaselineScan(true);
    for (const std::string& key : keys) {
        FsEntity entity;
        entity.kind = ENTITY_FILE;
        entity.path = key;
        im_wrapper_event_s record;
        entity.toRecord(record, QVIM_EVENT_CHANGED, false);
        Response response;
        const EngineResult stored = engine.store(record, response);
        EXPECT_FALSE(stored.failed()) << printable(key) << ": " << stored.text();
    }
    unsigned long written = 0;
    const EngineResult flushed = engine.flush(written);
    EXPECT_FALSE(flushed.failed()) << flushed.text();
    engine.setBaselineScan(false);

    std::set<std::string> exported;
    std::string error;
    ASSERT_TRUE(forEachBaselineRow(engine, ENTITY_FILE, 0, absolute("."),
                                   [&](const std::string&, const cJSON* row) {
                                       exported.insert(exactJsonText(row, "key"));
                                       return true;
                                   },
                                   error))
        << error;
    for (const std::string& key : keys)
        EXPECT_EQ(exported.count(key) == 1, scope.covers(key)) << "key '" << printable(key) << "'";
    EXPECT_EQ(exported.size(), static_cast<size_t>(std::count_if(keys.begin(), keys.end(), [&](const std::string& k) {
                                   return scope.covers(k);
                               })));
}

// Every kind the program names is one the engine counts and parses alike.
TEST_F(EngineAgreement, KindNamesAreTheEnginesOwn) {
    EngineText metrics;
    ASSERT_TRUE(engine.metrics(metrics).ok());
    JsonPtr document(cJSON_Parse(metrics.get()));
    const cJSON* dbinfo =
        cJSON_GetObjectItemCaseSensitive(cJSON_GetObjectItemCaseSensitive(document.get(), "metrics"), "dbinfo");
    ASSERT_TRUE(cJSON_IsObject(dbinfo)) << metrics.get();
    for (const KindNames& names : kStoredKinds) {
        EXPECT_TRUE(cJSON_IsNumber(cJSON_GetObjectItemCaseSensitive(dbinfo, names.countMember))) << names.countMember;
        EXPECT_EQ(kindOfName(names.name), names.kind) << names.name;
        EXPECT_EQ(kindNamed(names.name), names.kind) << names.name;
        entity_type parsed = ENTITY_UNKNOWN;
        std::string lowered = names.name;
        for (char& c : lowered) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        EXPECT_TRUE(parseKind(lowered, parsed) && parsed == names.kind) << names.name;
        // The engine's cleanup takes the kind by this name.
        Response response;
        EXPECT_FALSE(engine.cleanUnscanned(names.kind, 0, response).failed()) << names.name;
    }
}

}  // namespace
