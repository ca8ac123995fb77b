// Hexadecimal decoding, percent escaping and the other text helpers: no input
// may read or write out of bounds, and escaping must round-trip.
#include <cstdint>
#include <cstdlib>
#include <list>
#include <string>

#include "QVIMUtilPlatformIndependent.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);

    Blob blob;
    blob.setEncoded(text.data(), text.size());
    if (blob.size() != size / 2) abort();
    // Encoding what was decoded and decoding it again is stable.
    const std::string hex = blob.encoding();
    Blob again;
    again.setEncoded(hex.data(), hex.size());
    if (again.size() != blob.size() || again.encoding() != hex) abort();

    std::string unescaped = text;
    Unescape().process(unescaped);
    std::string trimmed = text;
    TrimWhiteSpace().process(trimmed);
    (void)convertPermissions(text);

    // Items joined with escaping and split again come back unchanged.
    // The lists the engine joins use ',' and ';'.
    const char separator = size > 0 && (data[0] & 1) != 0 ? ';' : ',';
    std::list<std::string> items;
    for (const std::string& piece : split(text, '\n')) items.push_back(piece);
    std::string joined;
    join(joined, items, separator, true);
    const Unescape unescape;
    const auto back = split(joined, separator, &unescape);
    if (items.size() == 1 && items.front().empty()) return 0;  // an empty list and one empty item look alike
    if (back.size() != items.size()) abort();
    auto it = items.begin();
    for (const std::string& piece : back)
        if (piece != *it++) abort();
    return 0;
}
