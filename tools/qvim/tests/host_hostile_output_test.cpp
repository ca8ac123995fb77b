// Names chosen by someone else must not forge lines of the program's log or
// reach the terminal raw through the change table or messages.
#include <gtest/gtest.h>

#include <algorithm>

#include "HostTestSupport.h"
#include "Session.h"
#include "Output.h"
#include "Text.h"

using namespace qvimcli;
using namespace qvimhost_test;

namespace {

// The first control byte other than a line break, or npos.
size_t controlByte(const std::string& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if ((c < 0x20 && c != '\n') || c == 0x7F || (c == 0xC2 && i + 1 < text.size() &&
                                                     static_cast<unsigned char>(text[i + 1]) <= 0x9F))
            return i;
    }
    return std::string::npos;
}

using HostPrintable = HostTree;

}  // namespace

TEST_F(HostPrintable, ControlsAndForeignBytesAreWrittenOutAndEveryOtherNameStays) {
    EXPECT_EQ(printable("a\nb\rc\td\x1b[31me\x7f"), "a\\x0ab\\x0dc\\x09d\\x1b[31me\\x7f");
    EXPECT_EQ(printable("caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x94\x91"), "caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x94\x91");
    // C1 controls in UTF-8 form, stray, truncated and overlong bytes.
    EXPECT_EQ(printable("\xc2\x9b" "2J|\x9b|\xe6\x97|\xc0\xaf|\xed\xa0\x80"),
              "\\xc2\\x9b2J|\\x9b|\\xe6\\x97|\\xc0\\xaf|\\xed\\xa0\\x80");
    // Overrides that reorder what the terminal shows ("exe.txt" shown as "txt.exe").
    EXPECT_EQ(printable("a\xe2\x80\xaetxt.exe"), "a\\u202etxt.exe");
    // An escaped-looking name and an escaped name stay apart.
    EXPECT_NE(printable("a\\x0a"), printable("a\n"));
    EXPECT_EQ(printable("a\\b\nc", kKeepBackslash | kKeepLineBreaks), "a\\b\nc");
}

TEST_F(HostPrintable, TableAndPlainLinesCarryNoControlsFromNames) {
    const char* event =
        R"({"entityType":"File","operationType":"update","key":"/tmp/x\n\u001b]0;owned\u0007\u001b[2J",)"
        R"("integrityRuleName":"r\u001b[31m","processName":"p\r","user":"u\u009b",)"
        R"("wasAttributes":[{"name":"own\u001ber","value":"1","friendlyValue":"a\u001b[8m"}],)"
        R"("isAttributes":[{"name":"own\u001ber","value":"2","friendlyValue":"b"}]})";
    JsonPtr parsed(cJSON_Parse(event));
    ASSERT_TRUE(parsed);
    const std::string text = formatEvent(parsed.get());
    EXPECT_EQ(controlByte(text), std::string::npos) << text;
    // The event is one table line plus one line per changed attribute.
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_NE(text.find("/tmp/x\\x0a\\x1b]0;owned\\x07\\x1b[2J"), std::string::npos) << text;

    // Names that differ only in bytes that are not UTF-8 print apart, from the exact bytes.
    for (const char* hex : {"2F742F636166E9", "2F742F636166E8"}) {
        JsonPtr repaired(cJSON_Parse(
            (std::string(R"({"entityType":"File","operationType":"create","key":"/t/caf\ufffd","keyHex":")") + hex + "\"}")
                .c_str()));
        ASSERT_TRUE(repaired);
        const std::string shown = formatEvent(repaired.get());
        EXPECT_NE(shown.find(std::string("/t/caf\\x") + (hex[13] == '9' ? "e9" : "e8")), std::string::npos) << shown;
    }

    char* buffer = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&buffer, &size);
    ASSERT_NE(out, nullptr);
    {
        EventPrinter printer(out, false);
        printer.line("value: \x1b[2J\nsecond line");
        printer.rawLine(R"({"key":"\u001b"})");
        Console console(out, false, false);
        console.error("cannot read '/tmp/a\nqvim: forged\x1b[2J'");
    }
    fclose(out);
    const std::string printed(buffer, size);
    free(buffer);
    EXPECT_EQ(printed,
              "value: \\x1b[2J\nsecond line\n{\"key\":\"\\u001b\"}\nqvim: cannot read '/tmp/a\\x0aqvim: forged\\x1b[2J'\n");
}

TEST_F(HostPrintable, NamesCannotForgeLogLinesOrReachTheTerminalRaw) {
    ASSERT_EQ(qvim({"init", "--rules", "rules.json"}).status, 0);
    const std::string forged = "2026-01-01 00:00:00 ERROR QVIM.cpp:1 engine_start: forged";
    writeText(tree + "/a\n" + forged, "");
    writeText(tree + "/b\x1b]0;title\x07\x1b[2J", "");

    // -vv puts the engine's trace of every matched name into the log.
    const ProgramRun run = qvim({"check", "-vv"});
    EXPECT_EQ(run.status, kExitAdded | kExitChanged) << run.err;
    EXPECT_EQ(controlByte(run.out), std::string::npos) << run.out;
    EXPECT_EQ(controlByte(run.err), std::string::npos) << run.err;
    EXPECT_NE(run.out.find("/b\\x1b]0;title\\x07\\x1b[2J"), std::string::npos) << run.out;

    const std::string log = readText(absolute("state/qvim.log"));
    ASSERT_NE(log.find("a\\x0a" + forged), std::string::npos) << "the name never reached the log";
    EXPECT_EQ(log.find("\n" + forged), std::string::npos);
    EXPECT_EQ(log.find('\x1b'), std::string::npos);

    // With -vv the library's own lines on standard output go to the log too;
    // they quote rule bases (and keys of a migrated database).
    writeText("forging-rules.json", "{\"IntegrityRules\":[{\"id\":1,\"EntitySets\":[{\"entityType\":\"File\","
                                    "\"base\":\"" + tree + "/x\\n" + forged + "\"}]}]}");
    ASSERT_EQ(runQvim({"init", "--rules", "forging-rules.json", "--db", absolute("other/im.db"), "-vv"}).status, 0);
    const std::string traced = readText(absolute("other/qvim.log"));
    ASSERT_NE(traced.find(forged), std::string::npos) << "the rule base never reached the log";
    EXPECT_EQ(traced.find("\n" + forged), std::string::npos);
}

TEST_F(HostPrintable, ArgumentsReachStandardErrorEscaped) {
    const std::string forged = "\x1b]0;title\x07\x1b[2J\nqvim: forged";
    const std::string escaped = "\\x1b]0;title\\x07\\x1b[2J\\x0aqvim: forged";
    // Refused while parsing, before anything else is set up; and a file that is not there.
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"check", "--x" + forged}, escaped},
        {{"--" + forged + "=1", "check"}, escaped},
        {{"-" + forged}, "'-\\x1b'"},
        {{"c" + forged}, escaped},
        {{"init", "--threads", forged}, escaped},
        {{"init", "--rules", absolute("missing" + forged)}, escaped}};
    for (const auto& [args, shown] : cases) {
        const ProgramRun run = runQvim(args);
        EXPECT_NE(run.status, 0) << run.err;
        EXPECT_EQ(controlByte(run.err), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
        EXPECT_NE(run.err.find(shown), std::string::npos) << run.err;
    }
}
