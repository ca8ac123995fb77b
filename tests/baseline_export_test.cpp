// Baseline export through get_baseline: paging by id, time, limit and kind,
// rule labels, the rendering of numbers and texts, and bad input.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "baseline_support.h"

using namespace qvim_test;

namespace {

const char* const kOut = "export.jsonl";
const char* const kRules = R"({"IntegrityRules":[
  {"id":1,"identifier":"FIM-1","name":"data files","EntitySets":[{"entityType":"File","base":"/data/"}]},
  {"id":2,"name":"special","EntitySets":[{"entityType":"File","base":"/data/special/"}]},
  {"id":3,"identifier":"R3","EntitySets":[{"entityType":"Directory","base":"/data/"},{"entityType":"User"},
    {"entityType":"Group"},{"entityType":"Port"},{"entityType":"InstalledSoftware"},{"entityType":"Process"}]}]})";

std::vector<std::string> exportLines(unsigned long itemId, unsigned long recordTime, unsigned long limit,
                                     entity_type kind) {
    EXPECT_EQ(get_baseline(itemId, recordTime, limit, kind, kOut), QVIM_OK);
    std::istringstream in(readFile(kOut));
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Export id of a row: kind * 10^9 + row id.
unsigned long id(entity_type kind, unsigned long row) { return kind * 1000000000UL + row; }

// Export ids of the lines, in file order.
std::vector<unsigned long> ids(const std::vector<std::string>& lines) {
    std::vector<unsigned long> out;
    for (const std::string& line : lines)
        out.push_back(static_cast<unsigned long>(cJSON_GetNumberValue(
            cJSON_GetObjectItem(parseJson(line.c_str()).get(), "entityItemId"))));
    return out;
}

// A member as text; "<absent>" when the row has none.
std::string member(const std::string& line, const char* name) {
    const Json row = parseJson(line.c_str());
    const cJSON* item = cJSON_GetObjectItem(row.get(), name);
    if (item == nullptr) return "<absent>";
    return cJSON_IsString(item) ? item->valuestring : std::to_string(static_cast<long long>(item->valuedouble));
}

bool contains(const std::string& line, const std::string& part) { return line.find(part) != std::string::npos; }

class BaselineExport : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(startEngine("test.db"), QVIM_OK);
        ASSERT_EQ(set_ruleset(false, kRules, "g"), QVIM_OK);
    }
    void TearDown() override { engine_stop(); }

    Entities entities;
};

using Ids = std::vector<unsigned long>;

}  // namespace

