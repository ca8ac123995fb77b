// The parts of the program that need no engine: rules reading, walk scope,
// entity collection and digests, the dpkg reader, event formatting and the
// hashing pipeline. Trees are real, in the test's temporary folder.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <sstream>

#include "Dpkg.h"
#include "FsEntity.h"
#include "HostTestSupport.h"
#include "Output.h"
#include "Pipeline.h"
#include "Rules.h"
#include "Session.h"
#include "Text.h"
#include "Walk.h"

using namespace qvimcli;
using namespace qvimhost_test;

// ---- Rules ----------------------------------------------------------------------------

namespace {

Ruleset parsed(const std::string& text) {
    Ruleset ruleset;
    std::string error;
    EXPECT_TRUE(parseRuleset(text, ruleset, error)) << error;
    return ruleset;
}

std::string ruleHash(const Ruleset& ruleset, int rule) {
    JsonPtr document(cJSON_Parse(ruleset.text.c_str()));
    return jsonText(cJSON_GetArrayItem(cJSON_GetObjectItem(document.get(), "IntegrityRules"), rule), "hash");
}

}  // namespace

TEST(HostRules, HashesAreAddedOnceAndFollowTheRuleContent) {
    const std::string text =
        R"({"IntegrityRules":[{"id":1,"name":"a","EntitySets":[{"entityType":"File","base":"/etc"}]},)"
        R"({"id":2,"hash":"v7","EntitySets":[{"entityType":"User"}]}]})";
    const Ruleset first = parsed(text);
    const std::string computed = ruleHash(first, 0);
    EXPECT_EQ(computed.size(), 16u);
    EXPECT_EQ(ruleHash(first, 1), "v7");
    // Installing the recorded text again must not change any hash, or every
    // later init would rebuild everything.
    EXPECT_EQ(parsed(first.text).text, first.text);

    std::string edited = text;
    edited.replace(edited.find("/etc"), 4, "/opt");
    EXPECT_NE(ruleHash(parsed(edited), 0), computed);
}

