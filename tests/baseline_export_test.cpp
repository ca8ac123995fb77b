// Baseline export through get_baseline on a real engine and database: paging
// by id, time and limit, the walk over every kind, rule labels, the number
// rendering, and bad input.
#include <cstdint>
#include <utility>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "baseline_support.h"

using namespace qvim_test;

namespace {

const char* const kDb = "test.db";
const char* const kOut = "export.jsonl";

const char* const kRules = R"({"IntegrityRules":[
  {"id":1,"identifier":"FIM-1","name":"data files","EntitySets":[{"entityType":"File","base":"/data/"}]},
  {"id":2,"name":"special","EntitySets":[{"entityType":"File","base":"/data/special/"}]},
  {"id":3,"identifier":"R3","EntitySets":[{"entityType":"Directory","base":"/data/"}]},
  {"id":4,"name":"users","EntitySets":[{"entityType":"User"}]},
  {"id":5,"name":"groups","EntitySets":[{"entityType":"Group"}]},
  {"id":6,"name":"ports","EntitySets":[{"entityType":"Port"}]},
  {"id":7,"name":"software","EntitySets":[{"entityType":"InstalledSoftware"}]},
  {"id":8,"name":"processes","EntitySets":[{"entityType":"Process"}]}]})";

constexpr unsigned long kStride = 1000000000UL;

std::vector<std::string> exportLines(unsigned long itemId, unsigned long recordTime, unsigned long limit,
                                     entity_type kind) {
    EXPECT_EQ(get_baseline(itemId, recordTime, limit, kind, kOut), QVIM_OK);
    const std::string text = readFile(kOut);
    EXPECT_TRUE(text.empty() || text.back() == '\n');
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

// Export ids of the lines, in file order.
std::vector<double> ids(const std::vector<std::string>& lines) {
    std::vector<double> out;
    for (const std::string& line : lines) {
        Json row = parseJson(line.c_str());
        const cJSON* id = cJSON_GetObjectItem(row.get(), "entityItemId");
        out.push_back(cJSON_IsNumber(id) ? id->valuedouble : -1);
    }
    return out;
}

std::vector<std::string> memberNames(const std::string& line) {
    Json row = parseJson(line.c_str());
    std::vector<std::string> names;
    for (const cJSON* item = row ? row->child : nullptr; item != nullptr; item = item->next) names.push_back(item->string);
    return names;
}

std::string member(const std::string& line, const char* name) {
    Json row = parseJson(line.c_str());
    const cJSON* item = cJSON_GetObjectItem(row.get(), name);
    if (item == nullptr) return "<absent>";
    if (cJSON_IsString(item)) return item->valuestring;
    return std::to_string(static_cast<long long>(item->valuedouble));
}

double id(entity_type kind, unsigned long row) { return static_cast<double>(kind * kStride + row); }

class BaselineExport : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(startEngine(kDb), QVIM_OK);
        ASSERT_EQ(set_ruleset(false, kRules, "g"), QVIM_OK);
    }
    void TearDown() override { engine_stop(); }

    void storeFiles(int count) {
        for (int i = 1; i <= count; ++i) {
            im_wrapper_event_s file = entities.make("File", "/data/f" + std::to_string(i));
            file.size = static_cast<uint64_t>(i * 100);
            ASSERT_TRUE(Entities::store(file));
        }
    }

    // One entity of every kind, each the first row of its table.
    void storeOneOfEach() {
        for (const char* kind : {"File", "Directory"}) ASSERT_TRUE(Entities::store(entities.make(kind, "/data/x")));
        for (const char* kind : {"User", "Group", "Port", "InstalledSoftware"})
            ASSERT_TRUE(Entities::store(entities.make(kind, std::string("a-") + kind)));
        im_wrapper_event_s process = entities.make("Process", "42-sh");
        process.process = "sh";
        ASSERT_TRUE(Entities::store(process));
    }

    Entities entities;
};

}  // namespace