TEST_F(BaselineExport, PagesFollowTheIdsTheRecordTimeAndTheKinds) {
    for (const char* path : {"/data/f1", "/data/f2", "/data/f3"}) ASSERT_TRUE(Entities::store(entities.make("File", path)));
    for (const char* kind : {"Directory", "User", "Group", "Port", "InstalledSoftware", "Process"})
        ASSERT_TRUE(Entities::store(entities.make(kind, std::string("/data/") + kind)));

    const std::vector<std::string> page = exportLines(0, 0, 2, ENTITY_FILE);
    ASSERT_EQ(ids(page), (Ids{id(ENTITY_FILE, 1), id(ENTITY_FILE, 2)}));
    EXPECT_TRUE(page[0].rfind(R"({"rule":"FIM-1 - data files","entityItemId":1000000001,"key":"/data/f1",)", 0) == 0)
        << page[0];
    EXPECT_EQ(page[0].find(',', page[0].rfind(R"(,"recordTime":)") + 1), std::string::npos) << page[0];
    EXPECT_EQ(ids(exportLines(id(ENTITY_FILE, 2), 0, 2, ENTITY_FILE)), (Ids{id(ENTITY_FILE, 3)}));
    EXPECT_TRUE(exportLines(id(ENTITY_FILE, 3), 0, 2, ENTITY_FILE).empty());
    EXPECT_TRUE(exportLines(0, 0, 0, ENTITY_FILE).empty());

    // Newer than a time, alone and after an id.
    execFile("test.db", "UPDATE EntityFileItems SET recordTime = CASE WHEN entityItemId = 2 THEN 5000 ELSE 1000 END");
    EXPECT_EQ(ids(exportLines(0, 1000, 10, ENTITY_FILE)), (Ids{id(ENTITY_FILE, 2)}));
    EXPECT_TRUE(exportLines(id(ENTITY_FILE, 2), 1000, 10, ENTITY_FILE).empty());

    // All: kind after kind with the limit shared; the id restricts only the
    // kind it belongs to.
    EXPECT_EQ(ids(exportLines(0, 0, 4, ENTITY_ALL)),
              (Ids{id(ENTITY_FILE, 1), id(ENTITY_FILE, 2), id(ENTITY_FILE, 3), id(ENTITY_DIRECTORY, 1)}));
    EXPECT_EQ(ids(exportLines(id(ENTITY_DIRECTORY, 1), 0, 100, ENTITY_ALL)),
              (Ids{id(ENTITY_USER, 1), id(ENTITY_GROUP, 1), id(ENTITY_PORT, 1), id(ENTITY_INSTALLED_SOFTWARE, 1),
                   id(ENTITY_PROCESS, 1)}));
    const std::vector<std::string> group = exportLines(id(ENTITY_GROUP, 1), 0, 1, ENTITY_ALL);
    ASSERT_EQ(group.size(), 1u);
    EXPECT_EQ(member(group[0], "rule"), "R3 - <empty>");

    // Refused, leaving the last export alone: kinds beyond Process, no path,
    // a file that cannot be opened.
    const std::string last = readFile(kOut);
    EXPECT_EQ(get_baseline(0, 0, 10, static_cast<entity_type>(8), kOut), QVIM_E_BAD_PARAMETER);
    EXPECT_EQ(get_baseline(0, 0, 10, ENTITY_FILE, nullptr), QVIM_E_BAD_PARAMETER);
    EXPECT_EQ(get_baseline(0, 0, 10, ENTITY_FILE, "missing/export.jsonl"), QVIM_E_FAILED);
    EXPECT_TRUE(logged(QVIM_LOG_ERROR, "Error opening file 'missing/export.jsonl': No such file or directory"));
    EXPECT_EQ(readFile(kOut), last);
}

TEST_F(BaselineExport, RulesTextsAndNumbersAsTheHostReadsThem) {
    im_wrapper_event_s file = entities.make("File", "/data/special/f");
    const unsigned char digest[32] = {0xAB, 0x01};
    file.sha256 = digest;
    // Around the places where the JSON library changes its rendering.
    const std::pair<uint64_t im_wrapper_event_s::*, uint64_t> numbers[] = {
        {&im_wrapper_event_s::flags, 999999999999999ULL},
        {&im_wrapper_event_s::flagsAll, 1000000000000000ULL},
        {&im_wrapper_event_s::inodeNumber, 1ULL << 53},
        {&im_wrapper_event_s::lastAccessed, UINT64_MAX},
    };
    for (const auto& [field, value] : numbers) file.*field = value;
    ASSERT_TRUE(Entities::store(file));
    im_wrapper_event_s alice = entities.make("User", "alice");
    alice.fullName = "Alice A";
    alice.passwordExpiry = -1;
    ASSERT_TRUE(Entities::store(alice));
    ASSERT_TRUE(Entities::store(entities.make("User", "bob")));

    std::vector<std::string> files = exportLines(0, 0, 1, ENTITY_FILE);
    ASSERT_EQ(files.size(), 1u);
    const std::string line = files[0];
    EXPECT_EQ(member(line, "rule"), "FIM-1 - data files,special");
    EXPECT_EQ(member(line, "sha256"), "AB01" + std::string(60, '0'));
    for (const char* empty : {"md5", "owner", "symLinkPath", "group"}) EXPECT_EQ(member(line, empty), "<absent>");
    // Exact below 10^15, then the nearest double as the library prints it.
    for (const char* part : {R"("flags":999999999999999,)", R"("flagsAll":1e+15,)",
                             R"("inodeNumber":9.00719925474099e+15,)", R"("lastAccessed":1.8446744073709552e+19,)"})
        EXPECT_TRUE(contains(line, part)) << part << " in " << line;

    // Negative 32-bit values read as 2^64 plus the value; nothing of one row
    // carries over into the next.
    const std::vector<std::string> users = exportLines(0, 0, 10, ENTITY_USER);
    ASSERT_EQ(users.size(), 2u);
    EXPECT_TRUE(contains(users[0], R"("passwordExpiry":1.8446744073709552e+19,)")) << users[0];
    EXPECT_EQ(member(users[0], "fullName"), "Alice A");
    EXPECT_EQ(member(users[1], "fullName"), "<absent>");
    EXPECT_TRUE(contains(users[1], R"("passwordExpiry":0,)")) << users[1];

    // Under another ruleset the file matches no rule.
    ASSERT_EQ(set_ruleset(false, R"({"IntegrityRules":[{"id":9,"EntitySets":[{"entityType":"User"}]}]})", "g"),
              QVIM_OK);
    files = exportLines(0, 0, 1, ENTITY_FILE);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].rfind(R"({"entityItemId":1000000001,)", 0), 0u) << files[0];
    EXPECT_TRUE(logged(QVIM_LOG_WARNING, "No rules matched entity type: File with key '/data/special/f'"));
}

