// Where the program writes as root (database, log, scratch pages, exports):
// never through a link, never into a file or folder someone else controls.
#pragma once

#include <cstdio>
#include <string>

namespace qvimcli {

// A descriptor closed with its scope.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }
    int release();
    void reset(int fd = -1);

private:
    int m_fd = -1;
};

// Twelve random hexadecimal digits, for names of temporary files.
std::string randomSuffix();

// Gives the unnamed file (opened with O_TMPFILE) a new name in folder made of
// prefix and a random suffix. False with errno set.
bool linkUnnamed(int file, int folder, const std::string& prefix, std::string& name);

// Whether the folder itself may be one others write to (such as /tmp).
enum class FolderSharing { OwnOnly, StickyAllowed };

// Opens the folder after checking every folder and link on the way from the
// root: each belongs to root or to this user, and no one else may write to a
// folder unless it is sticky (where others cannot remove or rename what is
// ours). The folder itself must not be writable by others at all with OwnOnly.
// Missing folders are made (0700) when create is set. resolved, when given,
// receives the folder's path without links. False with a reason.
bool openTrustedFolder(const std::string& path, FolderSharing sharing, bool create, UniqueFd& folder,
                       std::string& error, std::string* resolved = nullptr);

// Opens name in the folder for appending, creating it (0600) when missing. It
// must be a regular file of this user with no other hard link; a link is never
// followed. False with a reason.
bool openOwnFileForAppend(int folder, const std::string& name, UniqueFd& file, std::string& error);

// A folder of our own (0700) made inside a trusted folder, removed with what
// it holds (one level) when the scope ends. It stays locked while in use, so
// that the next one made beside it removes what a killed run left and nothing
// a running one uses.
class PrivateFolder {
public:
    PrivateFolder() = default;
    ~PrivateFolder();
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;

    bool create(const std::string& parent, std::string& error);
    const std::string& path() const { return m_path; }
    // The folder itself, open: files in it are made relative to it.
    int fd() const { return m_folder.get(); }

private:
    std::string m_path;
    std::string m_name;
    UniqueFd m_parent;
    UniqueFd m_folder;
};

// A file written unnamed next to its place (under a temporary name where the
// file system has no unnamed files) and renamed over it when complete, so that
// an existing file is replaced at once, a link at the place is never followed
// and a killed run leaves nothing behind. Links and non-regular files at the
// place are refused.
class ReplacingFile {
public:
    ReplacingFile() = default;
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    bool open(const std::string& path, std::string& error);
    FILE* stream() const { return m_stream; }
    // Flushes, syncs and renames into place; false with a reason when any of
    // that fails (the temporary file is then removed).
    bool commit(std::string& error);

private:
    UniqueFd m_folder;
    FILE* m_stream = nullptr;
    std::string m_name;
    std::string m_temporary;
};

}  // namespace qvimcli
