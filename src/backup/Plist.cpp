#include "Plist.h"

#include <cstring>
#include <vector>

namespace {

const qint64 kMaxPlistBytes = kMaxPlistFileBytes;
// Limits on property lists before the plist library sees them. Real ones are a few megabytes,
// a few levels deep, with few shared objects.
const int kMaxPlistDepth = 512;
const quint64 kMaxPlistNodes = 1u << 22;

// Binary property list, read only as far as needed to bound the tree it expands to:
//
//   offset 0           size 8  "bplist00"
//   objects                    marker byte: high nibble type, low nibble count; a count of 0xF
//                              is followed by an integer object (marker 0x1n, 2^n bytes)
//                              0xA array, 0xC set: count refs; 0xD dict: count key refs, count value refs
//   offset table               num_objects offsets of offset_size bytes
//   trailer, last 32:  offset 6   size 1  offset_size
//                      offset 7   size 1  object_ref_size
//                      offset 8   size 8  num_objects
//                      offset 16  size 8  root object
//                      offset 24  size 8  offset table offset
//
// All numbers big-endian.
const int kBplistHeaderSize = 8;
const int kBplistTrailerSize = 32;
const int kTrailerOffsetSize = 6;
const int kTrailerRefSize = 7;
const int kTrailerObjectCount = 8;
const int kTrailerRoot = 16;
const int kTrailerTableOffset = 24;
const uchar kMarkerArray = 0xA;
const uchar kMarkerSet = 0xC;
const uchar kMarkerDict = 0xD;
const uchar kMarkerInt = 0x1;
const uchar kCountFollows = 0xF;

// Bounded big-endian reader over the whole buffer.
class BplistCursor
{
public:
    explicit BplistCursor(const QByteArray& bytes)
        : m_data(reinterpret_cast<const uchar*>(bytes.constData())), m_size(quint64(bytes.size()))
    {
    }
    quint64 size() const { return m_size; }
    // `width` bytes at `offset`; false when they are not all inside the buffer.
    bool uint(quint64 offset, int width, quint64* value) const
    {
        if (width < 1 || width > 8 || offset > m_size || m_size - offset < quint64(width))
            return false;
        quint64 v = 0;
        for (int i = 0; i < width; ++i)
            v = (v << 8) | m_data[offset + quint64(i)];
        *value = v;
        return true;
    }

private:
    const uchar* m_data;
    quint64 m_size;
};

struct BplistLayout {
    int offsetSize = 0;
    int refSize = 0;
    quint64 objects = 0;
    quint64 root = 0;
    quint64 table = 0;
};

bool readBplistLayout(const BplistCursor& in, BplistLayout* l)
{
    if (in.size() < quint64(kBplistHeaderSize + kBplistTrailerSize))
        return false;
    const quint64 trailer = in.size() - kBplistTrailerSize;
    quint64 offsetSize = 0, refSize = 0;
    if (!in.uint(trailer + kTrailerOffsetSize, 1, &offsetSize) || !in.uint(trailer + kTrailerRefSize, 1, &refSize)
        || !in.uint(trailer + kTrailerObjectCount, 8, &l->objects) || !in.uint(trailer + kTrailerRoot, 8, &l->root)
        || !in.uint(trailer + kTrailerTableOffset, 8, &l->table))
        return false;
    if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8 || l->objects == 0 || l->root >= l->objects)
        return false;
    l->offsetSize = int(offsetSize);
    l->refSize = int(refSize);
    // Every object takes at least one byte and one table entry inside the file.
    return l->table <= trailer && l->objects <= (trailer - l->table) / offsetSize && l->objects <= trailer;
}

// Where an object's references lie: `n` refs of the layout's width from `refs`; n is 0 for
// objects that refer to nothing. False when the object cannot be read.
bool bplistRefs(const BplistCursor& in, const BplistLayout& l, quint64 object, quint64* refs, quint64* n)
{
    *n = 0;
    quint64 offset = 0, marker = 0;
    if (!in.uint(l.table + object * quint64(l.offsetSize), l.offsetSize, &offset) || !in.uint(offset, 1, &marker))
        return false;
    const uchar type = uchar(marker >> 4);
    if (type != kMarkerArray && type != kMarkerSet && type != kMarkerDict)
        return true;
    quint64 count = marker & 0xF;
    *refs = offset + 1;
    if (count == kCountFollows) {
        quint64 intMarker = 0;
        if (!in.uint(*refs, 1, &intMarker) || (intMarker >> 4) != kMarkerInt || (intMarker & 0xF) > 3)
            return false;
        const int width = 1 << (intMarker & 0xF);
        if (!in.uint(*refs + 1, width, &count))
            return false;
        *refs += 1 + quint64(width);
    }
    const quint64 perEntry = quint64(type == kMarkerDict ? 2 : 1);
    if (*refs > in.size() || count > (in.size() - *refs) / (perEntry * quint64(l.refSize)))
        return false;
    *n = count * perEntry;
    return true;
}

