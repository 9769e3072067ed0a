#pragma once
// Shared by the fuzz targets: a broken expectation aborts, which both libFuzzer
// and the corpus replay report as a failure of the input.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#define FUZZ_CHECK(condition)                                                          \
    do {                                                                               \
        if (!(condition)) {                                                            \
            std::fprintf(stderr, "%s:%d: expectation failed: %s\n", __FILE__, __LINE__, \
                         #condition);                                                  \
            std::abort();                                                              \
        }                                                                              \
    } while (0)

namespace fuzz {

// Takes an input apart front to back; past the end it yields zeros and empty text.
class Bytes {
public:
    Bytes(const std::uint8_t* data, std::size_t size) : m_data(data), m_left(size) {}

    std::uint8_t byte()
    {
        if (m_left == 0)
            return 0;
        --m_left;
        return *m_data++;
    }

    // A length byte, then up to that many bytes.
    std::string text()
    {
        std::size_t length = byte();
        if (length > m_left)
            length = m_left;
        std::string out(reinterpret_cast<const char*>(m_data), length);
        m_data += length;
        m_left -= length;
        return out;
    }

    std::string rest()
    {
        std::string out(reinterpret_cast<const char*>(m_data), m_left);
        m_data += m_left;
        m_left = 0;
        return out;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_left;
};

} // namespace fuzz
