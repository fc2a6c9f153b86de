// Little-endian integers in byte arrays, as the envelope's header and
// ChaCha20's key and counter words are written, whatever the processor's order.
#pragma once

#include <cstdint>

inline uint32_t load_le16(const uint8_t* at)
{
    return (uint32_t)at[0] | (uint32_t)at[1] << 8;
}

inline uint32_t load_le32(const uint8_t* at)
{
    return (uint32_t)at[0] | (uint32_t)at[1] << 8 | (uint32_t)at[2] << 16 | (uint32_t)at[3] << 24;
}

inline void store_le16(uint8_t* at, uint32_t value)
{
    at[0] = (uint8_t)value;
    at[1] = (uint8_t)(value >> 8);
}

inline void store_le32(uint8_t* at, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        at[i] = (uint8_t)(value >> (8 * i));
}
