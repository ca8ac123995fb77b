// Reads typed values off a fuzz input; past the end every read gives zero or
// an empty text, so any input is a complete description.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <string>

class FuzzBytes {
public:
    FuzzBytes(const uint8_t* data, size_t size) : m_data(data), m_size(size) {}

    bool empty() const { return m_pos >= m_size; }

    uint8_t byte() { return m_pos < m_size ? m_data[m_pos++] : 0; }

    // A little-endian number of up to `width` bytes.
    uint64_t number(size_t width = 8) {
        uint64_t value = 0;
        for (size_t i = 0; i < width; ++i) value |= static_cast<uint64_t>(byte()) << (8 * i);
        return value;
    }

    // The bytes up to the next NUL (or the end), kept alive in `keep`.
    const char* text(std::deque<std::string>& keep) {
        const size_t start = m_pos;
        while (m_pos < m_size && m_data[m_pos] != 0) ++m_pos;
        keep.emplace_back(reinterpret_cast<const char*>(m_data) + start, m_pos - start);
        if (m_pos < m_size) ++m_pos;
        return keep.back().c_str();
    }

    // Fills `out` with the next `size` bytes (zero past the end).
    void fill(unsigned char* out, size_t size) {
        for (size_t i = 0; i < size; ++i) out[i] = byte();
    }

private:
    const uint8_t* m_data;
    size_t m_size;
    size_t m_pos = 0;
};
