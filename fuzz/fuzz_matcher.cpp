// Pattern matching in both styles and both list modes on arbitrary texts.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "QVIMIntegrityRuleFilter.h"
#include "QVIMLogger.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
    const size_t cut = input.find('\0');
    const std::string_view pattern = input.substr(0, cut);
    const std::string_view text = cut == std::string_view::npos ? std::string_view() : input.substr(cut + 1);
    const uint8_t mode = data[0];

    const bool path = MatchFunction(text, pattern);
    const bool plain = MatchPlain(text, pattern);
    // A pattern that occurs in the text matches in either style.
    if (!pattern.empty() && text.find(pattern) != std::string_view::npos && !(path && plain)) abort();
    // A single-pattern list in any mode agrees with the single comparison.
    if (pattern.find(';') == std::string_view::npos && (mode & 1) == 0) {
        std::string trimmed(pattern);
        const char* blanks = " \t\n\r\f\v";
        trimmed.erase(0, trimmed.find_first_not_of(blanks));
        trimmed.erase(trimmed.find_last_not_of(blanks) + 1);
        if (trimmed == pattern && !pattern.empty()) {
            if (MatchEventPathWithRulePath(text, pattern, true, false) != path) abort();
            if (MatchEventPathWithRulePath(text, pattern, false, false) != plain) abort();
        }
    }
    (void)MatchEventPathWithRulePath(text, pattern, (mode & 2) != 0, (mode & 4) != 0);
    return 0;
}
