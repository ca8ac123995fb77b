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

// Local time as "YYYY-MM-DD HH:MM:SS" (the form package install dates are
// recorded in, so it must not change).
std::string localTimeText(int64_t secondsSinceEpoch);

// Local time in ISO 8601 with the offset from UTC, "2026-12-06T03:04:05+01:00",
// with ".123" before the offset when withMillis; how the program prints times.
std::string isoLocalTime(uint64_t millisSinceEpoch, bool withMillis);

// strerror as a std::string (thread-safe).
std::string errorText(int error);

// What printable may leave as it is.
enum PrintableKeep : unsigned { kKeepNothing = 0, kKeepBackslash = 1, kKeepLineBreaks = 2 };

// The text with everything that could steer a terminal or start a line of its
// own written out: C0 and C1 controls, DEL and bytes that are not UTF-8 as \xNN,
// bidirectional overrides as \uNNNN, and the backslash as \\ so that no name can
// pose as an escaped one (unless kept).
std::string printable(const std::string& text, unsigned keep = kKeepNothing);

// A text for messages: the value in single quotes.
inline std::string quoted(const std::string& text) { return "'" + text + "'"; }

}  // namespace qvimcli
