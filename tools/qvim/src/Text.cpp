#include "Text.h"

#include <cstring>
#include <ctime>

namespace qvimcli {

std::string parentFolder(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
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

std::string errorText(int error) {
    char buffer[256];
    // The GNU variant may return a static text instead of filling the buffer.
    const char* text = strerror_r(error, buffer, sizeof buffer);
    return text != nullptr ? text : "unknown error";
}

}  // namespace qvimcli