// True when the tree the plist library would build stays within the depth and node limits, and
// the references hold no cycle. Each object is walked once; shared ones are counted per use.
bool binaryPlistIsBounded(const QByteArray& bytes)
{
    const BplistCursor in(bytes);
    BplistLayout l;
    if (!readBplistLayout(in, &l) || l.objects > kMaxPlistNodes)
        return false;
    enum : uchar { Unvisited, OnPath, Done };
    std::vector<uchar> state(size_t(l.objects), Unvisited);
    std::vector<quint32> nodes(size_t(l.objects), 0); // expanded size, saturating past the limit
    struct Frame {
        quint64 object;
        quint64 refs;
        quint64 n;
        quint64 next;
        quint64 nodes;
    };
    std::vector<Frame> path;
    auto enter = [&](quint64 object) {
        Frame f{object, 0, 0, 0, 1};
        if (int(path.size()) >= kMaxPlistDepth || !bplistRefs(in, l, object, &f.refs, &f.n))
            return false;
        state[size_t(object)] = OnPath;
        path.push_back(f);
        return true;
    };
    if (!enter(l.root))
        return false;
    while (!path.empty()) {
        Frame& top = path.back();
        if (top.next < top.n) {
            quint64 child = 0;
            if (!in.uint(top.refs + top.next * quint64(l.refSize), l.refSize, &child) || child >= l.objects)
                return false;
            ++top.next;
            if (state[size_t(child)] == OnPath)
                return false; // a cycle: never a valid property list
            if (state[size_t(child)] == Done)
                top.nodes = qMin(top.nodes + nodes[size_t(child)], kMaxPlistNodes + 1);
            else if (!enter(child))
                return false;
            continue;
        }
        const quint64 done = top.nodes;
        if (done > kMaxPlistNodes)
            return false;
        state[size_t(top.object)] = Done;
        nodes[size_t(top.object)] = quint32(done);
        path.pop_back();
        if (!path.empty())
            path.back().nodes = qMin(path.back().nodes + done, kMaxPlistNodes + 1);
    }
    return true;
}

// True when no element of an XML property list nests deeper than the limit. Counts open and
// close tags; comments, processing instructions and CDATA sections are skipped.
bool xmlPlistIsBounded(const QByteArray& bytes)
{
    const char* p = bytes.constData();
    const char* const end = p + bytes.size();
    int depth = 0;
    auto skipPast = [&](const char* from, const char* terminator) {
        const qsizetype n = qstrlen(terminator);
        const qsizetype at = QByteArrayView(from, end - from).indexOf(QByteArrayView(terminator, n));
        return at < 0 ? end : from + at + n;
    };
    while (p < end) {
        const char* lt = static_cast<const char*>(std::memchr(p, '<', size_t(end - p)));
        if (!lt || lt + 1 >= end)
            break;
        const char c = lt[1];
        if (c == '!') {
            if (end - lt >= 4 && std::memcmp(lt, "<!--", 4) == 0)
                p = skipPast(lt + 4, "-->");
            else if (end - lt >= 9 && std::memcmp(lt, "<![CDATA[", 9) == 0)
                p = skipPast(lt + 9, "]]>");
            else
                p = skipPast(lt + 2, ">");
        } else if (c == '?') {
            p = skipPast(lt + 2, "?>");
        } else if (c == '/') {
            --depth;
            p = skipPast(lt + 2, ">");
        } else {
            const char* gt = skipPast(lt + 1, ">");
            if (gt == end || gt[-2] != '/') {
                if (++depth > kMaxPlistDepth)
                    return false;
            }
            p = gt;
        }
    }
    return true;
}

// Only regular files: a FIFO planted under the expected name would block forever, a link to a
// device would never end.
} // namespace

void readPlistString(plist_t dict, const char* key, QString& target)
{
    if (!dict || plist_get_node_type(dict) != PLIST_DICT)
        return;
    plist_t node = plist_access_path(dict, 1, key);
    if (!node)
        return;
    bool isString = false;
    const QString text = plistStringText(node, &isString);
    if (isString)
        target = text;
}

QString plistStringText(plist_t node, bool* isString)
{
    // The library's string getter aborts on an embedded NUL; its pointer getter does not.
    uint64_t length = 0;
    const char* p = node ? plist_get_string_ptr(node, &length) : nullptr;
    if (isString)
        *isString = p != nullptr;
    if (!p)
        return QString();
    const void* nul = std::memchr(p, 0, size_t(length));
    return QString::fromUtf8(p, nul ? qsizetype(static_cast<const char*>(nul) - p) : qsizetype(length));
}

void readPlistBool(plist_t dict, const char* key, bool& target)
{
    if (!dict || plist_get_node_type(dict) != PLIST_DICT)
        return;
    plist_t node = plist_access_path(dict, 1, key);
    if (!node)
        return;
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        target = b != 0;
        break;
    }
    case PLIST_UINT: {
        uint64_t v = 0;
        plist_get_uint_val(node, &v);
        target = (v & 0xFF) != 0;
        break;
    }
    default:
        target = false;
        break;
    }
}

plist_t plistFromBytes(const QByteArray& bytes, bool allowBinary, bool allowXml)
{
    if (bytes.isEmpty() || bytes.size() > kMaxPlistBytes)
        return nullptr;
    const bool binary = bytes.startsWith("bplist");
    // The plist library recurses once per nesting level and copies an object once per reference
    // to it: hostile nesting overflows the stack, shared references multiply without bound.
    if (binary ? !binaryPlistIsBounded(bytes) : !xmlPlistIsBounded(bytes))
        return nullptr;
    plist_t root = nullptr;
    if (allowBinary && binary)
        plist_from_bin(bytes.constData(), uint32_t(bytes.size()), &root);
    if (!root && allowXml && !binary)
        plist_from_xml(bytes.constData(), uint32_t(bytes.size()), &root);
    return root;
}

