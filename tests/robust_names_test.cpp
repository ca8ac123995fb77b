// Hostile names (newlines, quotes, backslashes, control characters, invalid
// UTF-8, paths of 4096 bytes and more) through the baseline, change scans,
// events and the export: every JSON text parses under a strict reader, a
// well-formed key comes back byte for byte, an ill-formed one comes back
// with U+FFFD in place of each bad sequence while the baseline keeps its
// exact bytes.
#include <fcntl.h>
#include <sys/resource.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "QVIMUtilPlatformIndependent.h"
#include "TestSupport.h"
#include "baseline_support.h"
#include "robust_support.h"

using namespace qvim_test;

namespace {

const std::string kFFFD = "\xEF\xBF\xBD";
using Events = std::multimap<std::string, std::string>;

std::string repaired(const std::string& text) {
    std::string scratch;
    return wellFormedUtf8(text, scratch);
}

// Names a file system accepts (no '/', no NUL), with the form they take in JSON.
struct HostileName {
    std::string bytes;
    std::string inJson;
};
const std::vector<HostileName> kHostileNames = {
    {"new\nline", "new\nline"},
    {"quote\"d 'single'", "quote\"d 'single'"},
    {"back\\slash\\", "back\\slash\\"},
    {"ctl\x01\x1f\x7f\t\r", "ctl\x01\x1f\x7f\t\r"},
    {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\x91", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\x91"},
    {"stray\xFF\xFE", "stray" + kFFFD + kFFFD},
    {"cut\xE2\x82", "cut" + kFFFD},
};

// A text member of an object; "<none>" when it has none.
std::string text(const cJSON* object, const char* member) {
    const char* value = cJSON_GetStringValue(cJSON_GetObjectItem(object, member));
    return value != nullptr ? value : "<none>";
}

// A text member of the first event of a response document.
std::string firstEventText(const char* json, const char* member) {
    Json root = parseJson(json);
    return text(cJSON_GetArrayItem(cJSON_GetObjectItem(root.get(), "events"), 0), member);
}

// Every exported line of a kind; each must be strict JSON.
std::vector<Json> exportedRows(entity_type kind) {
    const std::string path = testDirectory() + "/export.jsonl";
    EXPECT_EQ(get_baseline(0, 0, 100000, kind, path.c_str()), QVIM_OK);
    std::vector<Json> rows;
    std::ifstream lines(path);
    for (std::string line; std::getline(lines, line);) {
        EXPECT_TRUE(strict_json::parses(line.c_str())) << line;
        rows.push_back(parseJson(line.c_str()));
    }
    return rows;
}

std::vector<std::string> exportedKeys(entity_type kind) {
    std::vector<std::string> keys;
    for (const Json& row : exportedRows(kind))
        keys.emplace_back(cJSON_GetStringValue(cJSON_GetObjectItem(row.get(), "key")));
    return keys;
}

// Rows whose key holds exactly these bytes.
std::string storedWithKey(const char* table, const std::string& key) {
    return queryFile("test.db", std::string("SELECT count(*) FROM ") + table + " WHERE key = CAST(x'" +
                                    Blob::getEncoding(key.data(), key.size()) + "' AS TEXT)");
}

std::string jsonText(const std::string& text) {
    Json string(cJSON_CreateString(text.c_str()));
    char* printed = cJSON_PrintUnformatted(string.get());
    std::string out = printed;
    cJSON_free(printed);
    return out;
}

}  // namespace

TEST(Utf8Repair, WellFormedTextIsReturnedAsItIsAndEachBadSequenceBecomesOneReplacement) {
    for (const std::string& good : {std::string(), std::string("plain ascii, longer than one word"),
                                    std::string("\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80"),
                                    std::string("\xF0\x90\x80\x80\xF4\x8F\xBF\xBF\xEF\xBF\xBF")}) {
        std::string scratch;
        EXPECT_EQ(&wellFormedUtf8(good, scratch), &good) << good;
    }
    const std::pair<std::string, std::string> bad[] = {
        {"\x80", kFFFD},                               // continuation without lead
        {"\xC1\xBF", kFFFD + kFFFD},                   // overlong two-byte lead
        {"\xE0\x9F\xBF", kFFFD + kFFFD + kFFFD},       // overlong three-byte form
        {"\xF0\x8F\xBF\xBF", kFFFD + kFFFD + kFFFD + kFFFD},
        {"\xF4\x90\x80\x80", kFFFD + kFFFD + kFFFD + kFFFD},  // above U+10FFFF
        {"\xF5\x80", kFFFD + kFFFD},
        {"\xED\xA0\x80", kFFFD + kFFFD + kFFFD},          // surrogate
        {"\xE2\x82" "A", kFFFD + "A"},                 // truncated, then ASCII
        {"\xF0\x9F\x94", kFFFD},                       // truncated at the end
        {"\xF0\x9F\x94\xF0\x9F\x94\x91", kFFFD + "\xF0\x9F\x94\x91"},
    };
    for (const auto& [input, expected] : bad) EXPECT_EQ(repaired(input), expected) << jsonText(input);
    // Wherever the bad byte sits relative to the eight-byte ASCII scan.
    for (size_t at = 0; at < 20; ++at) {
        std::string text(20, 'a'), expected(20, 'a');
        text[at] = '\xFF';
        EXPECT_EQ(repaired(text), expected.replace(at, 1, kFFFD)) << at;
    }
}

