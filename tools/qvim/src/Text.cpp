#include "Text.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace qvimcli {

std::string parentFolder(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

namespace {

// Length of the well-formed UTF-8 sequence at text[at] (0 when ill-formed) and its code point.
size_t utf8Sequence(const std::string& text, size_t at, uint32_t& codePoint) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    size_t length;
    uint32_t minimum;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, minimum = 0x80, codePoint = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, minimum = 0x800, codePoint = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, minimum = 0x10000, codePoint = lead & 0x07u;
    } else {
        return 0;
    }
    if (text.size() - at < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
        codePoint = (codePoint << 6) | (byte(at + i) & 0x3Fu);
    }
    const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
    return codePoint < minimum || codePoint > 0x10FFFF || surrogate ? 0 : length;
}

// Format characters that reorder what a terminal shows around them.
bool isBidiControl(uint32_t c) {
    return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

}  // namespace

std::string printable(const std::string& text, unsigned keep) {
    static const char digits[] = "0123456789abcdef";
    std::string shown;
    shown.reserve(text.size());
    const auto escapeByte = [&](unsigned char c) {
        const char escaped[] = {'\\', 'x', digits[c >> 4], digits[c & 0x0F]};
        shown.append(escaped, sizeof escaped);
    };
    for (size_t at = 0; at < text.size();) {
        const auto c = static_cast<unsigned char>(text[at]);
        if (c < 0x80) {
            if (c == '\\' && (keep & kKeepBackslash) == 0)
                shown += "\\\\";
            else if ((c >= 0x20 && c != 0x7F) || (c == '\n' && (keep & kKeepLineBreaks) != 0))
                shown += static_cast<char>(c);
            else
                escapeByte(c);
            ++at;
            continue;
        }
        uint32_t codePoint = 0;
        const size_t length = utf8Sequence(text, at, codePoint);
        if (length == 0 || codePoint <= 0x9F) {  // ill-formed, or a C1 control
            for (size_t i = 0; i < std::max<size_t>(length, 1); ++i) escapeByte(static_cast<unsigned char>(text[at + i]));
            at += std::max<size_t>(length, 1);
        } else if (isBidiControl(codePoint)) {
            char escaped[16];
            snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(codePoint));
            shown += escaped;
            at += length;
        } else {
            shown.append(text, at, length);
            at += length;
        }
    }
    return shown;
}

std::string hexText(const unsigned char* bytes, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string text(length * 2, '0');
    for (size_t i = 0; i < length; ++i) {
        text[2 * i] = digits[bytes[i] >> 4];
        text[2 * i + 1] = digits[bytes[i] & 0x0F];
    }
    return text;
}

uint64_t nowMillis() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

double monotonicSeconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::string localTimeText(int64_t secondsSinceEpoch) {
    const time_t seconds = static_cast<time_t>(secondsSinceEpoch);
    struct tm local;
    char text[32];
    if (localtime_r(&seconds, &local) == nullptr || strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local) == 0)
        return std::string();
    return text;
}

std::string isoLocalTime(uint64_t millisSinceEpoch, bool withMillis) {
    const time_t seconds = static_cast<time_t>(millisSinceEpoch / 1000);
    struct tm local;
    char text[40];
    char offset[8];
    if (localtime_r(&seconds, &local) == nullptr || strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local) == 0 ||
        strftime(offset, sizeof offset, "%z", &local) != 5)
        return std::string();
    std::string result = text;
    if (withMillis) {
        char fraction[8];
        snprintf(fraction, sizeof fraction, ".%03u", static_cast<unsigned>(millisSinceEpoch % 1000));
        result += fraction;
    }
    // strftime gives "+0100"; ISO 8601 extended form wants "+01:00".
    return result + std::string(offset, 3) + ":" + std::string(offset + 3, 2);
}

std::string errorText(int error) {
    char buffer[256];
    // The GNU variant may return a static text instead of filling the buffer.
    const char* text = strerror_r(error, buffer, sizeof buffer);
    return text != nullptr ? text : "unknown error";
}

}  // namespace qvimcli
