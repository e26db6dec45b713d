#include "NoteBodyWriter.h"

#include <zlib.h>

namespace sample::notebody {

QByteArray varint(quint64 v)
{
    QByteArray out;
    do {
        out += char((v & 0x7F) | (v > 0x7F ? 0x80 : 0));
        v >>= 7;
    } while (v);
    return out;
}

QByteArray field(quint32 number, quint64 value) { return varint(quint64(number) << 3) + varint(value); }

QByteArray field(quint32 number, const QByteArray& bytes)
{
    return varint((quint64(number) << 3) | 2) + varint(quint64(bytes.size())) + bytes;
}

QByteArray notePayload(const QString& text, const QList<QByteArray>& runs)
{
    QByteArray note = field(2, text.toUtf8());
    for (const QByteArray& run : runs)
        note += field(5, run);
    return field(2, field(2, 1) + field(3, note));
}

QByteArray plainRun(qsizetype length) { return field(1, quint64(length)); }

QByteArray checklistRun(qsizetype length, bool done)
{
    return field(1, quint64(length)) + field(2, field(1, 103) + field(5, field(1, QByteArray(16, 'u')) + field(2, done)));
}

QByteArray listRun(qsizetype length, int styleType, quint64 indent)
{
    return field(1, quint64(length)) + field(2, field(1, quint64(styleType)) + field(4, indent));
}

QByteArray attachmentRun(qsizetype length, const QByteArray& identifier, const char* uti)
{
    return field(1, quint64(length)) + field(12, field(1, identifier) + (uti ? field(2, QByteArray(uti)) : QByteArray()));
}

QByteArray gzip(const QByteArray& data)
{
    z_stream z{};
    if (deflateInit2(&z, 9, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return QByteArray();
    QByteArray out(qsizetype(deflateBound(&z, uLong(data.size()))) + 32, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    z.avail_in = uInt(data.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = uInt(out.size());
    const bool done = deflate(&z, Z_FINISH) == Z_STREAM_END;
    out.resize(done ? qsizetype(z.total_out) : 0);
    deflateEnd(&z);
    return out;
}

} // namespace sample::notebody
