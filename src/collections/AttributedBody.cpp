#include "AttributedBody.h"

#include <cstdint>

// An NSArchiver stream ("typedstream"), little endian, as sms.db keeps message bodies:
//
//   offset  size  meaning
//   0       1     0x04, the stream version
//   1       1     0x0B, the length of the signature that follows
//   2       11    "streamtyped"
//   13      ...   the objects: NSMutableAttributedString, its class chain, then the NSString
//                 that holds the text, then the attribute runs
//
// The NSString's class name is followed by its version, a reference byte and the type string
// "+" (0x84 0x01 0x2B), then the text's length in bytes and its UTF-8 bytes. A length is one
// byte below 0x80, or a tag and a little-endian integer:
//
//   tag   size  meaning
//   0x81  2     16-bit length
//   0x82  4     32-bit length (signed in the stream: a set top bit is no length)

namespace {

const char kSignature[] = "\x04\x0bstreamtyped";
const int kSignatureSize = 13;
const char kStringClass[] = "NSString";
const int kStringClassSize = 8;
const char kTextType = '+';
// Version, reference and type-string header stand between the class name and the "+"; a wider
// gap means this "NSString" is not the class reference.
const int kTypeWindow = 8;
const quint8 kLength16 = 0x81;
const quint8 kLength32 = 0x82;
const quint8 kFirstTag = 0x80;

// Every read checks the remaining length first; a failed read leaves the cursor failed.
class Cursor
{
public:
    Cursor(const QByteArray& bytes, qsizetype at) : m_bytes(bytes), m_at(at) {}

    bool failed() const { return m_failed; }
    qsizetype remaining() const { return m_failed ? 0 : m_bytes.size() - m_at; }

    quint8 readU8()
    {
        if (!need(1))
            return 0;
        return quint8(m_bytes[m_at++]);
    }
    quint32 readLE(int size)
    {
        if (!need(size))
            return 0;
        quint32 v = 0;
        for (int i = 0; i < size; ++i)
            v |= quint32(quint8(m_bytes[m_at + i])) << (8 * i);
        m_at += size;
        return v;
    }
    QByteArray readBytes(qsizetype size)
    {
        if (size < 0 || !need(size))
            return QByteArray();
        const QByteArray out = m_bytes.mid(m_at, size);
        m_at += size;
        return out;
    }

private:
    bool need(qsizetype size)
    {
        if (m_failed || size > m_bytes.size() - m_at)
            m_failed = true;
        return !m_failed;
    }

    const QByteArray& m_bytes;
    qsizetype m_at;
    bool m_failed = false;
};

// -1 when the length is malformed or runs out of the bytes.
qsizetype readLength(Cursor& c)
{
    const quint8 tag = c.readU8();
    qint64 length = -1;
    if (tag < kFirstTag)
        length = tag;
    else if (tag == kLength16)
        length = c.readLE(2);
    else if (tag == kLength32)
        length = qint32(c.readLE(4));
    if (c.failed() || length < 0 || length > c.remaining())
        return -1;
    return qsizetype(length);
}

} // namespace

QString textFromAttributedBody(const QByteArray& blob, bool* ok)
{
    if (ok)
        *ok = false;
    if (!blob.startsWith(QByteArrayView(kSignature, kSignatureSize)))
        return QString();
    // Each candidate lies further on: the walk ends with the bytes.
    for (qsizetype at = blob.indexOf(kStringClass, kSignatureSize); at >= 0; at = blob.indexOf(kStringClass, at + 1)) {
        const qsizetype after = at + kStringClassSize;
        // Looked for only in the window: a search to the end per candidate would be quadratic.
        const qsizetype end = qMin(blob.size(), after + kTypeWindow);
        qsizetype type = after;
        while (type < end && blob[type] != kTextType)
            ++type;
        if (type >= end)
            continue;
        Cursor c(blob, type + 1);
        const qsizetype length = readLength(c);
        if (length < 0)
            continue;
        const QByteArray text = c.readBytes(length);
        if (c.failed())
            continue;
        if (ok)
            *ok = true;
        return QString::fromUtf8(text);
    }
    return QString();
}
