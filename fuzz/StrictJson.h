// What a strict JSON reader demands of a text the library hands out: the
// whole text is one JSON value and every byte belongs to a well-formed UTF-8
// sequence. Shared by the fuzz targets and the robustness tests.
#pragma once

#include <cjson/cJSON.h>

#include <cstddef>
#include <cstdint>

namespace strict_json {

// Decodes each sequence and rejects overlong forms, surrogates and values
// above U+10FFFF.
inline bool wellFormedUtf8(const char* text, size_t size) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    size_t i = 0;
    while (i < size) {
        const unsigned char lead = bytes[i];
        if (lead < 0x80) {
            ++i;
            continue;
        }
        size_t length;
        uint32_t value;
        uint32_t smallest;
        if ((lead & 0xE0) == 0xC0) {
            length = 2, value = lead & 0x1F, smallest = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, value = lead & 0x0F, smallest = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, value = lead & 0x07, smallest = 0x10000;
        } else {
            return false;
        }
        if (size - i < length) return false;
        for (size_t k = 1; k < length; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80) return false;
            value = (value << 6) | (bytes[i + k] & 0x3F);
        }
        if (value < smallest || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
        i += length;
    }
    return true;
}

inline size_t length(const char* text) {
    size_t n = 0;
    while (text[n] != '\0') ++n;
    return n;
}

// True when text parses as one JSON value and is well-formed UTF-8.
inline bool parses(const char* text) {
    if (text == nullptr || !wellFormedUtf8(text, length(text))) return false;
    const char* end = nullptr;
    cJSON* root = cJSON_ParseWithOpts(text, &end, true);
    cJSON_Delete(root);
    return root != nullptr;
}

}  // namespace strict_json
