#include "TestSupport.h"

#include <fstream>
#include <mutex>
#include <sstream>

namespace qvim_test {

namespace {
std::string g_testDirectory;
std::mutex g_logMutex;
std::vector<LogLine> g_log;
}  // namespace

void setTestDirectory(const std::string& path) { g_testDirectory = path; }
const std::string& testDirectory() { return g_testDirectory; }

void captureLog(uint32_t level, uint32_t line, const char* function, const char* source, const char* message,
                uint32_t length) {
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_log.push_back({level, line, function != nullptr ? function : "", source != nullptr ? source : "",
                     std::string(message, length)});
}

std::vector<LogLine> capturedLog() {
    std::lock_guard<std::mutex> lock(g_logMutex);
    return g_log;
}

void clearCapturedLog() {
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_log.clear();
}

bool logged(uint32_t level, const std::string& message) {
    std::lock_guard<std::mutex> lock(g_logMutex);
    for (const LogLine& line : g_log)
        if (line.level == level && line.message == message) return true;
    return false;
}

bool loggedContaining(const std::string& text) {
    std::lock_guard<std::mutex> lock(g_logMutex);
    for (const LogLine& line : g_log)
        if (line.message.find(text) != std::string::npos) return true;
    return false;
}

qvim_status startEngine(const std::string& dbPath) {
    im_engine_init_s init{};
    init.dbPath = dbPath.empty() ? nullptr : dbPath.c_str();
    init.logLevel = QVIM_LOG_TRACE | QVIM_LOG_INFO | QVIM_LOG_WARNING | QVIM_LOG_ERROR;
    init.logCallback = captureLog;
    return engine_start(&init);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

Json parseJson(const char* text) { return Json(text != nullptr ? cJSON_Parse(text) : nullptr); }

std::string setting(const std::string& name) {
    char* value = nullptr;
    if (get_im_state(name.c_str(), &value) != QVIM_OK || value == nullptr) return "<missing>";
    std::string result = value;
    free(value);
    return result;
}

}  // namespace qvim_test
