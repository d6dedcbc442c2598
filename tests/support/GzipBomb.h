// Small compressed bodies that unpack to very large ones, built without a compression library:
// one deflate block whose codes make every 258 zero bytes cost two bits (about 1:1000).
//
//   QByteArray body = gzipOfZeros(3 << 20); // about 3 MiB that unpack to about 3 GiB of zeros
#pragma once

#include <QByteArray>

// A raw deflate stream (RFC 1951) of one literal zero followed by `copies` copies of 258 zeros:
// 1 + 258 * copies bytes once unpacked, about copies / 4 bytes packed.
QByteArray deflateOfZeros(qint64 copies);

// The same stream as a gzip file (RFC 1952) of roughly `packedBytes` bytes, with the right check
// value and length of what it unpacks to.
QByteArray gzipOfZeros(qint64 packedBytes);

// The same stream wrapped the way qUncompress() reads it (length prefix, zlib header, Adler-32).
QByteArray qCompressedZeros(qint64 copies);

// The CRC-32 (as gzip and zlib use it) of `count` zero bytes.
quint32 crc32OfZeros(qint64 count);

// Bytes the zero streams above unpack to.
inline qint64 unpackedZeros(qint64 copies)
{
    return 1 + 258 * copies;
}