TEST_F(BaselineExport, PagesFollowTheIdsAndTheRecordTime) {
    storeFiles(5);

    const std::vector<std::string> first = exportLines(0, 0, 3, ENTITY_FILE);
    ASSERT_EQ(first.size(), 3u);
    EXPECT_EQ(ids(first), (std::vector<double>{id(ENTITY_FILE, 1), id(ENTITY_FILE, 2), id(ENTITY_FILE, 3)}));
    const std::vector<std::string> names = memberNames(first[0]);
    ASSERT_GE(names.size(), 4u);
    EXPECT_EQ(names[0], "rule");
    EXPECT_EQ(names[1], "entityItemId");
    EXPECT_EQ(names[2], "key");
    EXPECT_EQ(names.back(), "recordTime");
    EXPECT_EQ(member(first[0], "key"), "/data/f1");
    EXPECT_EQ(member(first[2], "size"), "300");

    // The last id of a page continues with the next row.
    EXPECT_EQ(ids(exportLines(static_cast<unsigned long>(id(ENTITY_FILE, 3)), 0, 3, ENTITY_FILE)),
              (std::vector<double>{id(ENTITY_FILE, 4), id(ENTITY_FILE, 5)}));
    EXPECT_TRUE(exportLines(static_cast<unsigned long>(id(ENTITY_FILE, 5)), 0, 3, ENTITY_FILE).empty());
    EXPECT_TRUE(exportLines(0, 0, 0, ENTITY_FILE).empty());

    // Only rows recorded after the given time, alone and after an id.
    execFile(kDb, "UPDATE EntityFileItems SET recordTime = CASE WHEN entityItemId <= 2 THEN 1000 ELSE 5000 END");
    EXPECT_EQ(ids(exportLines(0, 1000, 10, ENTITY_FILE)),
              (std::vector<double>{id(ENTITY_FILE, 3), id(ENTITY_FILE, 4), id(ENTITY_FILE, 5)}));
    EXPECT_EQ(ids(exportLines(static_cast<unsigned long>(id(ENTITY_FILE, 3)), 1000, 10, ENTITY_FILE)),
              (std::vector<double>{id(ENTITY_FILE, 4), id(ENTITY_FILE, 5)}));
    EXPECT_EQ(member(exportLines(0, 4999, 1, ENTITY_FILE)[0], "recordTime"), "5000");
}

TEST_F(BaselineExport, AllWalksTheKindsInOrderSharingTheLimit) {
    storeOneOfEach();
    const std::vector<std::string> all = exportLines(0, 0, 100, ENTITY_ALL);
    std::vector<double> expected;
    for (int kind = ENTITY_FILE; kind <= ENTITY_PROCESS; ++kind) expected.push_back(id(entity_type(kind), 1));
    EXPECT_EQ(ids(all), expected);

    // Three at a time, each page continuing after the last id of the one before.
    EXPECT_EQ(ids(exportLines(0, 0, 3, ENTITY_ALL)),
              (std::vector<double>{id(ENTITY_FILE, 1), id(ENTITY_DIRECTORY, 1), id(ENTITY_USER, 1)}));
    EXPECT_EQ(ids(exportLines(static_cast<unsigned long>(id(ENTITY_USER, 1)), 0, 3, ENTITY_ALL)),
              (std::vector<double>{id(ENTITY_GROUP, 1), id(ENTITY_PORT, 1), id(ENTITY_INSTALLED_SOFTWARE, 1)}));
    EXPECT_EQ(ids(exportLines(static_cast<unsigned long>(id(ENTITY_INSTALLED_SOFTWARE, 1)), 0, 3, ENTITY_ALL)),
              (std::vector<double>{id(ENTITY_PROCESS, 1)}));
    EXPECT_TRUE(exportLines(static_cast<unsigned long>(id(ENTITY_PROCESS, 1)), 0, 3, ENTITY_ALL).empty());
}

TEST_F(BaselineExport, RuleLabelsAndEntitiesNoRuleMatches) {
    ASSERT_TRUE(Entities::store(entities.make("File", "/data/special/s")));
    ASSERT_TRUE(Entities::store(entities.make("Directory", "/data/d")));
    EXPECT_EQ(member(exportLines(0, 0, 10, ENTITY_FILE)[0], "rule"), "FIM-1 - data files,special");
    EXPECT_EQ(member(exportLines(0, 0, 10, ENTITY_DIRECTORY)[0], "rule"), "R3 - <empty>");

    // Another ruleset: the stored file is exported without a rule.
    const char* const directoriesOnly =
        R"({"IntegrityRules":[{"id":3,"name":"dirs","EntitySets":[{"entityType":"Directory","base":"/data/"}]}]})";
    ASSERT_EQ(set_ruleset(false, directoriesOnly, "g"), QVIM_OK);
    clearCapturedLog();
    const std::vector<std::string> lines = exportLines(0, 0, 10, ENTITY_FILE);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(member(lines[0], "rule"), "<absent>");
    EXPECT_EQ(memberNames(lines[0])[0], "entityItemId");
    EXPECT_TRUE(logged(QVIM_LOG_WARNING, "No rules matched entity type: File with key '/data/special/s'"));
}

