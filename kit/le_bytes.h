// Little-endian fields of the images and resource files the kit reads and writes.
#pragma once

#include "product_file.h"

inline size_t Align4(size_t ib)
{
    return (ib + 3) & ~(size_t)3;
}

inline unsigned ReadWord(const Bytes& data, size_t ib)
{
    return data[ib] | (data[ib + 1] << 8);
}

inline unsigned ReadDword(const Bytes& data, size_t ib)
{
    return ReadWord(data, ib) | (ReadWord(data, ib + 2) << 16);
}

inline void PutWord(Bytes& data, size_t ib, unsigned uValue)
{
    data[ib] = (unsigned char)(uValue & 0xFF);
    data[ib + 1] = (unsigned char)((uValue >> 8) & 0xFF);
}

inline void PutDword(Bytes& data, size_t ib, size_t uValue)
{
    PutWord(data, ib, (unsigned)(uValue & 0xFFFF));
    PutWord(data, ib + 2, (unsigned)((uValue >> 16) & 0xFFFF));
}
