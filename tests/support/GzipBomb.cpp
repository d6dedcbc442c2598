#include "tests/support/GzipBomb.h"

namespace {

// Bits go into bytes from the least significant bit up, as deflate packs them.
class BitWriter
{
public:
    // `count` bits of `value`, lowest bit first (header fields and extra bits).
    void bits(quint32 value, int count)
    {
        for (int i = 0; i < count; ++i)
            bit((value >> i) & 1u);
    }
    // A Huffman code of `length` bits, highest bit first.
    void code(quint32 value, int length)
    {
        for (int i = length - 1; i >= 0; --i)
            bit((value >> i) & 1u);
    }
    void zeros(qint64 count)
    {
        const qint64 total = used_ + count;
        // bit() only ever sets bits, so the new bits are zero bytes appended.
        out_.append(QByteArray(static_cast<int>((total + 7) / 8 - out_.size()), '\0'));
        used_ = total;
    }
    QByteArray take() { return out_; }

private:
    void bit(quint32 b)
    {
        if (used_ % 8 == 0)
            out_.append('\0');
        if (b)
            out_[static_cast<int>(used_ / 8)] =
                static_cast<char>(out_[static_cast<int>(used_ / 8)] | (1 << (used_ % 8)));
        ++used_;
    }

    QByteArray out_;
    qint64 used_ = 0;
};

void appendLittleEndian32(QByteArray& out, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        out.append(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void appendBigEndian32(QByteArray& out, quint32 v)
{
    for (int i = 3; i >= 0; --i)
        out.append(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// Product of two polynomials modulo the CRC-32 polynomial, in its reflected form.
quint32 multiplyModP(quint32 a, quint32 b)
{
    quint32 m = 1u << 31, p = 0;
    for (;;) {
        if (a & m) {
            p ^= b;
            if ((a & (m - 1)) == 0)
                break;
        }
        m >>= 1;
        b = (b & 1) ? (b >> 1) ^ 0xEDB88320u : b >> 1;
    }
    return p;
}

} // namespace

QByteArray deflateOfZeros(qint64 copies)
{
    BitWriter w;
    w.bits(1, 1); // the last block
    w.bits(2, 2); // with codes of its own
    w.bits(286 - 257, 5);
    w.bits(1 - 1, 5);
    w.bits(18 - 4, 4);
    // Code lengths of the code-length alphabet, in the order deflate sends them:
    // 16 17 18 0 8 7 9 6 10 5 11 4 12 3 13 2 14 1. Used: 18 (1 bit), 1 and 2 (2 bits each).
    const int order[18] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1};
    for (int symbol : order)
        w.bits(symbol == 18 ? 1 : (symbol == 1 || symbol == 2) ? 2 : 0, 3);
    // Canonical codes: 18 -> 0, 1 -> 10, 2 -> 11.
    const auto length = [&w](int l) { w.code(l == 1 ? 2 : 3, 2); };
    const auto zeroRun = [&w](int n) { // 11..138 zero lengths
        w.code(0, 1);
        w.bits(static_cast<quint32>(n - 11), 7);
    };
    // Literal/length lengths: 0 -> 2, 1..255 -> 0, 256 -> 2, 257..284 -> 0, 285 -> 1.
    length(2);
    zeroRun(138);
    zeroRun(117);
    length(2);
    zeroRun(28);
    length(1);
    // Distance lengths: the one code, distance 1.
    length(1);
    // Literal/length codes: 285 -> 0, 0 -> 10, 256 -> 11; the distance code is 0.
    w.code(2, 2);        // a zero byte
    w.zeros(2 * copies); // copies of (length 258, distance 1), two zero bits each
    w.code(3, 2);        // end of block
    return w.take();
}

QByteArray gzipOfZeros(qint64 packedBytes)
{
    const qint64 copies = qMax<qint64>(1, packedBytes * 4);
    QByteArray out("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\xff", 10);
    out.append(deflateOfZeros(copies));
    const qint64 size = unpackedZeros(copies);
    appendLittleEndian32(out, crc32OfZeros(size));
    appendLittleEndian32(out, static_cast<quint32>(size & 0xFFFFFFFF));
    return out;
}

QByteArray qCompressedZeros(qint64 copies)
{
    const qint64 size = unpackedZeros(copies);
    QByteArray out;
    appendBigEndian32(out, static_cast<quint32>(size));
    out.append("\x78\x9c", 2);
    out.append(deflateOfZeros(copies));
    // Adler-32 of zeros: the first sum stays 1, the second grows by one a byte.
    appendBigEndian32(out, (static_cast<quint32>(size % 65521) << 16) | 1u);
    return out;
}

quint32 crc32OfZeros(qint64 count)
{
    // Zero bytes only shift the register: multiply it by x^(8 * count), squaring x^(2^k) on the
    // way through the bits of the count.
    quint32 power = 1u << 30; // x^1
    quint32 shift = 1u << 31; // x^0
    for (quint64 n = static_cast<quint64>(count) * 8; n != 0; n >>= 1) {
        if (n & 1)
            shift = multiplyModP(power, shift);
        power = multiplyModP(power, power);
    }
    return multiplyModP(shift, 0xFFFFFFFFu) ^ 0xFFFFFFFFu;
}
