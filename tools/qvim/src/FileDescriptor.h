// An open descriptor, closed when it goes out of scope.
#pragma once

#include <unistd.h>

namespace qvimcli {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor() {
        if (m_fd >= 0) ::close(m_fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return m_fd; }

private:
    const int m_fd;
};

}  // namespace qvimcli
