#pragma once
// The part of libFuzzer's input provider that the fuzz targets use, for the
// corpus replay built with gcc, which ships no libFuzzer. It must take bytes
// exactly as libFuzzer's does (byte strings from the front, numbers from the
// back, most significant byte first), or a stored input would replay as some
// other input than the one the fuzzer found.

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <type_traits>
#include <vector>

class FuzzedDataProvider final {
public:
    FuzzedDataProvider(const std::uint8_t *data, std::size_t size) : m_data(data), m_remaining(size) {}
    FuzzedDataProvider(const FuzzedDataProvider &) = delete;
    FuzzedDataProvider &operator=(const FuzzedDataProvider &) = delete;

    std::size_t remaining_bytes() const { return m_remaining; }

    template <typename T>
    std::vector<T> ConsumeBytes(std::size_t count)
    {
        static_assert(sizeof(T) == 1, "bytes only");
        count = count < m_remaining ? count : m_remaining;
        std::vector<T> bytes(count);
        if (count > 0)
            std::memcpy(bytes.data(), m_data, count);
        m_data += count;
        m_remaining -= count;
        return bytes;
    }

    template <typename T>
    std::vector<T> ConsumeRemainingBytes()
    {
        return ConsumeBytes<T>(m_remaining);
    }

    template <typename T>
    T ConsumeIntegralInRange(T min, T max)
    {
        static_assert(std::is_integral<T>::value && sizeof(T) <= sizeof(std::uint64_t), "integers only");
        if (min > max)
            std::abort();
        const std::uint64_t range = static_cast<std::uint64_t>(max) - static_cast<std::uint64_t>(min);
        std::uint64_t result = 0;
        std::size_t offset = 0;
        while (offset < sizeof(T) * CHAR_BIT && (range >> offset) > 0 && m_remaining != 0) {
            --m_remaining;
            result = (result << CHAR_BIT) | m_data[m_remaining];
            offset += CHAR_BIT;
        }
        if (range != std::numeric_limits<std::uint64_t>::max())
            result %= range + 1;
        return static_cast<T>(static_cast<std::uint64_t>(min) + result);
    }

    template <typename T>
    T ConsumeIntegral()
    {
        return ConsumeIntegralInRange<T>(std::numeric_limits<T>::min(), std::numeric_limits<T>::max());
    }

    bool ConsumeBool() { return (ConsumeIntegral<std::uint8_t>() & 1) != 0; }

    template <typename T, std::size_t N>
    T PickValueInArray(const T (&values)[N])
    {
        static_assert(N > 0, "an empty array has nothing to pick");
        return values[ConsumeIntegralInRange<std::size_t>(0, N - 1)];
    }

private:
    const std::uint8_t *m_data;
    std::size_t m_remaining;
};
