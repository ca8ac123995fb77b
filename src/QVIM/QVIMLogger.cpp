// The logger: one process-wide sink (a host callback, else a file) that
// every log line goes through, escaped to one line. Sections: setup, the
// line, the file.
#include "QVIMLogger.h"

#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "QVIMUtilPlatformIndependent.h"

QVIMLoggerSL& QVIMLoggerSL::getInstance() {
    static QVIMLoggerSL instance;
    return instance;
}

QVIMLoggerSL::~QVIMLoggerSL() {
    if (m_fd >= 0) ::close(m_fd);
}

const char* QVIMLoggerSL::levelName(uint32_t level) {
    switch (level) {
        case QVIM_LOG_TRACE: return "TRACE";
        case QVIM_LOG_INFO: return "INFO";
        case QVIM_LOG_WARNING: return "WARNING";
        case QVIM_LOG_ERROR: return "ERROR";
        default: return "UNKNOWN";
    }
}

int QVIMLoggerSL::initLogger(qvim_log_callback callback, uint32_t levelMask, const char* fileName) {
    if (m_initialized.load(std::memory_order_acquire)) {
        LOG_WARNING(QVIM_SRC_LOGGER, "initLogger", "QVIM Logging already initialized!");
        return 0;
    }
    if (callback != nullptr) {
        m_callback.store(callback, std::memory_order_relaxed);
        m_levelMask.store(levelMask, std::memory_order_relaxed);
        m_initialized.store(true, std::memory_order_release);
        return 0;
    }
    // File logging always starts with every level enabled.
    m_levelMask.store(QVIM_LOG_TRACE | QVIM_LOG_INFO | QVIM_LOG_WARNING | QVIM_LOG_ERROR,
                      std::memory_order_relaxed);
    {
        MutexLock lock(m_fileMutex);
        m_path = fileName != nullptr ? fileName : "";
        if (m_fd < 0 && !m_path.empty()) {
            // The log names accounts and paths of the host: owner-only, and
            // never appended to another file through a link at its name.
            std::string why;
            m_fd = openOwnFile(m_path.c_str(), true, why);
        }
    }
    m_initialized.store(true, std::memory_order_release);
    return 0;
}

namespace {

// A message is one line of the file: control characters (a newline in a
// file name) are written as \xNN, so that no name can forge lines of its own.
void appendOnOneLine(std::string& text, const char* message, size_t length) {
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(message[i]);
        if ((c >= 0x20 && c != 0x7F) || c == '\t') {
            text += static_cast<char>(c);
        } else {
            const char escaped[] = {'\\', 'x', digits[c >> 4], digits[c & 0x0F]};
            text.append(escaped, sizeof escaped);
        }
    }
}

}  // namespace

void QVIMLoggerSL::log(uint32_t level, const char* function, const char* source, unsigned line,
                       const char* format, ...) {
    if (!enabled(level)) return;

    char message[1024];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(message, sizeof message, format, args);
    va_end(args);
    if (n < 0) {
        message[0] = '\0';
        n = 0;
    }
    const uint32_t length = n >= static_cast<int>(sizeof message) ? sizeof message - 1 : static_cast<uint32_t>(n);

    qvim_log_callback callback = m_callback.load(std::memory_order_relaxed);
    if (callback != nullptr) {
        callback(level, line, function, source, message, length);
        return;
    }

    char stamp[160];
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    size_t stampLength = strftime(stamp, sizeof stamp, "%Y %m %d %X ", &local);

    std::string text;
    text.reserve(stampLength + length + 96);
    text.append(stamp, stampLength);
    text += levelName(level);
    text += ' ';
    // A missing source or function name cuts the line where it would appear.
    if (source != nullptr) {
        text += source;
        text += ": ";
        text += std::to_string(line);
        text += ' ';
        if (function != nullptr) {
            text += function;
            text += " : ";
            appendOnOneLine(text, message, length);
        }
    }
    writeLine(text);
}

void QVIMLoggerSL::writeLine(const std::string& line) {
    MutexLock lock(m_fileMutex);
    if (m_fd < 0) return;
    std::string out = line;
    out += '\n';
    const char* p = out.data();
    size_t left = out.size();
    while (left > 0) {
        ssize_t written = ::write(m_fd, p, left);
        if (written <= 0) return;  // a failing log drops the line, nothing else
        p += written;
        left -= static_cast<size_t>(written);
    }
}
