#include "KeyedArchive.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

// Binary property list: "bplist00", the objects, a table of their offsets, and a 32-byte trailer
// (offset width at 6, reference width at 7, object count at 8, top object at 16, table offset
// at 24; numbers big-endian). Each object starts with a marker: type in the high nibble, a count
// (or 0xF: an integer object with the count follows) in the low one.
namespace {

const int kHeaderSize = 8;
const int kTrailerSize = 32;
enum Type { Simple = 0x0, Int = 0x1, Real = 0x2, Data = 0x4, Ascii = 0x5, Utf16 = 0x6, Uid = 0x8, Array = 0xA, Dict = 0xD };
const int kFalse = 0x8;
const int kTrue = 0x9;
const int kCountFollows = 0xF;

} // namespace

KeyedArchive::KeyedArchive(const QByteArray& bytes) : m_bytes(bytes)
{
    const quint64 size = quint64(m_bytes.size());
    if (size < quint64(kHeaderSize + kTrailerSize) || std::memcmp(m_bytes.constData(), "bplist0", 7) != 0)
        return;
    const quint64 trailer = size - kTrailerSize;
    quint64 offsetSize = 0, refSize = 0, top = 0;
    if (!uint(trailer + 6, 1, &offsetSize) || !uint(trailer + 7, 1, &refSize) || !uint(trailer + 8, 8, &m_objectCount)
        || !uint(trailer + 16, 8, &top) || !uint(trailer + 24, 8, &m_table))
        return;
    if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8 || top >= m_objectCount || m_table > trailer
        || m_objectCount > (trailer - m_table) / offsetSize)
        return;
    m_offsetSize = int(offsetSize);
    m_refSize = int(refSize);
    const Node topDict = Node(top);
    m_objects = dictValue(topDict, "$objects");
    Object objects;
    if (!object(m_objects, &objects) || objects.type != Array)
        return;
    Object rootObject;
    const Node root = member(dictValue(topDict, "$top"), "root");
    if (object(root, &rootObject) && rootObject.type == Dict)
        m_root = root;
}

bool KeyedArchive::uint(quint64 at, int width, quint64* value) const
{
    if (width < 1 || width > 8 || at > quint64(m_bytes.size()) || quint64(width) > quint64(m_bytes.size()) - at)
        return false;
    const auto* p = reinterpret_cast<const uchar*>(m_bytes.constData()) + at;
    quint64 v = 0;
    for (int i = 0; i < width; ++i)
        v = (v << 8) | p[i];
    *value = v;
    return true;
}

bool KeyedArchive::ref(quint64 at, Node* n) const
{
    quint64 v = 0;
    if (!uint(at, m_refSize, &v) || v >= m_objectCount)
        return false;
    *n = Node(v);
    return true;
}

bool KeyedArchive::object(Node n, Object* o) const
{
    quint64 offset = 0, marker = 0;
    if (n < 0 || quint64(n) >= m_objectCount || !uint(m_table + quint64(n) * quint64(m_offsetSize), m_offsetSize, &offset)
        || offset < kHeaderSize || !uint(offset, 1, &marker))
        return false;
    o->type = int(marker >> 4);
    o->low = int(marker & 0xF);
    o->count = quint64(o->low);
    o->payload = offset + 1;
    const bool counted = o->type == Data || o->type == Ascii || o->type == Utf16 || o->type == Array || o->type == Dict;
    if (counted && o->low == kCountFollows) {
        quint64 intMarker = 0;
        if (!uint(o->payload, 1, &intMarker) || (intMarker >> 4) != Int || (intMarker & 0xF) > 3)
            return false;
        const int width = 1 << (intMarker & 0xF);
        if (!uint(o->payload + 1, width, &o->count))
            return false;
        o->payload += 1 + quint64(width);
    }
    // Whatever the object spans must lie inside the bytes.
    quint64 unit = 0;
    switch (o->type) {
    case Data:
    case Ascii:
        unit = 1;
        break;
    case Utf16:
        unit = 2;
        break;
    case Array:
        unit = quint64(m_refSize);
        break;
    case Dict:
        unit = 2 * quint64(m_refSize);
        break;
    default:
        return true;
    }
    const quint64 size = quint64(m_bytes.size());
    return o->payload <= size && o->count <= (size - o->payload) / unit;
}

KeyedArchive::Node KeyedArchive::resolve(Node n) const
{
    Object o;
    if (!object(n, &o) || o.type != Uid)
        return n;
    quint64 index = 0;
    Object objects;
    if (!uint(o.payload, o.low + 1, &index) || !object(m_objects, &objects) || index >= objects.count)
        return -1;
    Node target = -1;
    return ref(objects.payload + index * quint64(m_refSize), &target) ? target : -1;
}

