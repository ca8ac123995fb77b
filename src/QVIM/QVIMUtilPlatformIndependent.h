// Value types (byte buffers, digests), text transformations and time helpers
// shared by the records, the rules, the store and the scanners.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "qvim.h"

// Owned byte buffer; data() is null exactly when size() is 0.
class Blob {
public:
    Blob() = default;
    Blob(const void* data, unsigned long size) { setBlobWithoutClearing(data, size); }
    Blob(const Blob&) = delete;
    Blob& operator=(const Blob&) = delete;
    virtual ~Blob() = default;

    virtual void clear();

    void setBlobWithoutClearing(const void* data, unsigned long size);
    void setBlob(const void* data, unsigned long size);
    // Takes ownership of an array-allocated buffer; null or 0 empties the blob
    // and leaves the buffer with the caller.
    void giveBlob(unsigned char* data, unsigned long size);
    void setEncoded(const char* text, unsigned long length);

    const unsigned char* data() const { return m_data.get(); }
    unsigned long size() const { return m_size; }
    bool empty() const { return m_size == 0; }

    // Upper-case hexadecimal text, two characters per byte.
    static std::string getEncoding(const void* data, unsigned long size);
    std::string encoding() const { return getEncoding(m_data.get(), m_size); }

protected:
    std::unique_ptr<unsigned char[]> m_data;
    unsigned long m_size = 0;
};

class Hash : public Blob {
public:
    enum HashType : uint32_t { MD5 = 16, SHA1 = 20, SHA256 = 32 };

    explicit Hash(HashType type) : m_type(type) {}

    // A cleared digest is all zeros of its full length, not empty.
    void clear() override;
    virtual void SetHash(HashType type, const void* data);

    HashType type() const { return m_type; }

protected:
    HashType m_type;
};

class MD5Hash : public Hash {
public:
    MD5Hash() : Hash(MD5) {}
    void clear() override { Hash::clear(); }
};

class SHA1Hash : public Hash {
public:
    SHA1Hash() : Hash(SHA1) {}
    void clear() override { Hash::clear(); }
    using Hash::SetHash;
    virtual void SetHash(const void* data) { Hash::SetHash(SHA1, data); }
};

class SHA256Hash : public Hash {
public:
    SHA256Hash() : Hash(SHA256) {}
    void clear() override { Hash::clear(); }
    using Hash::SetHash;
    virtual void SetHash(const void* data) { Hash::SetHash(SHA256, data); }
};

// In-place text transformations used when lists are joined and split.
class SplitJoinProcessing {
public:
    virtual ~SplitJoinProcessing() = default;
    virtual void process(std::string& text) const = 0;
};

// Percent-escapes '%' and the separator ("," becomes "%2c").
class Escape_ : public SplitJoinProcessing {
public:
    explicit Escape_(char separator) : separator(separator) {}
    void process(std::string& text) const override;
    char separator;
};

class Unescape : public SplitJoinProcessing {
public:
    void process(std::string& text) const override;
};

// Removes leading and trailing blanks and tabs.
class TrimWhiteSpace : public SplitJoinProcessing {
public:
    void process(std::string& text) const override;
    static const char* const m_sWhiteSpace;
};

void join(std::string& out, std::list<std::string>& items, char separator, bool escape);
void replaceAll(std::string& text, char c, const std::string& replacement);
std::string convertPermissions(std::string text);

// Splits at every separator; empty pieces are kept. A processor, when given,
// is applied to each piece.
std::vector<std::string> split(std::string_view text, char separator,
                               const SplitJoinProcessing* processor = nullptr);

unsigned long getCurrentTimeInMillis();
unsigned long createTimestamp(unsigned long seconds, unsigned long nanoseconds);
unsigned long convertNanoSecondsToMilliseconds(unsigned long nanoseconds);
int getBoolValue(const char* text);
const char* convertCharToImChar(const char* text);

// Lower-cases ASCII letters in place.
void toLowerAscii(std::string& text);

// text itself when it is well-formed UTF-8; otherwise `repaired`, filled
// with text where each ill-formed sequence (overlong forms, surrogates,
// values above U+10FFFF, stray or truncated bytes) has become U+FFFD.
// Every string in a JSON text the library hands out passes through it, so
// strict readers accept the text; well-formed names are never changed.
const std::string& wellFormedUtf8(const std::string& text, std::string& repaired);

// Opens for writing a file the engine makes for its owner (log, export):
// never through a symbolic link, never blocking on a FIFO, and a new file is
// readable by the owner only whatever the umask. Anything but a regular file
// is refused. append keeps what the file holds, otherwise it is emptied.
// Returns the descriptor, or -1 with why set to the reason.
int openOwnFile(const char* path, bool append, std::string& why);

// Calls lookup(buffer, size) for a reentrant account lookup (getpwuid_r and
// kin): the buffer starts at sizeHint bytes (what sysconf suggests; 1 KiB
// when it has no suggestion) and doubles while the lookup answers ERANGE, up
// to 16 MiB. Returns the lookup's last answer.
int withGrowingBuffer(long sizeHint, const std::function<int(char* buffer, size_t size)>& lookup);

// Name of a user or group id from the account databases; false when the id
// has no entry or the databases cannot be read. Entries of any size are
// read: a group with many members easily outgrows a fixed buffer, and a
// lookup failing there would show that group, and every group listed after
// it, as a number.
bool lookupUserName(uid_t uid, std::string& name);
bool lookupGroupName(gid_t gid, std::string& name);

// ---- Kind names ----------------------------------------------------------------
// Name of a kind value 0..8 ("All", "File", ..., "Unknown").
const char* entityTypeName(entity_type type);
// Kind value of a kind name, ENTITY_UNKNOWN for anything else. Hosts send
// abbreviated names, so the first letter decides ("Port" against the other
// "P" names by its next three).
entity_type parseEntityTypeName(const char* name);
