#pragma once
// The growable byte buffer that every piece of data passes as: host bytes,
// frames and link reads.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace varnock {

class ByteArray {
public:
    ByteArray() = default;
    ByteArray(std::initializer_list<uint8_t> bytes) : m_data(bytes) {}
    ByteArray(const uint8_t* bytes, int n) { Append(bytes, n); }
    explicit ByteArray(std::vector<uint8_t> bytes) : m_data(std::move(bytes)) {}

    int GetSize() const { return static_cast<int>(m_data.size()); }
    bool IsEmpty() const { return m_data.empty(); }
    void RemoveAll() { m_data.clear(); }
    uint8_t GetAt(int i) const { return m_data.at(static_cast<size_t>(i)); }
    uint8_t& operator[](int i) { return m_data.at(static_cast<size_t>(i)); }
    uint8_t operator[](int i) const { return m_data.at(static_cast<size_t>(i)); }
    void Add(uint8_t b) { m_data.push_back(b); }
    // Nothing happens when n is below 1.
    // Grown, then copied: gcc 12 warns falsely on a range insert here.
    void Append(const uint8_t* bytes, int n) {
        if (n < 1 || !bytes) return;
        const size_t old = m_data.size();
        m_data.resize(old + static_cast<size_t>(n));
        std::memcpy(m_data.data() + old, bytes, static_cast<size_t>(n));
    }
    void Append(const ByteArray& other) {
        if (&other == this) return Append(ByteArray(other));
        Append(other.data(), other.GetSize());
    }
    // Only when at least n bytes are held.
    void RemoveHead(int n) {
        if (n < 0 || static_cast<size_t>(n) > m_data.size()) return;
        m_data.erase(m_data.begin(), m_data.begin() + n);
    }
    void InsertAt(int i, uint8_t b) {
        if (i < 0 || static_cast<size_t>(i) > m_data.size()) return;
        m_data.insert(m_data.begin() + i, b);
    }

    uint8_t* data() { return m_data.data(); }
    const uint8_t* data() const { return m_data.data(); }
    const std::vector<uint8_t>& bytes() const { return m_data; }
    std::vector<uint8_t>& bytes() { return m_data; }
    bool operator==(const ByteArray& other) const = default;

private:
    std::vector<uint8_t> m_data;
};

}  // namespace varnock
