// The process-wide logger: masks, truncation, line format, file or callback.
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "QVIMLogger.h"
#include "TestSupport.h"

using namespace qvim_test;

namespace {
std::vector<std::string> fileLines() {
    std::vector<std::string> lines;
    std::istringstream in(readFile("LogFile.log"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}
}  // namespace

TEST(Logger, NothingIsLoggedBeforeInitialisation) {
    LOG_ERROR(QVIM_SRC_QVIM, "test", "lost %d", 1);
    EXPECT_FALSE(QVIMLoggerSL::getInstance().initialized());
    EXPECT_EQ(access("LogFile.log", F_OK), -1);
}

TEST(Logger, CallbackReceivesMessagesFilteredByTheGivenMaskAndCut) {
    im_engine_init_s init{};
    init.logCallback = captureLog;
    init.logLevel = QVIM_LOG_TRACE | QVIM_LOG_INFO;
    ASSERT_EQ(engine_start(&init), QVIM_OK);
    clearCapturedLog();
    LOG_TRACE(QVIM_SRC_DAL, "fn", "trace %s", "a");
    LOG_INFO(QVIM_SRC_DAL, "fn", "info");
    LOG_WARNING(QVIM_SRC_DAL, "fn", "warning");
    LOG_ERROR(QVIM_SRC_DAL, "fn", "error");
    auto lines = capturedLog();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].message, "trace a");
    EXPECT_EQ(lines[0].source, "src/QVIM/QVIMDataAccessLayer");
    EXPECT_EQ(lines[0].function, "fn");
    EXPECT_EQ(lines[1].level, QVIM_LOG_INFO);

    // Long messages are cut to 1023 characters.
    clearCapturedLog();
    const std::string text(2000, 'x');
    LOG_INFO(QVIM_SRC_QVIM, "fn", "%s", text.c_str());
    lines = capturedLog();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].message, text.substr(0, 1023));

    // A second start keeps the callback and only warns (if warnings pass).
    ASSERT_EQ(set_loglevel(15), QVIM_OK);
    ASSERT_EQ(engine_stop(), QVIM_OK);
    init.logCallback = nullptr;
    ASSERT_EQ(engine_start(&init), QVIM_OK);
    EXPECT_TRUE(logged(QVIM_LOG_WARNING, "QVIM Logging already initialized!"));
    EXPECT_EQ(access("LogFile.log", F_OK), -1);
    engine_stop();
}

TEST(Logger, FileLinesHaveTheDocumentedFormatAndOwnerOnlyMode) {
    im_engine_init_s init{};
    init.logLevel = 0;  // ignored for file logging: every level is on
    ASSERT_EQ(engine_start(&init), QVIM_OK);
    set_integrityscan(true);
    auto lines = fileLines();
    const std::regex format(R"(\d{4} \d{2} \d{2} \d{2}:\d{2}:\d{2} INFO src/QVIM/QVIM: \d+ set_integrityscan : )"
                            R"(set_integrityscan\(true\) called)");
    bool found = false;
    for (const auto& line : lines) found = found || std::regex_match(line, format);
    EXPECT_TRUE(found) << readFile("LogFile.log");
    struct stat info;
    ASSERT_EQ(stat("LogFile.log", &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // Only ERROR after set_loglevel(8); nothing after set_loglevel(0).
    ASSERT_EQ(set_loglevel(QVIM_LOG_ERROR), QVIM_OK);
    const size_t before = fileLines().size();
    LOG_WARNING(QVIM_SRC_QVIM, "fn", "masked warning");
    LOG_ERROR(QVIM_SRC_QVIM, "fn", "visible error");
    lines = fileLines();
    ASSERT_EQ(lines.size(), before + 1);
    EXPECT_NE(lines.back().find("ERROR src/QVIM/QVIM: "), std::string::npos);
    EXPECT_NE(lines.back().find(" fn : visible error"), std::string::npos);
    ASSERT_EQ(set_loglevel(0), QVIM_OK);
    LOG_ERROR(QVIM_SRC_QVIM, "fn", "silenced");
    EXPECT_EQ(fileLines().size(), before + 1);

    // A missing source path or function name cuts the line at that point.
    set_loglevel(15);
    QVIMLoggerSL::getInstance().log(QVIM_LOG_ERROR, nullptr, "src/QVIM/QVIM", 7, "gone");
    EXPECT_NE(fileLines().back().find("ERROR src/QVIM/QVIM: 7 "), std::string::npos);
    EXPECT_EQ(fileLines().back().find("gone"), std::string::npos);
    QVIMLoggerSL::getInstance().log(QVIM_LOG_ERROR, "fn", nullptr, 7, "gone");
    EXPECT_EQ(fileLines().back().substr(fileLines().back().size() - 7), " ERROR ");
    QVIMLoggerSL::getInstance().log(32, "fn", "s", 1, "odd level");
    EXPECT_EQ(fileLines().size(), before + 3);  // level 32 is not in the mask
    set_loglevel(0xFFFFFFFFu);
    QVIMLoggerSL::getInstance().log(32, "fn", "s", 1, "odd level");
    EXPECT_NE(fileLines().back().find(" UNKNOWN s: 1 fn : odd level"), std::string::npos);
    engine_stop();
}

// The log is never appended to another file through a link at its name, and
// never waits on a FIFO there.
TEST(Logger, TheLogFileIsNeverALinkOrAFifo) {
    writeFile("victim", "kept\n");
    ASSERT_EQ(symlink("victim", "LogFile.log"), 0);
    im_engine_init_s init{};
    ASSERT_EQ(engine_start(&init), QVIM_OK);
    LOG_ERROR(QVIM_SRC_QVIM, "fn", "lost");
    engine_stop();
    EXPECT_EQ(readFile("victim"), "kept\n");
}

TEST(Logger, AFifoInPlaceOfTheLogFileDoesNotHoldTheStart) {
    ASSERT_EQ(mkfifo("LogFile.log", 0600), 0);
    im_engine_init_s init{};
    ASSERT_EQ(engine_start(&init), QVIM_OK);
    LOG_ERROR(QVIM_SRC_QVIM, "fn", "lost");
    engine_stop();
}
