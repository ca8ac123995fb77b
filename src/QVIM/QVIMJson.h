// Owning handles for cJSON trees and printed texts, and the string node that
// every text of the library's JSON documents goes through.
#pragma once

#include <cjson/cJSON.h>

#include <memory>
#include <string>

#include "QVIMUtilPlatformIndependent.h"

struct CJsonDeleter {
    void operator()(cJSON* item) const { cJSON_Delete(item); }
};
using CJsonPtr = std::unique_ptr<cJSON, CJsonDeleter>;

struct CJsonTextDeleter {
    void operator()(char* text) const { cJSON_free(text); }
};
using CJsonText = std::unique_ptr<char, CJsonTextDeleter>;

// A string node holding text as well-formed UTF-8 (see wellFormedUtf8): the
// JSON library copies bytes as they are, and one stray byte in a file name
// would make the whole document unreadable to strict parsers.
inline cJSON* createJsonString(const std::string& text) {
    std::string repaired;
    return cJSON_CreateString(wellFormedUtf8(text, repaired).c_str());
}

// Two names that differ only in ill-formed bytes print alike once repaired.
// So wherever a text needed the repair, its object gets one more member,
// named after the text's member with this suffix, holding the exact bytes in
// upper-case hexadecimal; well-formed texts get none.
inline constexpr char kExactBytesSuffix[] = "Hex";

// Adds text under name as well-formed UTF-8, and its exact bytes when it
// was not.
inline void addJsonText(cJSON* object, const char* name, const std::string& text) {
    std::string repaired;
    const std::string& valid = wellFormedUtf8(text, repaired);
    cJSON_AddItemToObject(object, name, cJSON_CreateString(valid.c_str()));
    if (&valid != &text)
        cJSON_AddItemToObject(object, (std::string(name) + kExactBytesSuffix).c_str(),
                              cJSON_CreateString(Blob::getEncoding(text.data(), text.size()).c_str()));
}
