// Helpers shared by the tests: captured log lines, engine start and stop,
// files and JSON.
#pragma once

#include <cjson/cJSON.h>

#include <memory>
#include <string>
#include <vector>

#include "qvim.h"

namespace qvim_test {

struct LogLine {
    uint32_t level;
    uint32_t line;
    std::string function;
    std::string source;
    std::string message;
};

void setTestDirectory(const std::string& path);
// The temporary folder this test process works in.
const std::string& testDirectory();

// Log callback that records every message; install it with startEngine.
void captureLog(uint32_t level, uint32_t line, const char* function, const char* source, const char* message,
                uint32_t length);
std::vector<LogLine> capturedLog();
void clearCapturedLog();
// True when some captured line at this level holds the text exactly.
bool logged(uint32_t level, const std::string& message);
// True when some captured line contains the text.
bool loggedContaining(const std::string& text);

// Starts the current engine on dbPath ("" for the default) with the capturing
// callback and all levels enabled.
qvim_status startEngine(const std::string& dbPath = "test.db");

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& text);

struct JsonDeleter {
    void operator()(cJSON* item) const { cJSON_Delete(item); }
};
using Json = std::unique_ptr<cJSON, JsonDeleter>;
Json parseJson(const char* text);

// Reads a setting through get_im_state; "<missing>" when it cannot be read.
std::string setting(const std::string& name);

}  // namespace qvim_test