TEST(HostRules, BasesAreNormalisedLikeTheEngineDoesAndWildcardsWiden) {
    for (const auto& [base, normalised] : std::vector<std::pair<std::string, std::string>>{
             {"", "/"}, {"/etc", "/etc/"}, {"/etc/", "/etc/"}, {"/etc/*/", "/etc/"}, {"/var/log/app*", "/var/log/app"},
             {"/etc/**", "/etc/*"}})
        EXPECT_EQ(normaliseBase(base), normalised) << base;

    const std::string text =
        R"({"IntegrityRules":[{"id":1,"realtime":"true","EntitySets":[)"
        R"({"entityType":"File","base":"/etc/**"},{"entityType":"Directory","base":"/var/log/app*"},)"
        R"({"entityType":"File","base":"relative/path"},{"base":"/x"},{"entityType":"Process"}]},)"
        R"({"id":2,"realtime":"false","EntitySets":[{"entityType":"File","base":"/srv","base":"/opt"}]},{"name":"no id"}]})";
    const Ruleset ruleset = parsed(text);
    EXPECT_EQ(ruleset.basesOf(ENTITY_FILE, false), (std::vector<std::string>{"/etc/", "/opt/"}));
    EXPECT_EQ(ruleset.basesOf(ENTITY_FILE, true), (std::vector<std::string>{"/etc/"}));
    EXPECT_EQ(ruleset.basesOf(ENTITY_ALL, true), (std::vector<std::string>{"/etc/", "/var/log/app"}));
    EXPECT_TRUE(ruleset.watches(ENTITY_PROCESS));
    EXPECT_FALSE(ruleset.watches(ENTITY_USER));
}

TEST(HostRules, Md5IsWantedOnlyWhenAFileSetWatchesOrTestsIt) {
    const auto wanted = [](const std::string& sets) {
        return parsed(R"({"IntegrityRules":[{"id":1,"EntitySets":[)" + sets + "]}]}").md5Watched;
    };
    EXPECT_FALSE(wanted(R"({"entityType":"File","base":"/etc"})"));
    EXPECT_FALSE(wanted(R"({"entityType":"File","attributes":"standard,contents,md5sum"})"));
    EXPECT_FALSE(wanted(R"({"entityType":"Directory","attributes":"md5","includes_md5":"0*"})"));
    EXPECT_TRUE(wanted(R"({"entityType":"File","attributes":"size, MD5 "})"));
    EXPECT_TRUE(wanted(R"({"entityType":"Directory"},{"ATTRIBUTES":"md5","entityType":"File"})"));
    EXPECT_TRUE(wanted(R"({"entityType":"File","excludes_Md5":"d41d8cd98f00b204e9800998ecf8427e"})"));
    EXPECT_TRUE(wanted(R"({"entityType":"File","and":{"includes":"*.so","includes_md5":"0*"}})"));
}

TEST(HostRules, UnusableDocumentsAreRefusedWithTheReason) {
    Ruleset ruleset;
    std::string error;
    EXPECT_FALSE(parseRuleset("{\n\"IntegrityRules\": [\n  {\"id\": 1,,}\n]}", ruleset, error));
    EXPECT_EQ(error, "is not valid JSON (error on line 3)");
    EXPECT_FALSE(parseRuleset("[]", ruleset, error));
    EXPECT_EQ(error, "has no \"IntegrityRules\" array");
    EXPECT_FALSE(parseRuleset("{\"IntegrityRules\":[]}", ruleset, error));
    EXPECT_NE(error.find("empty"), std::string::npos);
    EXPECT_FALSE(parseRuleset("{\"IntegrityRules\":[{\"id\":1,\"EntitySets\":[{\"entityType\":\"file\"}]}]}",
                              ruleset, error));
    EXPECT_NE(error.find("no entity set with a known"), std::string::npos);
}

namespace {

// The problems of a document as "LINE error|warning: MESSAGE".
std::vector<std::string> problems(const std::string& text) {
    std::vector<std::string> shown;
    for (const RuleProblem& problem : checkRuleset(text))
        shown.push_back(std::to_string(problem.line) + (problem.error ? " error: " : " warning: ") + problem.message);
    return shown;
}

// One rule with one entity set whose members are given, on lines of their own.
std::string oneSet(const std::string& members, const std::string& ruleMembers = "") {
    return "{\"IntegrityRules\": [\n{\"id\": 1,\n" + ruleMembers + "\"EntitySets\": [\n{" + members + "}\n]}\n]}";
}

bool has(const std::vector<std::string>& shown, const std::string& expected) {
    return std::any_of(shown.begin(), shown.end(),
                       [&expected](const std::string& line) { return line.find(expected) != std::string::npos; });
}

}  // namespace

TEST(HostRules, CheckNamesWhatTheEngineWouldIgnoreWithItsLineAndTheNameMeant) {
    const struct {
        std::string document;
        std::string expected;  // a part of one problem, with its line
    } cases[] = {
        // What the engine skips without a word.
        {oneSet("\"entityType\": \"File\"", "\"realtime\": true,\n"),
         "3 error: \"realtime\" must be a text, not a boolean; the engine ignores it; write \"true\" in quotes"},
        {oneSet("\"entityType\": \"File\", \"attributes\": \"size, mtime\""),
         "4 error: \"mtime\" is not an attribute of File entities, so nothing watches it; did you mean "
         "\"lastModified\"?"},
        {oneSet("\"entityType\": \"Directory\", \"attributes\": \"sha256\""),
         "4 error: \"sha256\" is not an attribute of Directory entities"},
        {oneSet("\"entityType\": \"User\", \"attributes\": \"passwordLastChange\""),
         "did you mean \"passwordLastChanged\"?"},
        {oneSet("\"entityType\": \"File\", \"Includes\": \"*.conf\""),
         "4 error: unknown member \"Includes\", which the engine ignores (names here are case-sensitive); did you "
         "mean \"includes\"?"},
        {oneSet("\"entityType\": \"File\"", "\"nmae\": \"x\",\n"), "3 error: unknown member \"nmae\""},
        {oneSet("\"entityType\": \"file\""), "4 error: unknown \"entityType\" \"file\"; did you mean \"File\"?"},
        {oneSet("\"entityType\": \"Fyle\""), "4 warning: \"entityType\" \"Fyle\" is read as \"File\""},
        {oneSet("\"entityType\": \"File\", \"operations\": \"create, modify\""),
         "unknown operation \"modify\", which the engine ignores; did you mean \"update\"?"},
        {oneSet("\"entityType\": \"File\", \"includes_owner\": \"root\""),
         "\"includes_owner\" tests nothing: File entities answer conditions on executable only"},
        {oneSet("\"entityType\": \"Process\", \"and\": {\"includes_cmdline\": \"*\"}"),
         "did you mean \"commandLine\"?"},
        {oneSet("\"entityType\": \"File\", \"includes\": [\"*.conf\"]"),
         "\"includes\" must be a text, not an array"},
        {oneSet("\"entityType\": \"File\", \"base\": \"etc\""), "\"base\" \"etc\" is not an absolute path"},
        // Rules and sets that watch nothing.
        {"{\"IntegrityRules\": []}", "1 error: \"IntegrityRules\" is empty"},
        {"{\"IntegrityRules\": [\n{\"id\": 1, \"EntitySets\": []}]}", "2 error: rule 1 has no entity set"},
        {oneSet(""), "4 error: the entity set has no \"entityType\""},
        {"{\"IntegrityRules\": [\n{\"name\": \"x\", \"EntitySets\": [{\"entityType\": \"User\"}]}]}",
         "2 error: rule 1 has no \"id\""},
        {"{\"IntegrityRules\": [{\"id\": \"one\", \"EntitySets\": [{\"entityType\": \"User\"}]}]}",
         "1 error: \"id\" \"one\" is not a decimal number"},
        // Enforcement is read for real-time rules only, and only with a known type.
        {oneSet("\"entityType\": \"File\"", "\"enforcement\": {\"type\": \"allow\"},\n"),
         "3 warning: \"enforcement\" of rule 1 is ignored: the rule is not \"realtime\""},
        {oneSet("\"entityType\": \"File\"", "\"realtime\": \"true\", \"enforcement\": {\"type\": \"deny\"},\n"),
         "\"type\" must be \"allow\" or \"block\", not \"deny\""},
        {oneSet("\"entityType\": \"File\"", "\"realtime\": \"no\",\n"), "3 warning: \"realtime\": \"no\" is read as true"},
        {"{\"IntegrityRules\": [{\"id\": 1, \"EntitySets\": [{\"entityType\": \"User\"}]}],\n\"IntegrityRule\": 2}",
         "2 error: unknown member \"IntegrityRule\", which the engine ignores; did you mean \"IntegrityRules\"?"},
        {"{\n\"IntegrityRules\": [\n  {\"id\": 1,,}\n]}", "3 error: not valid JSON here"},
    };
    for (const auto& test : cases) {
        const std::vector<std::string> shown = problems(test.document);
        EXPECT_TRUE(has(shown, test.expected)) << test.document << "\nexpected: " << test.expected << "\nshown:\n"
                                               << testing::PrintToString(shown);
    }

    // Escaped quotes and line breaks inside texts and keys, and a byte order mark, do not shift lines.
    const std::vector<std::string> shown = problems(
        "\xEF\xBB\xBF{\"IntegrityRules\": [{\"id\": 1, \"name\": \"a \\\" b \\\\\",\n\"EntitySets\": [{\"entityType\": \"File\",\n"
        "\"base\": \"/x\\\"y\\n\", \"\\\"odd\": 1,\n\"attributes\": \"ctime\"}]}]}");
    EXPECT_EQ(shown, (std::vector<std::string>{"3 error: unknown member \"\"odd\", which the engine ignores",
                                               "4 error: \"ctime\" is not an attribute of File entities, so nothing "
                                               "watches it"}));
}

TEST(HostRules, CheckAcceptsWhatTheProgramShipsAndBoundsHostileDocuments) {
    for (const std::string& path : {std::string(QVIM_SOURCE_DIR "/examples/rules/default.json")}) {
        std::string text, why;
        ASSERT_TRUE(readRulesFile(path, text, why)) << why;
        EXPECT_EQ(problems(text), std::vector<std::string>{}) << path;
    }
    EXPECT_EQ(problems(folderRules("/srv")), std::vector<std::string>{});
    EXPECT_EQ(problems(oneSet("\"entityType\": \"File\", \"attributes\": \"standard, contents, MD5, inodeNumber\", "
                              "\"operations\": \"Create,,block\", \"and\": {\"includes\": \"*\", "
                              "\"includes_executable\": \"true\", \"includes_casesensitive\": \"false\"}")),
              std::vector<std::string>{});

    // Nesting far deeper than cJSON takes is refused as such, without a deep stack.
    const std::string deep = std::string(200000, '[') + std::string(200000, ']');
    EXPECT_EQ(problems(deep), (std::vector<std::string>{"1 error: not valid JSON here"}));
    // Millions of values are refused before any per-value bookkeeping.
    std::string many = "{\"IntegrityRules\": [";
    for (int i = 0; i < 1100000; ++i) many += "0,";
    many += "0]}";
    const std::vector<std::string> shown = problems(many);
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_NE(shown[0].find("too many values to check"), std::string::npos) << shown[0];
}

namespace {

// The names in the rows of the Markdown table headed by header: kind -> names in backquotes.
std::map<std::string, std::set<std::string>> referenceTable(const std::string& text, const std::string& header) {
    std::map<std::string, std::set<std::string>> rows;
    size_t at = text.find(header);
    if (at == std::string::npos) return rows;
    std::istringstream lines(text.substr(at));
    std::string line;
    std::getline(lines, line);  // the header
    std::getline(lines, line);  // its rule
    while (std::getline(lines, line) && startsWith(line, "|")) {
        const size_t second = line.find('|', 1);
        std::string kind = line.substr(1, second - 1);
        kind.erase(std::remove(kind.begin(), kind.end(), ' '), kind.end());
        std::set<std::string>& names = rows[kind];
        for (size_t open = line.find('`', second); open != std::string::npos; open = line.find('`', open)) {
            const size_t close = line.find('`', open + 1);
            if (close == std::string::npos) break;
            names.insert(line.substr(open + 1, close - open - 1));
            open = close + 1;
        }
    }
    return rows;
}

}  // namespace

TEST(HostRules, TheReferenceListsExactlyTheNamesTheCheckerKnows) {
    const std::string markdown = readText(QVIM_SOURCE_DIR "/docs/rules.md");
    const std::string manual = readText(QVIM_SOURCE_DIR "/docs/qvim-rules.5.in");
    ASSERT_FALSE(markdown.empty());
    ASSERT_FALSE(manual.empty());
    const auto attributes = referenceTable(markdown, "| Kind | Attribute names |");
    auto conditions = referenceTable(markdown, "| Kind | Condition names |");  // "none" has no names
    const std::string section = manual.substr(manual.find(".SH ATTRIBUTES"));
    for (int value = ENTITY_FILE; value < ENTITY_UNKNOWN; ++value) {
        const auto kind = static_cast<entity_type>(value);
        SCOPED_TRACE(kindName(kind));
        const std::vector<std::string>& known = kindAttributes(kind);
        EXPECT_EQ(attributes.count(kindName(kind)) ? attributes.at(kindName(kind)) : std::set<std::string>{},
                  std::set<std::string>(known.begin(), known.end()));
        EXPECT_EQ(conditions[kindName(kind)],
                  std::set<std::string>(kindConditions(kind).begin(), kindConditions(kind).end()));
        // The manual's list of the kind, on the line after its name.
        const size_t at = section.find("\n" + std::string(kindName(kind)) + "\n");
        ASSERT_NE(at, std::string::npos);
        std::string listed = section.substr(at + strlen(kindName(kind)) + 2);
        listed = listed.substr(0, listed.find('\n'));
        std::string expected;
        for (const std::string& name : known) expected += (expected.empty() ? "" : ", ") + name;
        EXPECT_EQ(listed, expected);
    }
}

// ---- Scope and walk ---------------------------------------------------------------------

TEST(HostWalk, ScopeLeadsToBasesAndCoversWhatLiesBelowThem) {
    const Scope scope({"/etc/ssh/", "/var/log/app", "/etc/"});
    EXPECT_TRUE(scope.mayEnter("/"));
    EXPECT_TRUE(scope.mayEnter("/var"));
    EXPECT_TRUE(scope.mayEnter("/var/log/app1"));
    EXPECT_FALSE(scope.mayEnter("/var/lib"));
    EXPECT_FALSE(scope.mayEnter("/etcetera"));
    EXPECT_TRUE(scope.covers("/etc/hosts"));
    EXPECT_TRUE(scope.covers("/var/log/app.log"));
    EXPECT_FALSE(scope.covers("/var/log/syslog"));
    EXPECT_EQ(scope.roots(), (std::vector<std::string>{"/etc", "/var/log"}));
    EXPECT_EQ(Scope({"/", "/etc/"}).roots(), (std::vector<std::string>{"/"}));
    EXPECT_TRUE(isPseudoFileSystemPath("/proc/1"));
    EXPECT_FALSE(isPseudoFileSystemPath("/process"));
}

TEST(HostWalk, HandsOnWhatTheScopeAndTheFolderTestAllow) {
    const std::string root = absolute("tree");
    makeFolders(root + "/a/sub");
    makeFolders(root + "/b");
    writeText(root + "/a/x.txt", "x");
    writeText(root + "/a/sub/y.txt", "y");
    writeText(root + "/b/z.txt", "z");
    ASSERT_EQ(symlink("a", (root + "/a/link").c_str()), 0);
    ASSERT_EQ(mkfifo((root + "/a/fifo").c_str(), 0600), 0);

    const Scope scope({root + "/a/"});
    std::vector<std::string> asked;
    auto walk = [&](bool allEntries, bool enterSub) {
        std::vector<std::string> seen;
        WalkHandlers handlers;
        handlers.enterFolder = [&](const std::string& folder) {
            asked.push_back(folder);
            return enterSub || folder != root + "/a/sub";
        };
        handlers.entry = [&](const WalkEntry& entry) {
            seen.push_back(entry.path.substr(root.size()) + (S_ISDIR(entry.st.st_mode) ? "/" : ""));
        };
        Walker(scope, allEntries, handlers).walk(root);
        std::sort(seen.begin(), seen.end());
        return seen;
    };
    EXPECT_EQ(walk(false, true), (std::vector<std::string>{"/a/sub/y.txt", "/a/x.txt"}));
    // Folders outside the scope are pruned before the engine is even asked.
    EXPECT_EQ(std::count(asked.begin(), asked.end(), root + "/b"), 0);
    EXPECT_EQ(walk(false, false), (std::vector<std::string>{"/a/x.txt"}));
    EXPECT_EQ(walk(true, true), (std::vector<std::string>{"/a/fifo", "/a/link", "/a/sub/", "/a/sub/y.txt", "/a/x.txt"}));
}

// ---- Entities and digests -------------------------------------------------------------

TEST(HostEntities, RegularFilesCarryTheirAttributesAndTheDigestsTheHasherMakes) {
    writeText("abc.txt", "abc");
    ASSERT_EQ(chmod("abc.txt", 02640), 0);
    struct stat st;
    ASSERT_EQ(stat("abc.txt", &st), 0);
    Hasher hasher(true), withoutMd5(false);
    FsEntity entity, plain;
    std::string problem;
    ASSERT_EQ(collectRegularFile(absolute("abc.txt"), withoutMd5, plain, problem), Outcome::Ok);
    ASSERT_EQ(collectRegularFile(absolute("abc.txt"), hasher, entity, problem), Outcome::Ok);
    EXPECT_EQ(hexText(entity.digests.sha256, 32), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(hexText(entity.digests.sha1, 20), "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(hexText(entity.digests.md5, 16), "900150983cd24fb0d6963f7d28e17f72");
    // Reading leaves the access time alone, also for the next reader.
    EXPECT_EQ(entity.lastAccessed, static_cast<uint64_t>(st.st_atim.tv_sec) * 1000 + st.st_atim.tv_nsec / 1000000);

    // The record carries what was collected and leaves out what was not computed.
    im_wrapper_event_s record;
    entity.toRecord(record, QVIM_EVENT_CHANGED, false);
    EXPECT_STREQ(record.permissions, "02640");
    EXPECT_EQ(std::string(record.owner) + ":" + record.userGroup, std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid));
    EXPECT_EQ(record.size, 3u);
    EXPECT_EQ(record.inodeNumber, st.st_ino);
    EXPECT_EQ(record.deviceNumber, st.st_dev);
    EXPECT_EQ(record.md5, entity.digests.md5);
    EXPECT_EQ(record.symLinkPath, nullptr);
    plain.toRecord(record, QVIM_EVENT_CHANGED, false);
    EXPECT_EQ(record.md5, nullptr);
    EXPECT_EQ(record.sha256, plain.digests.sha256);
}

TEST(HostEntities, OtherEntriesAreRecordedAsTheEnginesOwnWalkRecordsThem) {
    makeFolders("d");
    ASSERT_EQ(chmod("d", 01777), 0);
    writeText("target.txt", "t");
    ASSERT_EQ(chmod("target.txt", 0644), 0);
    ASSERT_EQ(symlink("target.txt", "to-file"), 0);
    ASSERT_EQ(symlink("d", "to-dir"), 0);
    ASSERT_EQ(symlink("nowhere", "dangling"), 0);
    Hasher hasher;
    FsEntity entity;
    std::string problem;
    EXPECT_EQ(collectRegularFile(absolute("to-file"), hasher, entity, problem), Outcome::Skipped);
    EXPECT_EQ(collectRegularFile(absolute("d"), hasher, entity, problem), Outcome::Skipped);
    EXPECT_EQ(collectRegularFile(absolute("gone.txt"), hasher, entity, problem), Outcome::Vanished);
    EXPECT_EQ(collectEntry(absolute("gone.txt"), hasher, entity, problem), Outcome::Vanished);

    // Kind, permissions, size, link target and digests, as the record carries them.
    const auto recorded = [&](const char* name) {
        if (collectEntry(absolute(name), hasher, entity, problem) != Outcome::Ok) return problem;
        im_wrapper_event_s record;
        entity.toRecord(record, QVIM_EVENT_CHANGED, false);
        return std::string(record.entityType) + " " + record.permissions + " " + std::to_string(record.size) + " " +
               (record.symLinkPath != nullptr ? record.symLinkPath : "-") + (record.sha256 != nullptr ? " hashed" : "");
    };
    EXPECT_EQ(recorded("d"), "Directory 01777 0 -");
    EXPECT_EQ(recorded("to-file"), "File 0120777 10 target.txt");
    EXPECT_EQ(recorded("to-dir"), "Directory 0120777 1 d");
    EXPECT_EQ(recorded("dangling"), "File 0120777 7 nowhere");
    EXPECT_EQ(recorded("target.txt"), "File 0644 1 - hashed");
}

// Each name of a hard-linked file gets the digests of its content, read once;
// a write between two names' visits is never hidden behind the first name's
// digests, even with the size and modification time put back.
TEST(HostEntities, HardLinksAreReadOncePerInodeUntilTheInodeChanges) {
    writeText("one", "first content");
    ASSERT_EQ(link("one", "two"), 0);
    ASSERT_EQ(link("one", "three"), 0);
    writeText("single", "first content");
    LinkedDigests linked;
    Hasher hasher(false, HashLimits(), &linked);
    FsEntity entity;
    std::string problem;
    const auto digestOf = [&](const char* name) {
        if (collectRegularFile(absolute(name), hasher, entity, problem) != Outcome::Ok || !entity.hasDigests)
            return "not hashed: " + problem;
        return hexText(entity.digests.sha256, 32);
    };
    EXPECT_EQ(digestOf("one"), sha256Hex("first content"));
    EXPECT_EQ(digestOf("two"), sha256Hex("first content"));
    EXPECT_EQ(entity.path, absolute("two"));
    EXPECT_EQ(hasher.filesRead(), 1u);
    // A file with one name is read at every visit: it never takes up memory.
    digestOf("single");
    digestOf("single");
    EXPECT_EQ(hasher.filesRead(), 3u);

    struct stat before;
    ASSERT_EQ(stat("one", &before), 0);
    const int fd = ::open("one", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(pwrite(fd, "other", 5, 0), 5);
    ::close(fd);
    // The status-change time moves with the clock's tick: touched until it shows.
    const struct timespec kept[2] = {before.st_atim, before.st_mtim};
    struct stat after = before;
    for (int attempt = 0; attempt < 1000 && after.st_ctim.tv_sec == before.st_ctim.tv_sec &&
                          after.st_ctim.tv_nsec == before.st_ctim.tv_nsec;
         ++attempt) {
        if (attempt > 0) usleep(1000);
        ASSERT_EQ(utimensat(AT_FDCWD, "one", kept, 0), 0);
        ASSERT_EQ(stat("one", &after), 0);
    }
    ASSERT_EQ(after.st_size, before.st_size);
    ASSERT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
    EXPECT_EQ(digestOf("three"), sha256Hex("other content"));
    EXPECT_EQ(digestOf("one"), sha256Hex("other content"));
    EXPECT_EQ(hasher.filesRead(), 4u);
}

// The size from the file's status saves the read that would only find the
// end, but a file that grew since, or one whose status understates it (as in
// /proc), is still hashed whole.
TEST(HostEntities, AKnownSizeNeverCutsTheHashingShort) {
    const std::string content(300000, 'q');  // more than one read buffer
    writeText("whole.bin", content);
    const std::string expected = sha256Hex(content);
    const int fd = ::open("whole.bin", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    Hasher hasher(false);
    for (const uint64_t known : {uint64_t{300000}, uint64_t{0}, uint64_t{37856}, uint64_t{299999}, uint64_t{400000}}) {
        ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
        Digests digests;
        int error = 0;
        EXPECT_EQ(hasher.digest(fd, digests, error, &known), DigestResult::Done) << known;
        EXPECT_EQ(hexText(digests.sha256, 32), expected) << "known size " << known;
    }
    ::close(fd);
}

TEST(HostEntities, HashingEndsOnAStopAndOnAFileThatGrowsBeyondTheLimit) {
    writeText("grows.bin", std::string(3 << 20, 'x'));
    const int fd = ::open("grows.bin", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    Digests digests;
    int error = 0;
    // A stop asked for while a file is read ends it before the next read.
    int reads = 0;
    Hasher stopped(false, HashLimits{0, [&reads] { return ++reads > 2; }});
    EXPECT_EQ(stopped.digest(fd, digests, error), DigestResult::Stopped);
    EXPECT_EQ(reads, 3);

    // The size seen before reading binds nobody: the file is made huge while
    // the reading is under way.
    ASSERT_EQ(lseek(fd, 0, SEEK_SET), 0);
    Hasher limited(false, HashLimits{1 << 20, [] {
                                         EXPECT_EQ(truncate("grows.bin", off_t{200} << 30), 0);
                                         return false;
                                     }});
    EXPECT_EQ(limited.digest(fd, digests, error), DigestResult::TooLarge);
    ::close(fd);

    // Collected, such a file keeps its attributes and says why it has no digests.
    FsEntity entity;
    std::string problem;
    EXPECT_EQ(collectRegularFile(absolute("grows.bin"), limited, entity, problem), Outcome::Unhashed);
    EXPECT_EQ(problem, "not hashed: larger than 1 MiB");
    EXPECT_EQ(entity.size, uint64_t{200} << 30);
    EXPECT_FALSE(entity.hasDigests);
}

TEST(HostEntities, SizesReadAndPrintInBinaryUnits) {
    const struct {
        const char* text;
        uint64_t bytes;
    } sizes[] = {{"0", 0}, {"1G", 1ull << 30}, {"300m", 300ull << 20}, {"64KiB", 64ull << 10}, {"2TB", 2ull << 40},
                 {"12345", 12345}};
    for (const auto& size : sizes) {
        uint64_t bytes = 1;
        EXPECT_TRUE(parseSize(size.text, bytes)) << size.text;
        EXPECT_EQ(bytes, size.bytes) << size.text;
    }
    for (const char* bad : {"", "G", "1X", "1GG", "-1", "20000000000T", "99999999999999999999"}) {
        uint64_t bytes = 0;
        EXPECT_FALSE(parseSize(bad, bytes)) << bad;
    }
    EXPECT_EQ(sizeText(1ull << 30), "1 GiB");
    EXPECT_EQ(sizeText(1536ull << 20), "1536 MiB");
    EXPECT_EQ(sizeText(1000), "1000 bytes");
}

// ---- dpkg -----------------------------------------------------------------------------------

TEST(HostDpkg, InstalledPackagesBecomeSoftwareRecords) {
    const std::string status =
        "Package: tool\n"
        "Status: install ok installed\n"
        "Installed-Size: 12\n"
        "Maintainer: Pat Doe <pat@example.org>\n"
        "Architecture: amd64\n"
        "Source: tool-src (1.0-1)\n"
        "Version: 1.0-1+b1\n"
        "Description: a tool\n"
        " that does things\n"
        " .\n"
        "\n"
        "Package: removed\n"
        "Status: deinstall ok config-files\n"
        "Version: 2.0\n"
        "\n"
        "Package: libz\n"
        "Status: hold ok installed\n"
        "Multi-Arch: same\n"
        "Architecture: i386\n"
        "Version: 1:1.2.13\n";
    makeFolders("admin/info");
    writeText("admin/status", status);
    writeText("admin/info/tool.list", "/usr/bin/tool\n");
    writeText("admin/info/libz:i386.list", "/usr/lib/libz\n");
    const struct timespec times[2] = {{1600000000, 0}, {1600000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, "admin/info/tool.list", times, 0), 0);
    ASSERT_EQ(utimensat(AT_FDCWD, "admin/info/libz:i386.list", times, 0), 0);

    std::vector<DpkgPackage> packages;
    std::string error;
    ASSERT_TRUE(readDpkgPackages("admin", packages, error)) << error;
    ASSERT_EQ(packages.size(), 2u);
    // The record of each package, its members in one line.
    const auto recorded = [](const DpkgPackage& package) {
        im_wrapper_event_s record;
        package.toRecord(record, QVIM_EVENT_CHANGED);
        std::string row = record.entityType;
        for (const char* text : {record.name, record.newKey, record.displayName, record.version, record.manufacturer,
                                 record.parent, record.installedDate})
            row += std::string("|") + text;
        return row + "|" + std::to_string(record.size);
    };
    EXPECT_EQ(recorded(packages[0]), "InstalledSoftware|tool-1.0-1+b1|tool-1.0-1+b1|tool|1.0-1+b1|Pat Doe "
                                     "<pat@example.org>|tool-src|" + localTimeText(1600000000) + "|12288");
    // A multi-arch package is dated by its "name:arch" list.
    EXPECT_EQ(recorded(packages[1]), "InstalledSoftware|libz:i386-1:1.2.13|libz:i386-1:1.2.13|libz:i386|1:1.2.13||libz|" +
                                         localTimeText(1600000000) + "|0");

    EXPECT_FALSE(readDpkgPackages("no-admin", packages, error));
    EXPECT_NE(error.find("no-admin/status"), std::string::npos);
}

// ---- Event output ---------------------------------------------------------------------------

namespace {

const char kUpdate[] =
    R"({"events":[{"integrityEventId":4,"entityType":"File","integrityRuleName":"etc","operationType":"update",)"
    R"("processName":"","user":"","key":"/etc/app.conf",)"
    R"("wasAttributes":[{"name":"owner","value":"0","friendlyValue":"root"},)"
    R"({"name":"permissions","value":"u::rw-\ng::r--\no::r--","friendlyValue":"user::rw-\ngroup::r--\nother::r--"},)"
    R"({"name":"sha256","value":"AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"},)"
    R"({"name":"symLinkPath","value":"old"}],)"
    R"("isAttributes":[{"name":"lastModified","value":"1600000000123"},{"name":"owner","value":"0","friendlyValue":"root"},)"
    R"({"name":"permissions","value":"u::rw-\ng::---\no::---","friendlyValue":"user::rw-\ngroup::---\nother::---"},)"
    R"({"name":"sha256","value":"BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBB"}]},)"
    R"({"entityType":"InstalledSoftware","operationType":"create","key":"tool-1.0","isAttributes":[]}]})";

}  // namespace

TEST(HostOutput, TableShowsEachChangedAttributeAsOldToNewInFriendlyForm) {
    // Times print in ISO 8601 with the offset of the local zone, here 5:30 east of UTC.
    setenv("TZ", "QVT-05:30", 1);
    tzset();
    JsonPtr document(cJSON_Parse(kUpdate));
    const cJSON* event = cJSON_GetArrayItem(cJSON_GetObjectItem(document.get(), "events"), 0);
    std::vector<std::string> shown;
    for (const AttributeChange& change : attributeChanges(event))
        shown.push_back(change.name + ": " + change.before + " -> " + change.after);
    EXPECT_EQ(shown, (std::vector<std::string>{
                         "lastModified:  -> 2020-09-13T17:56:40.123+05:30",
                         "permissions: rw-r--r-- -> rw-------",
                         "sha256: AAAAAAAAAAAA... -> BBBBBBBBBBBB...", "symLinkPath: old -> "}));

    const std::string text = formatEvent(event);
    EXPECT_EQ(text.substr(0, text.find('\n')), "update  File      /etc/app.conf  [etc]");
    EXPECT_NE(text.find("symLinkPath: old -> (none)"), std::string::npos);
    EXPECT_EQ(text.find("owner"), std::string::npos);  // unchanged attributes are not listed
    // -v shows digests whole, as JSON does.
    EXPECT_NE(formatEvent(event, true).find("sha256: " + std::string(64, 'A') + " -> " + std::string(64, 'B')),
              std::string::npos);
}

namespace {

struct Printed {
    std::string out, err;
    int status;
};

// One report through the printer: header, the events of document, footer.
Printed report(bool json, int verbosity, const char* document) {
    char *out = nullptr, *err = nullptr;
    size_t outSize = 0, errSize = 0;
    FILE* outStream = open_memstream(&out, &outSize);
    FILE* errStream = open_memstream(&err, &errSize);
    int status;
    {
        Console console(errStream, verbosity < 0, false);
        EventPrinter printer(outStream, json);
        RunReport frame = startReport("check", "/var/lib/qvim/im.db");
        frame.digest = std::string(64, 'c');
        printer.reportHeader(frame, verbosity, console);
        printer.printDocument(document);
        printer.printDocument("not json");
        printer.printDocument(nullptr);
        printer.reportFooter(frame, verbosity, console);
        status = printer.changeStatus();
    }
    fclose(outStream);
    fclose(errStream);
    Printed printed{std::string(out, outSize), std::string(err, errSize), status};
    free(out);
    free(err);
    return printed;
}

}  // namespace

TEST(HostOutput, ReportsFrameTheTableKeepJsonOutputToEventsAndStaySilentWhenQuiet) {
    const std::string digest(64, 'c');
    // The table: header, events, counts by operation; the digest shortened.
    Printed table = report(false, 0, kUpdate);
    EXPECT_EQ(table.status, kExitAdded | kExitChanged);
    EXPECT_EQ(table.out.rfind("Command:  qvim check on ", 0), 0u) << table.out;
    EXPECT_NE(table.out.find("Database: /var/lib/qvim/im.db\nBaseline: sha256 cccccccccccc...\n\nCHANGE  KIND      KEY\n"),
              std::string::npos) << table.out;
    EXPECT_NE(table.out.find("create  Package   tool-1.0\n\nChanges:  1 create, 1 update\nFinished: "),
              std::string::npos) << table.out;
    EXPECT_EQ(table.err, "");

    // JSON: nothing but events on the output; the frame, with the full digest, on
    // standard error and only under -v.
    for (int verbosity : {0, 1}) {
        Printed json = report(true, verbosity, kUpdate);
        const std::vector<std::string> printed = lines(json.out);
        ASSERT_EQ(printed.size(), 2u) << json.out;
        for (const std::string& line : printed) EXPECT_TRUE(JsonPtr(cJSON_Parse(line.c_str()))) << line;
        EXPECT_EQ(json.err.find("Baseline: sha256 " + digest + "\n") != std::string::npos, verbosity > 0) << json.err;
    }

    // -q: only the changes, and nothing at all when there are none.
    Printed quiet = report(false, -1, kUpdate);
    EXPECT_EQ(quiet.out.rfind("CHANGE  KIND      KEY\nupdate  File", 0), 0u) << quiet.out;
    EXPECT_EQ(quiet.out.find("Changes:"), std::string::npos) << quiet.out;
    quiet = report(false, -1, "{\"events\":[]}");
    EXPECT_EQ(quiet.out + quiet.err, "");
    EXPECT_EQ(quiet.status, kExitOk);

    // Renames count as changes; a removal has its own bit.
    const Printed moved = report(true, 0,
                                 R"({"events":[{"operationType":"rename","key":"a -> b"},)"
                                 R"({"operationType":"delete","key":"c"}]})");
    EXPECT_EQ(moved.status, kExitRemoved | kExitChanged);
}

// ---- Hashing pipeline ---------------------------------------------------------------------

TEST(HostPipeline, EveryPathIsHandledOnceThroughASmallQueue) {
    // The walker sleeps while the queue is full and is woken only once half of
    // it is free: no size may leave it asleep.
    for (const size_t capacity : {size_t{1}, size_t{2}, size_t{7}, size_t{64}}) {
        for (const unsigned workers : {1u, 3u}) {
            SCOPED_TRACE("capacity " + std::to_string(capacity) + ", workers " + std::to_string(workers));
            std::mutex mutex;
            std::multiset<std::string> handled;
            {
                HashPipeline pipeline(workers, capacity, [&](const WalkEntry& entry, Hasher&) {
                    std::lock_guard<std::mutex> lock(mutex);
                    handled.insert(entry.path);
                });
                for (int i = 0; i < 500; ++i) {
                    WalkEntry entry;
                    entry.path = "p" + std::to_string(i);
                    pipeline.submit(entry);
                }
                pipeline.finish();
                EXPECT_EQ(pipeline.handled(), 500u);
            }
            EXPECT_EQ(handled.size(), 500u);
            EXPECT_EQ(std::set<std::string>(handled.begin(), handled.end()).size(), 500u);
        }
    }
}
