// Owning handles for cJSON trees and printed texts.
#pragma once

#include <cjson/cJSON.h>

#include <memory>

struct CJsonDeleter {
    void operator()(cJSON* item) const { cJSON_Delete(item); }
};
using CJsonPtr = std::unique_ptr<cJSON, CJsonDeleter>;

struct CJsonTextDeleter {
    void operator()(char* text) const { cJSON_free(text); }
};
using CJsonText = std::unique_ptr<char, CJsonTextDeleter>;