KeyedArchive::Node KeyedArchive::dictValue(Node dict, const char* key) const
{
    Object d;
    if (!object(dict, &d) || d.type != Dict)
        return -1;
    const quint64 keyLength = std::strlen(key);
    const quint64 size = quint64(m_bytes.size());
    const auto* bytes = reinterpret_cast<const uchar*>(m_bytes.constData());
    for (quint64 i = 0; i < d.count; ++i) {
        Node k = -1;
        quint64 offset = 0;
        if (!ref(d.payload + i * quint64(m_refSize), &k)
            || !uint(m_table + quint64(k) * quint64(m_offsetSize), m_offsetSize, &offset) || offset >= size)
            continue;
        // Keys are ASCII strings, compared in place; the marker of a short one holds its length.
        const int marker = bytes[offset];
        bool same = false;
        if ((marker >> 4) == Ascii && (marker & 0xF) != kCountFollows) {
            same = quint64(marker & 0xF) == keyLength && keyLength < size - offset
                && std::memcmp(bytes + offset + 1, key, keyLength) == 0;
        } else if ((marker >> 4) == Ascii || (marker >> 4) == Utf16) {
            Object ko;
            same = object(k, &ko) && (ko.type == Utf16 ? text(k) == QLatin1String(key)
                                                      : ko.count == keyLength
                                                            && std::memcmp(bytes + ko.payload, key, keyLength) == 0);
        }
        Node v = -1;
        if (same && ref(d.payload + (d.count + i) * quint64(m_refSize), &v))
            return v;
    }
    return -1;
}

KeyedArchive::Node KeyedArchive::member(Node dict, const char* key) const
{
    return resolve(dictValue(dict, key));
}

QString KeyedArchive::text(Node n) const
{
    Object o;
    if (!object(n, &o))
        return QString();
    const char* p = m_bytes.constData() + o.payload;
    QString out;
    if (o.type == Ascii) {
        out = QString::fromUtf8(p, qsizetype(o.count)); // UTF-8 is what writers that ignore the type put there
    } else if (o.type == Utf16) {
        out.resize(qsizetype(o.count));
        for (quint64 i = 0; i < o.count; ++i)
            out[qsizetype(i)] = QChar(ushort((uchar(p[2 * i]) << 8) | uchar(p[2 * i + 1])));
    }
    const qsizetype nul = out.indexOf(QChar(0));
    return nul < 0 ? out : out.left(nul);
}

bool KeyedArchive::number(Node n, qint64* value) const
{
    Object o;
    if (!object(n, &o))
        return false;
    quint64 v = 0;
    switch (o.type) {
    case Int:
        // A 16-byte integer is kept for values past 63 bits: its low half is the value.
        if (o.low > 4 || !(o.low == 4 ? uint(o.payload + 8, 8, &v) : uint(o.payload, 1 << o.low, &v)))
            return false;
        *value = qint64(v);
        return true;
    case Real: {
        double d = 0;
        if (o.low == 2 && uint(o.payload, 4, &v)) {
            float f = 0;
            const quint32 bits = quint32(v);
            std::memcpy(&f, &bits, sizeof f);
            d = f;
        } else if (o.low == 3 && uint(o.payload, 8, &v)) {
            std::memcpy(&d, &v, sizeof d);
        } else {
            return false;
        }
        if (!std::isfinite(d))
            return false;
        // 2^63 itself does not fit: the bounds are compared, never converted.
        const double limit = 9223372036854774784.0; // the largest double below 2^63
        *value = d >= limit ? std::numeric_limits<qint64>::max()
               : d <= -limit ? std::numeric_limits<qint64>::min()
                             : qint64(std::floor(d));
        return true;
    }
    case Simple:
        if (o.low != kFalse && o.low != kTrue)
            return false;
        *value = o.low == kTrue ? 1 : 0;
        return true;
    default:
        return false;
    }
}

bool KeyedArchive::integer(Node dict, const char* key, qint64* value) const
{
    return number(member(dict, key), value);
}

QString KeyedArchive::string(Node dict, const char* key) const
{
    return text(member(dict, key));
}

QByteArray KeyedArchive::data(Node dict, const char* key) const
{
    Node n = member(dict, key);
    Object o;
    if (object(n, &o) && o.type == Dict)
        n = member(n, "NS.data");
    if (!object(n, &o) || o.type != Data)
        return QByteArray();
    return m_bytes.mid(qsizetype(o.payload), qsizetype(o.count));
}

QString KeyedArchive::className(Node object) const
{
    return string(member(object, "$class"), "$classname");
}