class HostileKeys : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(startEngine(), QVIM_OK);
        set_loglevel(QVIM_LOG_WARNING | QVIM_LOG_ERROR);
        // Ill-formed bytes in a rule's name and identifier and in the ruleset id too.
        ASSERT_EQ(set_ruleset(false, "{\"IntegrityRules\":[{\"id\":1,\"name\":\"files \\\"q\\\" \xFF\",\"identifier\":\"\xC0\","
                                     "\"realtime\":\"true\",\"EntitySets\":[{\"entityType\":\"File\",\"base\":\"/h\",\"includes\":\"**/*\"}]}]}",
                              "g\xFE"),
                  QVIM_OK);
    }
    void TearDown() override { engine_stop(); }

    qvim_status notify(const std::string& key, uint64_t size, uint32_t code = QVIM_EVENT_CHANGED,
                       const std::string& newKey = "") {
        im_wrapper_event_s record = entities.make("File", key);
        record.size = size;
        record.eventType = code;
        record.realTime = true;
        record.processName = "proc\n\"x\"\xFF";
        record.processUser = "user\\";
        if (!newKey.empty()) record.newKey = newKey.c_str();
        cleanup_response_wrapper(&response);
        return integrity_monitor(1, &record, &response);
    }

    Entities entities;
    im_wrapper_response_s response{};
};

TEST_F(HostileKeys, KeysGoThroughBaselineChangesRenamesAndExport) {
    std::vector<HostileName> keys;
    for (const HostileName& name : kHostileNames) keys.push_back({"/h/" + name.bytes, "/h/" + name.inJson});
    // The longest path a host can name, and beyond.
    for (size_t length : {4095, 4096, 10000}) {
        std::string path = "/h/";
        while (path.size() < length) path += path.size() % 200 == 0 ? '/' : 'p';
        keys.push_back({path, path});
    }
    // Long keys are named by their length in failure messages.
    const auto label = [](const HostileName& key) {
        return key.bytes.size() > 100 ? std::to_string(key.bytes.size()) + " bytes" : jsonText(key.inJson);
    };

    set_baselinescan(true);
    for (const HostileName& key : keys) ASSERT_TRUE(Entities::store(entities.make("File", key.bytes), true));
    set_baselinescan(false);
    for (const HostileName& key : keys) EXPECT_EQ(storedWithKey("EntityFileItems", key.bytes), "1") << label(key);
    const std::vector<std::string> exportedLines = exportedKeys(ENTITY_FILE);
    EXPECT_EQ(exportedLines.size(), keys.size());
    const std::set<std::string> exported(exportedLines.begin(), exportedLines.end());
    for (const HostileName& key : keys) EXPECT_EQ(exported.count(key.inJson), 1u) << label(key);

    for (const HostileName& key : keys) {
        ASSERT_EQ(notify(key.bytes, 42), QVIM_OK);
        EXPECT_TRUE(eventsByKey(response.json) == Events({{key.inJson, "update"}})) << label(key);
    }

    // A rename between two hostile names keeps the exact bytes in the baseline.
    const HostileName& from = keys[5];
    const HostileName& to = keys[0];
    const std::string target = to.bytes + "\xC3";
    ASSERT_EQ(notify(from.bytes, 42, QVIM_EVENT_RENAMED, target), QVIM_OK);
    EXPECT_EQ(eventsByKey(response.json), Events({{from.inJson + " -> " + to.inJson + kFFFD, "rename"}}));
    EXPECT_EQ(firstEventText(response.json, "processName"), "proc\n\"x\"" + kFFFD);
    EXPECT_EQ(firstEventText(response.json, "user"), "user\\");
    EXPECT_EQ(firstEventText(response.json, "integrityRuleName"), "files \"q\" " + kFFFD);
    EXPECT_EQ(storedWithKey("EntityFileItems", target), "1");
    EXPECT_EQ(storedWithKey("EntityFileItems", from.bytes), "0");
    cleanup_response_wrapper(&response);

    // Rule names and settings in the metrics document.
    ASSERT_EQ(set_im_state("rulesetList", "a\xFF,b"), QVIM_OK);
    const Json document = metricsDocument();
    const cJSON* state = cJSON_GetObjectItem(cJSON_GetObjectItem(document.get(), "metrics"), "integrityMonitorState");
    EXPECT_STREQ(cJSON_GetStringValue(cJSON_GetObjectItem(state, "rulesetList")), ("a" + kFFFD + ",b").c_str());
}