TEST_F(BaselineExport, EmptyTextsAreLeftOutAndNumbersReadUnsigned) {
    const unsigned char digest[32] = {0xAB, 0x01};
    im_wrapper_event_s file = entities.make("File", "/data/f");
    file.sha256 = digest;
    // Around the places where the JSON library changes its rendering.
    const std::pair<const char*, uint64_t> numbers[] = {
        {"blocksAllocated", 0},
        {"created", 2147483647ULL},
        {"deviceNumber", 2147483648ULL},
        {"flags", 999999999999999ULL},
        {"flagsAll", 1000000000000000ULL},
        {"inodeGenerationNumber", 1000000000000001ULL},
        {"inodeNumber", 1ULL << 53},
        {"lastAccessed", UINT64_MAX},
        {"lastModified", 1700000000123ULL},
    };
    file.blocksAllocated = numbers[0].second;
    file.created = numbers[1].second;
    file.deviceNumber = numbers[2].second;
    file.flags = numbers[3].second;
    file.flagsAll = numbers[4].second;
    file.inodeGenerationNumber = numbers[5].second;
    file.inodeNumber = numbers[6].second;
    file.lastAccessed = numbers[7].second;
    file.lastModified = numbers[8].second;
    ASSERT_TRUE(Entities::store(file));

    im_wrapper_event_s alice = entities.make("User", "alice");
    alice.fullName = "Alice A";
    alice.passwordExpiry = -1;
    alice.passwordWarningDays = -42;
    alice.passwordLastChanged = 19000;
    alice.disabled = true;
    ASSERT_TRUE(Entities::store(alice));
    ASSERT_TRUE(Entities::store(entities.make("User", "bob")));

    const std::string fileLine = exportLines(0, 0, 1, ENTITY_FILE)[0];
    EXPECT_EQ(member(fileLine, "sha256"), "AB01" + std::string(60, '0'));
    for (const char* empty : {"md5", "sha1", "owner", "permissions", "symLinkPath", "group"})
        EXPECT_EQ(member(fileLine, empty), "<absent>") << empty;
    // Each number reads as the JSON library prints the double it is given.
    for (const auto& [name, value] : numbers) {
        Json number(cJSON_CreateNumber(static_cast<double>(value)));
        char* printed = cJSON_PrintUnformatted(number.get());
        EXPECT_NE(fileLine.find("\"" + std::string(name) + "\":" + printed + ","), std::string::npos)
            << name << " " << printed << " in " << fileLine;
        cJSON_free(printed);
    }
    // So: exact up to 2^53, beyond it the nearest double in 15 or 17 digits.
    EXPECT_NE(fileLine.find("\"flags\":999999999999999,"), std::string::npos) << fileLine;
    EXPECT_NE(fileLine.find("\"inodeNumber\":9.00719925474099e+15,"), std::string::npos) << fileLine;
    EXPECT_NE(fileLine.find("\"lastAccessed\":1.8446744073709552e+19,"), std::string::npos) << fileLine;

    // Negative 32-bit values read as 2^64 plus the value.
    const std::vector<std::string> users = exportLines(0, 0, 10, ENTITY_USER);
    ASSERT_EQ(users.size(), 2u);
    EXPECT_NE(users[0].find("\"passwordExpiry\":1.8446744073709552e+19,"), std::string::npos) << users[0];
    EXPECT_NE(users[0].find("\"passwordWarningDays\":1.8446744073709552e+19,"), std::string::npos) << users[0];
    EXPECT_NE(users[0].find("\"passwordLastChanged\":19000,"), std::string::npos) << users[0];
    EXPECT_NE(users[0].find("\"disabled\":1,"), std::string::npos) << users[0];
    EXPECT_EQ(member(users[0], "fullName"), "Alice A");
    // Nothing of one row carries over into the next.
    EXPECT_EQ(member(users[1], "fullName"), "<absent>");
    EXPECT_NE(users[1].find("\"passwordExpiry\":0,"), std::string::npos) << users[1];
}

TEST_F(BaselineExport, BadKindsAndUnwritablePathsAreRefused) {
    storeFiles(1);
    EXPECT_EQ(get_baseline(0, 0, 10, static_cast<entity_type>(8), kOut), QVIM_E_BAD_PARAMETER);
    EXPECT_EQ(get_baseline(0, 0, 10, ENTITY_FILE, nullptr), QVIM_E_BAD_PARAMETER);
    EXPECT_EQ(readFile(kOut), "");

    EXPECT_EQ(get_baseline(0, 0, 10, ENTITY_FILE, "missing/export.jsonl"), QVIM_E_FAILED);
    EXPECT_TRUE(
        logged(QVIM_LOG_ERROR, "Error opening file 'missing/export.jsonl': No such file or directory"));
    EXPECT_EQ(readFile("missing/export.jsonl"), "");
    EXPECT_EQ(get_baseline(0, 0, 10, ENTITY_FILE, "."), QVIM_E_FAILED);

    // The export still works afterwards.
    EXPECT_EQ(exportLines(0, 0, 10, ENTITY_FILE).size(), 1u);
}
