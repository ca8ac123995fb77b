// Reading the JSON the engine hands out: owned documents and text members.
#pragma once

#include <cjson/cJSON.h>

#include <memory>
#include <string>

namespace qvimcli {

struct JsonDeleter {
    void operator()(cJSON* item) const { cJSON_Delete(item); }
};
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;

// Text member of a JSON object, "" when absent or not a string.
std::string jsonText(const cJSON* object, const char* name);

// The exact bytes of a text member of an event or exported row. The engine
// writes each ill-formed UTF-8 sequence as U+FFFD and then gives the original
// bytes in hexadecimal under the member's name with "Hex" appended; only
// those tell two such names apart.
std::string exactJsonText(const cJSON* object, const char* name);

}  // namespace qvimcli