// A page the database cannot give (another connection holds it locked past
// the busy timeout) fails the call instead of passing for the whole baseline.
TEST_F(BaselineExport, ADatabaseLockedPastTheTimeoutFailsTheExport) {
    // With a write-ahead log no writer locks readers out.
    engine_stop();
    ASSERT_EQ(startEngineInRollbackMode("test.db"), QVIM_OK);
    ASSERT_EQ(set_ruleset(false, kRules, "g"), QVIM_OK);
    for (const char* path : {"/data/f1", "/data/f2"}) ASSERT_TRUE(Entities::store(entities.make("File", path)));
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open("test.db", &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    clearCapturedLog();
    EXPECT_EQ(get_baseline(0, 0, 10, ENTITY_ALL, kOut), QVIM_E_FAILED);
    EXPECT_TRUE(logged(QVIM_LOG_ERROR, "Error executing SELECT on EntityFileTable: database is locked"));
    EXPECT_FALSE(loggedContaining("EntityDirectoryTable")) << "the export goes on after a failed kind";
    sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(other);
    EXPECT_EQ(ids(exportLines(0, 0, 10, ENTITY_ALL)), (Ids{id(ENTITY_FILE, 1), id(ENTITY_FILE, 2)}));
}

// The export target is not followed through a link, does not hold the call
// when it is a FIFO, and a new file is the owner's alone even under umask 000.
TEST_F(BaselineExport, TheExportFileIsNeverALinkOrAFifoAndIsOwnerOnly) {
    ASSERT_TRUE(Entities::store(entities.make("File", "/data/f1")));
    writeFile("victim", "kept");
    ASSERT_EQ(symlink("victim", "link.jsonl"), 0);
    ASSERT_EQ(symlink("created", "dangling.jsonl"), 0);
    for (const char* link : {"link.jsonl", "dangling.jsonl"}) {
        EXPECT_EQ(get_baseline(0, 0, 10, ENTITY_FILE, link), QVIM_E_FAILED) << link;
        EXPECT_TRUE(logged(QVIM_LOG_ERROR, std::string("Error opening file '") + link + "': it is a symbolic link"));
    }
    EXPECT_EQ(readFile("victim"), "kept");
    EXPECT_EQ(access("created", F_OK), -1);

    // Without a reader, and with one that would take the lines.
    ASSERT_EQ(mkfifo("fifo.jsonl", 0600), 0);
    EXPECT_EQ(get_baseline(0, 0, 10, ENTITY_FILE, "fifo.jsonl"), QVIM_E_FAILED);
    const int reader = open("fifo.jsonl", O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_EQ(get_baseline(0, 0, 10, ENTITY_FILE, "fifo.jsonl"), QVIM_E_FAILED);
    EXPECT_TRUE(logged(QVIM_LOG_ERROR, "Error opening file 'fifo.jsonl': not a regular file"));
    char byte;
    EXPECT_LE(read(reader, &byte, 1), 0) << "nothing reached the reader";
    close(reader);

    const mode_t saved = umask(0);
    EXPECT_EQ(exportLines(0, 0, 10, ENTITY_FILE).size(), 1u);
    umask(saved);
    struct stat info;
    ASSERT_EQ(stat(kOut, &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}