// Names that differ only in ill-formed bytes print alike; the member after
// each repaired text carries its exact bytes, so they stay distinct. Texts
// that needed no repair get no such member.
TEST_F(HostileKeys, RepairedTextsCarryTheirExactBytes) {
    const auto hex = [](const std::string& bytes) { return Blob::getEncoding(bytes.data(), bytes.size()); };
    const std::string e9 = "/h/caf\xE9", e8 = "/h/caf\xE8", plain = "/h/cafe", link = "/t/\xFF";
    set_baselinescan(true);
    for (const std::string& key : {e9, e8, plain}) {
        im_wrapper_event_s record = entities.make("File", key);
        if (key == e9) record.symLinkPath = link.c_str();
        ASSERT_TRUE(Entities::store(record, true));
    }
    set_baselinescan(false);

    std::set<std::string> lines;
    for (const Json& row : exportedRows(ENTITY_FILE))
        lines.insert(text(row.get(), "key") + "|" + text(row.get(), "keyHex") + "|" + text(row.get(), "symLinkPath") +
                     "|" + text(row.get(), "symLinkPathHex"));
    EXPECT_EQ(lines, (std::set<std::string>{"/h/caf" + kFFFD + "|" + hex(e9) + "|/t/" + kFFFD + "|" + hex(link),
                                            "/h/caf" + kFFFD + "|" + hex(e8) + "|<none>|<none>",
                                            "/h/cafe|<none>|<none>|<none>"}));

    // Events: the keys, and the attribute entry of the stored link target.
    ASSERT_EQ(notify(e9, 42), QVIM_OK);
    const Json document = parseJson(response.json);
    const cJSON* event = cJSON_GetArrayItem(cJSON_GetObjectItem(document.get(), "events"), 0);
    ASSERT_NE(event, nullptr) << response.json;
    EXPECT_EQ(text(event, "key") + "|" + text(event, "keyHex") + "|" + text(event, "isKeyHex"),
              "/h/caf" + kFFFD + "|" + hex(e9) + "|" + hex(e9));
    EXPECT_EQ(text(event, "processNameHex"), hex("proc\n\"x\"\xFF"));
    std::string target = "<none>";
    const cJSON* entry = nullptr;
    cJSON_ArrayForEach(entry, cJSON_GetObjectItem(event, "wasAttributes")) {
        if (strcasecmp(text(entry, "name").c_str(), "symlinkpath") == 0)
            target = text(entry, "value") + "|" + text(entry, "valueHex");
    }
    EXPECT_EQ(target, "/t/" + kFFFD + "|" + hex(link));

    ASSERT_EQ(notify(plain, 42), QVIM_OK);
    ASSERT_EQ(eventsByKey(response.json).size(), 1u) << response.json;
    EXPECT_EQ(firstEventText(response.json, "keyHex") + "|" + firstEventText(response.json, "isKeyHex"),
              "<none>|<none>");
    cleanup_response_wrapper(&response);
}

// ---- The directory walk over hostile and deep trees ------------------------------------

namespace {

void makeDirectory(const std::string& path) { ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path; }

// Runs one scan of directories with its switch on; returns its events by key.
Events scanDirectories(scan_type type, qvim_status expected = QVIM_OK) {
    const auto scanSwitch = type == SCAN_BASELINE ? set_baselinescan : set_integrityscan;
    im_wrapper_response_s response{};
    scanSwitch(true);
    EXPECT_EQ(integrity_scan(1, ENTITY_DIRECTORY, type, &response), expected);
    scanSwitch(false);
    Events events;
    if (type != SCAN_BASELINE && expected == QVIM_OK) events = eventsByKey(response.json);
    cleanup_response_wrapper(&response);
    return events;
}

std::string treeRules(const std::string& root) {
    return R"({"IntegrityRules":[{"id":1,"name":"tree","EntitySets":[{"entityType":"Directory","base":)" +
           jsonText(root) + "}]}]}";
}

}  // namespace

