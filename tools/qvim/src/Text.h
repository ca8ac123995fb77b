// Small text and time helpers shared by the host's parts.
#pragma once

#include <cstdint>
#include <string>

namespace qvimcli {

inline bool startsWith(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

inline bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() && text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// "dir" + "/" + "name", without doubling the slash of the root.
inline std::string joinPath(const std::string& dir, const char* name) {
    std::string path = dir;
    if (path.empty() || path.back() != '/') path += '/';
    path += name;
    return path;
}

// The folder part of a path: "/a/b" gives "/a", "/a" gives "/".
std::string parentFolder(const std::string& path);

std::string hexText(const unsigned char* bytes, size_t length);

// Milliseconds since the Unix epoch.
uint64_t nowMillis();

// Monotonic seconds, for rates and durations.
double monotonicSeconds();

// Local time as "YYYY-MM-DD HH:MM:SS".
std::string localTimeText(int64_t secondsSinceEpoch);

// strerror as a std::string (thread-safe).
std::string errorText(int error);

// A text for messages: the value in single quotes.
inline std::string quoted(const std::string& text) { return "'" + text + "'"; }

}  // namespace qvimcli