class HostileTree : public testing::Test {
protected:
    void SetUp() override {
        root = testDirectory() + "/tree";
        makeDirectory(root);
        ASSERT_EQ(startEngine(), QVIM_OK);
        set_loglevel(QVIM_LOG_WARNING | QVIM_LOG_ERROR);
        ASSERT_EQ(set_ruleset(false, treeRules(root).c_str(), "g"), QVIM_OK);
    }
    void TearDown() override { engine_stop(); }

    std::string root;
};

TEST_F(HostileTree, ScansReportHostileFolderNamesExactlyOnce) {
    for (const HostileName& name : kHostileNames) makeDirectory(root + "/" + name.bytes);
    scanDirectories(SCAN_BASELINE);
    Events updated, deleted;
    for (const HostileName& name : kHostileNames) {
        EXPECT_EQ(storedWithKey("EntityDirectoryItems", root + "/" + name.bytes), "1") << jsonText(name.inJson);
        ASSERT_EQ(chmod((root + "/" + name.bytes).c_str(), 0700), 0);
        updated.emplace(root + "/" + name.inJson, "update");
        deleted.emplace(root + "/" + name.inJson, "delete");
    }
    EXPECT_EQ(scanDirectories(SCAN_CHANGE), updated);
    for (const HostileName& name : kHostileNames) ASSERT_EQ(rmdir((root + "/" + name.bytes).c_str()), 0);
    EXPECT_EQ(scanDirectories(SCAN_CHANGE), deleted);
}

// Folders nested deeper than a path can name, one folder held open per
// level: the walk records what it can reach, and a host that runs out of
// file descriptors gets a failed scan, never folders reported as deleted
// because they could not be opened.
TEST_F(HostileTree, RunningOutOfFileDescriptorsFailsTheScanInsteadOfDeletingFolders) {
    int fd = open(root.c_str(), O_DIRECTORY | O_RDONLY);
    size_t depth = 0;
    for (size_t length = root.size(); length < 4200; length += 11, ++depth) {
        ASSERT_EQ(mkdirat(fd, "0123456789", 0755), 0);
        const int next = openat(fd, "0123456789", O_DIRECTORY | O_RDONLY);
        close(fd);
        ASSERT_GE(fd = next, 0);
    }
    close(fd);
    const auto stored = [] { return std::stoul(queryFile("test.db", "SELECT count(*) FROM EntityDirectoryItems")); };
    scanDirectories(SCAN_BASELINE);
    const unsigned long reachable = stored();
    EXPECT_GE(reachable, (4095 - root.size()) / 11);
    EXPECT_LE(reachable, depth);
    scanDirectories(SCAN_CHANGE);  // takes in the access times the first walk changed
    ASSERT_EQ(stored(), reachable);

    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit low = saved;
    low.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    clearCapturedLog();
    scanDirectories(SCAN_CHANGE, QVIM_E_FAILED);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_TRUE(loggedContaining("Too many open files"));
    EXPECT_EQ(stored(), reachable);
    EXPECT_TRUE(scanDirectories(SCAN_CHANGE).empty());
}

// A name can hold a newline followed by what looks like a log line of its own.
TEST(HostileLogLines, NamesCannotForgeLinesOfTheLogFile) {
    im_engine_init_s init{};
    init.dbPath = "test.db";
    ASSERT_EQ(engine_start(&init), QVIM_OK);  // no callback: the log file in the working folder
    const std::string forged = "/h/x\n2026 12 04 07:05:20 ERROR src/QVIM/QVIM: 1 forged : forged\r\x1b[2J";
    ASSERT_EQ(set_ruleset(false, R"({"IntegrityRules":[{"id":1,"name":"f","EntitySets":[
        {"entityType":"File","base":"/h","includes":"**/*"}]}]})", "g"), QVIM_OK);
    Entities entities;
    ASSERT_TRUE(Entities::store(entities.make("File", forged)));
    engine_stop();

    std::ifstream log("LogFile.log");
    size_t lines = 0;
    bool named = false;
    for (std::string line; std::getline(log, line); ++lines) {
        EXPECT_TRUE(line.size() > 11 && std::isdigit(static_cast<unsigned char>(line[0])) && line[4] == ' ') << line;
        EXPECT_NE(line.rfind("2026 12 04 07:05:20 ERROR", 0), 0u) << line;
        EXPECT_EQ(line.find_first_of("\r\x1b"), std::string::npos) << line;
        named |= line.find("/h/x\\x0a2026 12 04") != std::string::npos;
    }
    EXPECT_GT(lines, 10u);
    EXPECT_TRUE(named) << "the name is logged with its newline escaped";
}
