// Signature carver of deleted media in raw disk images.
//
// The parsing is hand-written: no Debian library carves files out of raw bytes, and the decoders
// there want a whole file and trust its lengths. Everything here assumes hostile input: reads go
// through Image, which never reads past the image's end; each kind has a size cap; every walk
// takes a bounded number of steps.

#include "MediaCarver_p.h"

#include "utility/SafeIo.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <vector>

#include <unistd.h>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define MEDIACARVE_X86 1
#include <immintrin.h>
#endif

namespace mediacarve {

namespace {

// Every kind the carver writes and the device folder its files are tied to: a raw image names no
// files, so pictures and videos go with the camera roll, recordings with the voice memos.
const char kCameraFolder[] = "/mnt2/mobile/Media/DCIM/carved/";
const char kRecordingsFolder[] = "/mnt2/mobile/Media/Recordings/carved/";
const struct {
    const char* ext;
    const char* folder;
} kKinds[] = {{"jpg", kCameraFolder}, {"png", kCameraFolder},      {"ico", kCameraFolder}, {"gif", kCameraFolder},
              {"tif", kCameraFolder}, {"tiff", kCameraFolder},     {"bmp", kCameraFolder}, {"m4a", kRecordingsFolder},
              {"mov", kCameraFolder}, {"3gp", kCameraFolder},      {"m4v", kCameraFolder}, {"mp4", kCameraFolder},
              {"3g2", kCameraFolder}, {"amr", kRecordingsFolder},  {"avi", kCameraFolder}, {"mpg", kCameraFolder},
              {"wmv", kCameraFolder}};

} // namespace

QStringList supportedExtensions()
{
    QStringList out;
    for (const auto& k : kKinds)
        out << QLatin1String(k.ext);
    return out;
}

namespace {

// Large sequential reads make one pass about as fast as reading the image, and a block small
// enough to stay in the cache between the read and the scan saves a trip to memory. The overlap
// lets a signature that straddles two blocks be seen whole.
constexpr qint64 kBlock = 1 << 20;
constexpr qint64 kOverlap = 64;
constexpr qint64 kWindow = 256 << 10;
// Random reads of a walk are small; a whole window per read would cost more than the walk.
constexpr qint64 kMinRefill = 4096;
constexpr qint64 kMaxPicture = 256ll << 20;
constexpr qint64 kMaxVideo = 4ll << 30;
constexpr int kMaxSteps = 1 << 20;
// A walk rejected this far from its start went through bytes that looked like the kind all along;
// its other candidates up to there would walk the same bytes again, so they are not tried.
constexpr qint64 kLongWalk = 64 << 10;
// Entropy-coded bytes a JPEG cut short must keep to be worth writing: a decoder shows a band.
constexpr qint64 kMinJpegScan = 1024;
constexpr int kMinAmrFrames = 10;

inline quint16 be16(const uint8_t* p) { return quint16(p[0] << 8 | p[1]); }
inline quint32 be32(const uint8_t* p) { return quint32(p[0]) << 24 | quint32(p[1]) << 16 | quint32(p[2]) << 8 | p[3]; }
inline quint64 be64(const uint8_t* p) { return quint64(be32(p)) << 32 | be32(p + 4); }
inline quint16 le16(const uint8_t* p) { return quint16(p[1] << 8 | p[0]); }
inline quint32 le32(const uint8_t* p) { return quint32(p[3]) << 24 | quint32(p[2]) << 16 | quint32(p[1]) << 8 | p[0]; }
inline quint64 le64(const uint8_t* p) { return quint64(le32(p + 4)) << 32 | le32(p); }

// Slicing by eight: PNG checksums are the largest part of the walks' time.
using CrcTables = std::array<std::array<quint32, 256>, 8>;
constexpr CrcTables makeCrcTables()
{
    CrcTables t{};
    for (quint32 i = 0; i < 256; ++i) {
        quint32 c = i;
        for (int k = 0; k < 8; ++k)
            c = c & 1 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[0][i] = c;
    }
    for (int k = 1; k < 8; ++k)
        for (int i = 0; i < 256; ++i)
            t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
    return t;
}
constexpr CrcTables kCrc = makeCrcTables();

inline quint32 crcUpdate(quint32 crc, const uint8_t* p, qint64 n)
{
    for (; n >= 8; p += 8, n -= 8) {
        const quint32 one = le32(p) ^ crc, two = le32(p + 4);
        crc = kCrc[7][one & 0xFF] ^ kCrc[6][(one >> 8) & 0xFF] ^ kCrc[5][(one >> 16) & 0xFF] ^ kCrc[4][one >> 24]
              ^ kCrc[3][two & 0xFF] ^ kCrc[2][(two >> 8) & 0xFF] ^ kCrc[1][(two >> 16) & 0xFF] ^ kCrc[0][two >> 24];
    }
    for (; n > 0; ++p, --n)
        crc = kCrc[0][(crc ^ *p) & 0xFF] ^ (crc >> 8);
    return crc;
}

// The image's bytes: the block being scanned, and a window for reads outside it.
class Image
{
public:
    Image(int fd, const uint8_t* memory, qint64 size) : m_fd(fd), m_memory(memory), m_size(size) {}

    qint64 size() const { return m_size; }
    bool failed() const { return m_failed; }

    // Up to n bytes at off; the count read, -1 on a read error. A file that shrank ends where it stops.
    qint64 read(qint64 off, uint8_t* dst, qint64 n)
    {
        n = std::max<qint64>(0, std::min(n, m_size - off));
        if (m_memory) {
            std::memcpy(dst, m_memory + off, size_t(n));
            return n;
        }
        const int64_t got = ibrio::readAt(m_fd, dst, size_t(n), uint64_t(off));
        if (got < 0) {
            m_failed = true;
            return -1;
        }
        if (got < n)
            m_size = off + got;
        return got;
    }

    void setBlock(const uint8_t* data, qint64 start, qint64 length)
    {
        m_block = data;
        m_blockStart = start;
        m_blockLength = length;
    }

    // n (at most kWindow) bytes at off, or nullptr when they are not all inside the image. Valid
    // until the next read: it may refill the window the pointer is into.
    const uint8_t* at(qint64 off, qint64 n)
    {
        if (off < 0 || n < 0 || n > kWindow || off > m_size - n)
            return nullptr;
        if (off >= m_blockStart && off + n <= m_blockStart + m_blockLength)
            return m_block + (off - m_blockStart);
        if (off >= m_windowStart && off + n <= m_windowStart + m_windowLength)
            return m_window.data() + (off - m_windowStart);
        if (m_window.empty())
            m_window.resize(kWindow);
        m_windowLength = 0;
        const qint64 got = read(off, m_window.data(), std::min(std::max(n, kMinRefill), m_size - off));
        if (got < n)
            return nullptr;
        m_windowStart = off;
        m_windowLength = got;
        return m_window.data();
    }

    // Up to `want` bytes from off, as many as lie together in the block or the window (at least
    // one), in *got; nullptr past the end. For running through long stretches without reading
    // the same bytes again.
    const uint8_t* span(qint64 off, qint64 want, qint64* got)
    {
        want = std::min({want, kWindow, m_size - off});
        if (off < 0 || want <= 0)
            return nullptr;
        if (off >= m_blockStart && off < m_blockStart + m_blockLength) {
            *got = std::min(want, m_blockStart + m_blockLength - off);
            return m_block + (off - m_blockStart);
        }
        if (off >= m_windowStart && off < m_windowStart + m_windowLength) {
            *got = std::min(want, m_windowStart + m_windowLength - off);
            return m_window.data() + (off - m_windowStart);
        }
        const uint8_t* d = at(off, std::min(kWindow, m_size - off));
        *got = d ? std::min(want, m_windowLength) : 0;
        return d;
    }

private:
    int m_fd;
    const uint8_t* m_memory;
    qint64 m_size;
    bool m_failed = false;
    const uint8_t* m_block = nullptr;
    qint64 m_blockStart = 0, m_blockLength = 0;
    std::vector<uint8_t> m_window;
    qint64 m_windowStart = 0, m_windowLength = 0;
};

enum Kind { Jpeg, Png, Gif, Bmp, Ico, Tiff, Iso, Avi, Asf, Amr, Mpg, KindCount };

struct Walk {
    qint64 end = 0;           // the file is [start, end)
    const char* ext = nullptr;
    qint64 reach = 0;         // a rejected walk: how far it read
};

// ---- JPEG

bool isSof(uint8_t m) { return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC; }
bool isSegment(uint8_t m) { return (m >= 0xC0 && m <= 0xCF) || (m >= 0xDA && m <= 0xDF) || (m >= 0xE0 && m <= 0xEF) || m == 0xFE; }

struct JpegState {
    bool frame = false;    // a frame header was seen
    bool restarts = false; // a restart interval was defined
    int nextRestart = 0;
    int steps = 0;
};

// Segments from p up to and including a scan header; the position after it, or -1. Each is
// skipped whole by its length: an EXIF thumbnail inside APP1 never ends the outer picture.
qint64 walkSegments(Image& im, qint64 p, qint64 limit, JpegState* st)
{
    for (;;) {
        if (++st->steps > kMaxSteps)
            return -1;
        const uint8_t* h = p + 4 <= limit ? im.at(p, 4) : nullptr;
        if (!h || h[0] != 0xFF)
            return -1;
        if (h[1] == 0xFF) { // fill byte
            ++p;
            continue;
        }
        // Copied: a read further on may move the window h points into.
        const uint8_t marker = h[1];
        const int length = be16(h + 2);
        if (!isSegment(marker) || length < 2)
            return -1;
        st->frame = st->frame || isSof(marker);
        if (marker == 0xDD) {
            const uint8_t* interval = im.at(p + 4, 2);
            st->restarts = interval && be16(interval) != 0;
        }
        p += 2 + length;
        if (marker == 0xDA) {
            st->nextRestart = 0;
            return st->frame ? p : -1;
        }
    }
}

bool walkJpeg(Image& im, qint64 s, Walk* w)
{
    const uint8_t* b = im.at(s, 3);
    if (!b || b[0] != 0xFF || b[1] != 0xD8 || b[2] != 0xFF)
        return false;
    const qint64 limit = std::min(im.size(), s + kMaxPicture);
    JpegState st;
    qint64 p = walkSegments(im, s + 2, limit, &st);
    if (p < 0)
        return false;
    const qint64 scanStart = p;
    // After the last stuffed byte or restart marker: still the picture's own bytes. Restart
    // markers count only in their order and when an interval was set: in other data one of the
    // eight turns up far more often than a stuffed zero.
    qint64 good = p;
    while (p < limit) {
        qint64 n = 0;
        const uint8_t* d = im.span(p, limit - p, &n);
        if (!d)
            break;
        const void* ff = std::memchr(d, 0xFF, size_t(n));
        if (!ff) {
            p += n;
            continue;
        }
        const qint64 q = p + (static_cast<const uint8_t*>(ff) - d);
        const uint8_t* m = im.at(q + 1, 1);
        if (!m) {
            p = q + 1;
            break;
        }
        if (*m == 0x00 || (st.restarts && *m == 0xD0 + st.nextRestart)) {
            if (*m != 0x00)
                st.nextRestart = (st.nextRestart + 1) & 7;
            p = q + 2;
            good = p;
        } else if (*m == 0xFF) {
            p = q + 1;
        } else if (*m == 0xD9) {
            w->end = q + 2;
            w->ext = "jpg";
            return true;
        } else if (isSegment(*m)) { // tables and the next scan of a progressive picture
            const qint64 next = walkSegments(im, q, limit, &st);
            if (next < 0) {
                p = q;
                break;
            }
            p = next;
        } else {
            break;
        }
    }
    // Cut short (by the image's end, or by other data overwriting the rest): the headers and the
    // rows decoded so far are still a picture. Where other data took over is unknown, so the file
    // ends at the last point known to be the picture's own.
    const qint64 end = p >= im.size() ? im.size() : good;
    if (end - scanStart < kMinJpegScan) {
        w->reach = p;
        return false;
    }
    w->end = end;
    w->ext = "jpg";
    return true;
}

// ---- PNG

const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

bool isChunkType(const uint8_t* t)
{
    for (int i = 0; i < 4; ++i)
        if (!((t[i] >= 'A' && t[i] <= 'Z') || (t[i] >= 'a' && t[i] <= 'z')))
            return false;
    return true;
}

bool walkPng(Image& im, qint64 s, Walk* w)
{
    const uint8_t* b = im.at(s, 33);
    if (!b || std::memcmp(b, kPngSignature, 8) != 0 || be32(b + 8) != 13 || std::memcmp(b + 12, "IHDR", 4) != 0
        || crcUpdate(0xFFFFFFFFu, b + 12, 17) != ~be32(b + 29))
        return false;
    const qint64 limit = std::min(im.size(), s + kMaxPicture);
    qint64 p = s + 8;
    qint64 good = 0;
    bool pixels = false;
    for (int steps = 0; steps < kMaxSteps; ++steps) {
        const uint8_t* h = im.at(p, 8);
        if (!h)
            break;
        const quint32 length = be32(h);
        if (length > 0x7FFFFFFFu || !isChunkType(h + 4) || qint64(length) + 12 > limit - p)
            break;
        char type[4];
        std::memcpy(type, h + 4, 4);
        // Every chunk's checksum: a chunk whose tail was overwritten must not be written as whole.
        quint32 crc = crcUpdate(0xFFFFFFFFu, h + 4, 4);
        qint64 q = p + 8;
        const qint64 dataEnd = q + length;
        bool readable = true;
        while (q < dataEnd) {
            qint64 n = 0;
            const uint8_t* d = im.span(q, dataEnd - q, &n);
            if (!d) {
                readable = false;
                break;
            }
            crc = crcUpdate(crc, d, n);
            q += n;
        }
        const uint8_t* stored = readable ? im.at(dataEnd, 4) : nullptr;
        if (!stored || ~crc != be32(stored))
            break;
        p = dataEnd + 4;
        good = p;
        if (std::memcmp(type, "IDAT", 4) == 0)
            pixels = true;
        if (std::memcmp(type, "IEND", 4) == 0) {
            w->end = p;
            w->ext = "png";
            return true;
        }
    }
    // Whole chunks up to some image data: a decoder shows the rows they hold.
    if (pixels) {
        w->end = good;
        w->ext = "png";
        return true;
    }
    w->reach = p;
    return false;
}

// ---- GIF

bool skipSubBlocks(Image& im, qint64* q, qint64 limit, int* steps, qint64* bytes)
{
    while (++*steps < kMaxSteps) {
        const uint8_t* n = im.at(*q, 1);
        if (!n)
            return false;
        *bytes += *n;
        *q += 1 + *n;
        if (*q > limit)
            return false;
        if (*n == 0)
            return true;
    }
    return false;
}

bool walkGif(Image& im, qint64 s, Walk* w)
{
    const uint8_t* b = im.at(s, 13);
    if (!b || (std::memcmp(b, "GIF87a", 6) != 0 && std::memcmp(b, "GIF89a", 6) != 0) || le16(b + 6) == 0
        || le16(b + 8) == 0)
        return false;
    const int screenWidth = le16(b + 6), screenHeight = le16(b + 8);
    const qint64 limit = std::min(im.size(), s + kMaxPicture);
    qint64 p = s + 13;
    if (b[10] & 0x80)
        p += 3 << ((b[10] & 7) + 1);
    qint64 good = 0, beforeLast = 0;
    int images = 0, imagesBeforeLast = 0;
    int steps = 0;
    while (++steps < kMaxSteps) {
        const uint8_t* c = im.at(p, 1);
        if (!c)
            break;
        const uint8_t introducer = *c;
        if (introducer == 0x3B) {
            w->end = p + 1;
            w->ext = "gif";
            return true;
        }
        // Only the extensions there are and pictures inside the screen: other data that took over
        // after a cut passes for a block far less often.
        qint64 q = p;
        qint64 most = kMaxPicture; // bytes of data the block can hold
        if (introducer == 0x21) {
            const uint8_t* label = im.at(p + 1, 1);
            if (!label || (*label != 0x01 && *label != 0xF9 && *label != 0xFE && *label != 0xFF))
                break;
            q += 2;
        } else if (introducer == 0x2C) {
            const uint8_t* d = im.at(p, 11);
            if (!d || le16(d + 1) + le16(d + 5) > screenWidth || le16(d + 3) + le16(d + 7) > screenHeight)
                break;
            // Codes are at most 12 bits and each gives a pixel or more; a quarter more for the
            // clear codes. A run of sub-blocks through other data is mostly longer.
            most = qint64(le16(d + 5)) * le16(d + 7) * 15 / 8 + 256;
            q += 10;
            if (d[9] & 0x80)
                q += 3 << ((d[9] & 7) + 1);
            const uint8_t* codeSize = im.at(q, 1);
            if (!codeSize || *codeSize < 2 || *codeSize > 11)
                break;
            ++q;
        } else {
            break;
        }
        qint64 bytes = 0;
        if (!skipSubBlocks(im, &q, limit, &steps, &bytes) || bytes > most)
            break;
        beforeLast = good;
        imagesBeforeLast = images;
        images += introducer == 0x2C;
        p = q;
        good = p;
    }
    // No trailer. Sub-blocks end at the first zero length, which other data that took over holds
    // soon enough, so the last block may hold some of it: it is left out. Whole blocks with at
    // least one whole picture before it still show without the trailer.
    if (imagesBeforeLast > 0) {
        w->end = beforeLast;
        w->ext = "gif";
        return true;
    }
    w->reach = p;
    return false;
}

// ---- BMP

bool walkBmp(Image& im, qint64 s, Walk* w)
{
    const uint8_t* b = im.at(s, 34);
    if (!b || b[0] != 'B' || b[1] != 'M')
        return false;
    const qint64 fileSize = le32(b + 2);
    const qint64 pixels = le32(b + 10);
    const quint32 dib = le32(b + 14);
    qint64 width, height;
    int planes, bpp;
    quint32 compression = 0;
    if (dib == 12) {
        width = le16(b + 18);
        height = le16(b + 20);
        planes = le16(b + 22);
        bpp = le16(b + 24);
    } else if (dib == 40 || dib == 52 || dib == 56 || dib == 108 || dib == 124) {
        width = qint32(le32(b + 18));
        height = qint32(le32(b + 22));
        planes = le16(b + 26);
        bpp = le16(b + 28);
        compression = le32(b + 30);
    } else {
        return false;
    }
    height = height < 0 ? -height : height;
    if (planes != 1 || (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) || width <= 0
        || width > 65535 || height == 0 || height > 65535 || fileSize > kMaxPicture || pixels < 14 + qint64(dib)
        || pixels >= fileSize || compression > 6)
        return false;
    // Uncompressed rows have a known size: a header that promises fewer bytes than its rows is noise.
    const qint64 stride = (width * bpp + 31) / 32 * 4;
    if ((compression == 0 || compression == 3 || compression == 6) && fileSize < pixels + stride * height)
        return false;
    // Cut by the image's end: the header and the rows that survived still show.
    w->end = std::min(s + fileSize, im.size());
    w->ext = "bmp";
    return true;
}

// ---- ICO

bool walkIco(Image& im, qint64 s, Walk* w)
{
    const uint8_t* b = im.at(s, 6);
    if (!b || le16(b) != 0 || le16(b + 2) != 1 || le16(b + 4) == 0 || le16(b + 4) > 64)
        return false;
    const int count = le16(b + 4);
    const qint64 directoryEnd = 6 + 16 * count;
    std::vector<uint8_t> directory(size_t(16 * count));
    const uint8_t* d = im.at(s + 6, 16 * count);
    if (!d)
        return false;
    std::memcpy(directory.data(), d, directory.size());
    qint64 end = s + directoryEnd;
    for (int i = 0; i < count; ++i) {
        const uint8_t* e = directory.data() + 16 * i;
        const int planes = le16(e + 4), bpp = le16(e + 6);
        const qint64 size = le32(e + 8), offset = le32(e + 12);
        if (e[3] != 0 || planes > 1 || (bpp != 0 && bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32)
            || size < 40 || offset < directoryEnd || offset + size > kMaxPicture)
            return false;
        // Each picture is a PNG or a device-independent bitmap; anything else is not an icon.
        const uint8_t* first = im.at(s + offset, 8);
        if (!first || (std::memcmp(first, kPngSignature, 8) != 0 && le32(first) != 40))
            return false;
        end = std::max(end, s + offset + size);
    }
    w->end = std::min(end, im.size());
    w->ext = "ico";
    return true;
}

// ---- TIFF

bool walkTiff(Image& im, qint64 s, Walk* w)
{
    const uint8_t* b = im.at(s, 8);
    if (!b)
        return false;
    const bool little = std::memcmp(b, "II*\0", 4) == 0;
    if (!little && std::memcmp(b, "MM\0*", 4) != 0)
        return false;
    auto u16 = [little](const uint8_t* p) { return little ? le16(p) : be16(p); };
    auto u32 = [little](const uint8_t* p) { return little ? le32(p) : be32(p); };
    static const int kTypeSize[14] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
    qint64 end = s + 8;
    qint64 ifd = u32(b + 4);
    std::vector<qint64> visited;
    for (;;) {
        const bool first = visited.empty();
        if (ifd < 8 || ifd > kMaxPicture || visited.size() >= 64 || std::find(visited.begin(), visited.end(), ifd) != visited.end()) {
            if (first)
                return false;
            break; // a loop or a broken link ends the chain; the directories before it stand
        }
        visited.push_back(ifd);
        const uint8_t* c = im.at(s + ifd, 2);
        const int n = c ? u16(c) : 0;
        const uint8_t* entries = n > 0 && n <= 4096 ? im.at(s + ifd + 2, 12 * n + 4) : nullptr;
        if (!entries) {
            if (first)
                return false;
            break;
        }
        std::vector<uint8_t> copy(entries, entries + 12 * n + 4); // the window moves while arrays are read
        entries = copy.data();
        qint64 ifdEnd = s + ifd + 2 + 12 * n + 4;
        struct Array { quint32 type = 0, count = 0; qint64 at = 0; } offsets[2], counts[2]; // strips, tiles
        bool width = false, length = false, valid = true;
        int previousTag = -1;
        for (int i = 0; i < n && valid; ++i) {
            const uint8_t* e = entries + 12 * i;
            const int tag = u16(e), type = u16(e + 2);
            const quint32 count = u32(e + 4);
            if (tag <= previousTag || type < 1 || type > 13) {
                valid = false;
                break;
            }
            previousTag = tag;
            const qint64 bytes = qint64(count) * kTypeSize[type];
            qint64 valueAt = s + ifd + 2 + 12 * i + 8;
            if (bytes > 4) {
                valueAt = s + u32(e + 8);
                if (u32(e + 8) < 8 || u32(e + 8) + bytes > kMaxPicture) {
                    valid = false;
                    break;
                }
                ifdEnd = std::max(ifdEnd, valueAt + bytes);
            }
            const Array a{quint32(type), count, valueAt};
            if (tag == 256) width = true;
            if (tag == 257) length = true;
            if (tag == 273) offsets[0] = a;
            if (tag == 279) counts[0] = a;
            if (tag == 324) offsets[1] = a;
            if (tag == 325) counts[1] = a;
        }
        for (int k = 0; k < 2 && valid; ++k) {
            const Array& o = offsets[k];
            const Array& c = counts[k];
            if (!o.count)
                continue;
            if (o.count != c.count || o.count > 65536 || (o.type != 3 && o.type != 4) || (c.type != 3 && c.type != 4)) {
                valid = false;
                break;
            }
            const int os = o.type == 3 ? 2 : 4, cs = c.type == 3 ? 2 : 4;
            for (quint32 i = 0; i < o.count && valid; ++i) {
                const uint8_t* po = im.at(o.at + qint64(i) * os, os);
                const qint64 off = po ? (os == 2 ? u16(po) : u32(po)) : -1;
                const uint8_t* pc = im.at(c.at + qint64(i) * cs, cs);
                const qint64 len = pc ? (cs == 2 ? u16(pc) : u32(pc)) : -1;
                if (off < 0 || len < 0 || off + len > kMaxPicture)
                    valid = false;
                else
                    ifdEnd = std::max(ifdEnd, s + off + len);
            }
        }
        if (first && (!valid || !width || !length || (!offsets[0].count && !offsets[1].count)))
            return false;
        if (!valid)
            break;
        end = std::max(end, ifdEnd);
        ifd = u32(entries + 12 * n);
        if (ifd == 0)
            break;
    }
    // Pieces past the image's end are lost; the directories that were read are whole.
    w->end = std::min(end, im.size());
    w->ext = "tif";
    return true;
}

// ---- ISO base media

bool isTopLevelBox(const uint8_t* t)
{
    static const char* const kTypes[] = {"ftyp", "moov", "mdat", "free", "skip", "wide", "uuid",
                                         "pdin", "moof", "mfra", "meta", "styp", "sidx"};
    for (const char* k : kTypes)
        if (std::memcmp(t, k, 4) == 0)
            return true;
    return false;
}

const char* isoExtension(const uint8_t* brand)
{
    if (std::memcmp(brand, "M4A ", 4) == 0)
        return "m4a";
    if (std::memcmp(brand, "qt  ", 4) == 0)
        return "mov";
    if (std::memcmp(brand, "3gp", 3) == 0)
        return "3gp";
    if (std::memcmp(brand, "3g2", 3) == 0)
        return "3g2";
    if (std::memcmp(brand, "M4V ", 4) == 0)
        return "m4v";
    return "mp4";
}

bool walkIso(Image& im, qint64 s, Walk* w)
{
    const uint8_t* b = im.at(s, 16);
    if (!b || std::memcmp(b + 4, "ftyp", 4) != 0 || be32(b) < 16 || be32(b) > 4096 || be32(b) % 4 != 0)
        return false;
    const char* ext = isoExtension(b + 8);
    const qint64 limit = s + kMaxVideo;
    qint64 p = s;
    bool movie = false, media = false, cut = false;
    for (int steps = 0; steps < kMaxSteps; ++steps) {
        const uint8_t* h = im.at(p, 16);
        if (!h && (h = im.at(p, 8)) == nullptr)
            break;
        if (!isTopLevelBox(h + 4))
            break;
        char type[4];
        std::memcpy(type, h + 4, 4);
        quint64 size = be32(h);
        qint64 header = 8;
        if (size == 1) {
            const uint8_t* large = im.at(p + 8, 8);
            if (!large)
                break;
            size = be64(large);
            header = 16;
        }
        // Size 0 means "to the end of the file", which a raw image does not have.
        if (size < quint64(header) || size > quint64(limit - p))
            break;
        if (qint64(size) > im.size() - p) {
            cut = true;
            break;
        }
        movie = movie || std::memcmp(type, "moov", 4) == 0 || std::memcmp(type, "moof", 4) == 0;
        media = media || std::memcmp(type, "mdat", 4) == 0;
        p += qint64(size);
    }
    if (movie && media) {
        w->end = p;
        w->ext = ext;
        return true;
    }
    // Cut by the image's end after the movie box: players find every track and play what is left.
    if (movie && cut) {
        w->end = im.size();
        w->ext = ext;
        return true;
    }
    w->reach = p;
    return false;
}

// ---- AVI

bool walkAvi(Image& im, qint64 s, Walk* w)
{
    const uint8_t* b = im.at(s, 24);
    if (!b || std::memcmp(b, "RIFF", 4) != 0 || std::memcmp(b + 8, "AVI ", 4) != 0 || std::memcmp(b + 12, "LIST", 4) != 0
        || std::memcmp(b + 20, "hdrl", 4) != 0 || le32(b + 4) < 16)
        return false;
    const qint64 end = s + 8 + le32(b + 4);
    qint64 p = s + 12;
    bool movi = false;
    for (int steps = 0; steps < kMaxSteps && p < end; ++steps) {
        const uint8_t* c = im.at(p, 12);
        if (!c) {
            // Cut by the image's end once the headers are whole: the frames so far still play.
            if (p > s + 12) {
                w->end = im.size();
                w->ext = "avi";
                return true;
            }
            return false;
        }
        for (int i = 0; i < 4; ++i)
            if (c[i] < 0x20 || c[i] > 0x7E)
                return false;
        movi = movi || (std::memcmp(c, "LIST", 4) == 0 && std::memcmp(c + 8, "movi", 4) == 0);
        const qint64 size = le32(c + 4);
        p += 8 + size + (size & 1);
    }
    if (p != end || !movi)
        return false;
    w->end = std::min(end, im.size());
    w->ext = "avi";
    return true;
}

// ---- ASF (wmv)

const uint8_t kAsfHeader[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
const uint8_t kAsfData[16] = {0x36, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
const uint8_t kAsfIndexes[][16] = {
    {0x90, 0x08, 0x00, 0x33, 0xB1, 0xE5, 0xCF, 0x11, 0x89, 0xF4, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xCB}, // simple index
    {0xD3, 0x29, 0xE2, 0xD6, 0xDA, 0x35, 0xD1, 0x11, 0x90, 0x34, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xBE}, // index
    {0xF8, 0x03, 0xB1, 0xFE, 0xAD, 0x12, 0x64, 0x4C, 0x84, 0x0F, 0x2A, 0x1D, 0x2F, 0x7A, 0xD4, 0x8C}, // media object index
    {0xD0, 0x3F, 0xB7, 0x3C, 0x4A, 0x0C, 0x03, 0x48, 0x95, 0x3D, 0xED, 0xF7, 0xB6, 0x22, 0x8F, 0x0C}, // timecode index
};

bool walkAsf(Image& im, qint64 s, Walk* w)
{
    const uint8_t* b = im.at(s, 30);
    if (!b || std::memcmp(b, kAsfHeader, 16) != 0 || b[28] != 1 || b[29] != 2)
        return false;
    const quint64 headerSize = le64(b + 16);
    const quint32 objects = le32(b + 24);
    if (headerSize < 30 + 24 || headerSize > quint64(kMaxPicture) || objects == 0 || objects > 1024)
        return false;
    // The header's own objects must fill it exactly.
    qint64 q = s + 30;
    const qint64 headerEnd = s + qint64(headerSize);
    for (quint32 i = 0; i < objects; ++i) {
        const uint8_t* o = im.at(q, 24);
        if (!o || le64(o + 16) < 24 || le64(o + 16) > quint64(headerEnd - q))
            return false;
        q += qint64(le64(o + 16));
    }
    if (q != headerEnd)
        return false;
    const qint64 limit = s + kMaxVideo;
    qint64 p = headerEnd;
    bool data = false;
    for (int steps = 0; steps < kMaxSteps; ++steps) {
        const uint8_t* o = im.at(p, 24);
        if (!o)
            break;
        const bool isData = std::memcmp(o, kAsfData, 16) == 0;
        bool known = isData;
        for (const auto& g : kAsfIndexes)
            known = known || std::memcmp(o, g, 16) == 0;
        const quint64 size = le64(o + 16);
        if (!known || size < 24 || size > quint64(limit - p))
            break;
        if (qint64(size) > im.size() - p) {
            // Cut by the image's end inside the data: the packets so far still play.
            if (isData) {
                w->end = im.size();
                w->ext = "wmv";
                return true;
            }
            break;
        }
        data = data || isData;
        p += qint64(size);
    }
    if (!data) {
        w->reach = p;
        return false;
    }
    w->end = p;
    w->ext = "wmv";
    return true;
}

// ---- AMR

// Bytes after the header byte of a narrow-band frame, by its type; -1 for types there are not.
const int kAmrFrameBytes[16] = {12, 13, 15, 17, 19, 20, 26, 31, 5, -1, -1, -1, -1, -1, -1, 0};

bool walkAmr(Image& im, qint64 s, Walk* w)
{
    const uint8_t* b = im.at(s, 6);
    if (!b || std::memcmp(b, "#!AMR\n", 6) != 0)
        return false;
    const qint64 limit = std::min(im.size(), s + kMaxPicture);
    qint64 p = s + 6;
    int frames = 0;
    // No end marker: the file ends at the first byte that is not a frame header. Only good frames
    // (quality bit set) count, as phones write them, so a zero run is not taken for frames.
    while (frames < (1 << 24)) {
        const uint8_t* h = im.at(p, 1);
        if (!h || (*h & 0x87) != 0x04 || kAmrFrameBytes[(*h >> 3) & 15] < 0)
            break;
        const qint64 next = p + 1 + kAmrFrameBytes[(*h >> 3) & 15];
        if (next > limit)
            break;
        p = next;
        ++frames;
    }
    if (frames < kMinAmrFrames) {
        w->reach = p;
        return false;
    }
    w->end = p;
    w->ext = "amr";
    return true;
}

// ---- MPEG program stream

// Length of a valid pack header at h (14 bytes readable), 0 when it is not one.
qint64 packLength(const uint8_t* h)
{
    if ((h[4] & 0xC4) == 0x44 && (h[6] & 0x04) && (h[8] & 0x04) && (h[9] & 0x01) && (h[12] & 0x03) == 0x03)
        return 14 + (h[13] & 7); // MPEG-2
    if ((h[4] & 0xF1) == 0x21 && (h[6] & 0x01) && (h[8] & 0x01) && (h[9] & 0x80) && (h[11] & 0x01))
        return 12; // MPEG-1
    return 0;
}

bool walkMpg(Image& im, qint64 s, Walk* w)
{
    const uint8_t* b = im.at(s, 14);
    if (!b || be32(b) != 0x000001BA || !packLength(b))
        return false;
    const qint64 limit = std::min(im.size(), s + kMaxVideo);
    qint64 p = s + packLength(b);
    qint64 last = s;
    int packets = 0;
    bool imageEnd = false;
    for (int steps = 0; steps < kMaxSteps; ++steps) {
        const uint8_t* h = im.at(p, 4);
        if (!h) {
            imageEnd = true;
            break;
        }
        if (h[0] != 0 || h[1] != 0 || h[2] != 1)
            break;
        const uint8_t id = h[3];
        if (id == 0xB9) {
            if (packets < 2)
                break;
            w->end = p + 4;
            w->ext = "mpg";
            return true;
        }
        qint64 next;
        if (id == 0xBA) {
            const uint8_t* pack = im.at(p, 14);
            if (!pack) {
                imageEnd = true;
                break;
            }
            if (!packLength(pack))
                break;
            next = p + packLength(pack);
        } else if (id >= 0xBB) {
            const uint8_t* l = im.at(p + 4, 2);
            if (!l) {
                imageEnd = true;
                break;
            }
            next = p + 6 + be16(l);
            packets += id != 0xBB;
        } else {
            break;
        }
        if (next > limit) {
            imageEnd = next > im.size();
            break;
        }
        last = p;
        p = next;
    }
    if (packets < 2) {
        w->reach = p;
        return false;
    }
    // No end code: cut by the image's end, everything up to it belongs; cut by other data, the
    // last packet may hold some of that data under its own length, so it is left out.
    w->end = imageEnd ? std::min(p, im.size()) : last;
    w->ext = "mpg";
    return true;
}

// ---- finding candidates

// Every signature is found by a pair of bytes at a fixed place in it (its first two, "\0\1" of
// "\0\0\1", "ft" of "ftyp"). A pair can only match when its first byte is one of these and its
// second one of those; zero runs and 0xFF fill pass neither test.
inline bool pairFirst(uint8_t c)
{
    switch (c) {
    case 0xFF: case 0x89: case 0x47: case 0x49: case 0x52: case 0x42: case 0x4D: case 0x00: case 0x66: case 0x30: case 0x23:
        return true;
    default:
        return false;
    }
}
inline bool pairSecond(uint8_t c)
{
    switch (c) {
    case 0xD8: case 0x50: case 0x49: case 0x4D: case 0x01: case 0x74: case 0x26: case 0x21:
        return true;
    default:
        return false;
    }
}

// The first i in [i, end) whose pair may match, or end; buf holds avail bytes (end < avail).
qint64 nextPairScalar(const uint8_t* buf, qint64 i, qint64 end, qint64)
{
    for (; i < end; ++i)
        if (pairSecond(buf[i + 1]) && pairFirst(buf[i]))
            return i;
    return end;
}

#ifdef MEDIACARVE_X86
// Sixteen (or thirty-two) pairs at once: the scan is most of the carver's time.
qint64 nextPairSse2(const uint8_t* buf, qint64 i, qint64 end, qint64 avail)
{
    static const uint8_t first[] = {0xFF, 0x89, 0x47, 0x49, 0x52, 0x42, 0x4D, 0x00, 0x66, 0x30, 0x23};
    static const uint8_t second[] = {0xD8, 0x50, 0x49, 0x4D, 0x01, 0x74, 0x26, 0x21};
    for (; i < end && i + 17 <= avail; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(buf + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(buf + i + 1));
        __m128i fa = _mm_setzero_si128(), sb = _mm_setzero_si128();
        for (uint8_t c : first)
            fa = _mm_or_si128(fa, _mm_cmpeq_epi8(a, _mm_set1_epi8(char(c))));
        for (uint8_t c : second)
            sb = _mm_or_si128(sb, _mm_cmpeq_epi8(b, _mm_set1_epi8(char(c))));
        const unsigned m = unsigned(_mm_movemask_epi8(_mm_and_si128(fa, sb)));
        if (m)
            return std::min(end, i + __builtin_ctz(m));
    }
    return nextPairScalar(buf, i, end, avail);
}

// Each byte classed by its two nibbles into buckets (a set of high nibbles times a set of low
// ones): bits 0-3 hold every first byte of a pair, bits 4-7 every second byte, with a few more
// that the exact test weeds out.
__attribute__((target("avx2"))) qint64 nextPairAvx2(const uint8_t* buf, qint64 i, qint64 end, qint64 avail)
{
    // low nibble -> buckets it may be in; high nibble likewise
    //   0: 4x{7,9,2,D}  1: {F,8,5}x{F,9,2}  2: {0,6}x{0,6}  3: {3,2}x{0,3}
    //   4: 4x{9,D}      5: Dx8              6: {5,7}x{0,4}  7: {0,2}x{1,6}
    alignas(16) static const uint8_t lo[16] = {0x4C, 0x80, 0x03, 0x08, 0x40, 0x00, 0x84, 0x01,
                                               0x20, 0x13, 0x00, 0x00, 0x00, 0x11, 0x00, 0x02};
    alignas(16) static const uint8_t hi[16] = {0x84, 0x00, 0x88, 0x08, 0x11, 0x42, 0x04, 0x40,
                                               0x02, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0x02};
    const __m256i loTable = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(lo)));
    const __m256i hiTable = _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(hi)));
    const __m256i nibble = _mm256_set1_epi8(0x0F), firsts = _mm256_set1_epi8(0x0F), seconds = _mm256_set1_epi8(char(0xF0));
    const __m256i zero = _mm256_setzero_si256();
    for (; i < end && i + 33 <= avail; i += 32) {
        const __m256i va = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(buf + i));
        const __m256i vb = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(buf + i + 1));
        const __m256i a = _mm256_and_si256(_mm256_shuffle_epi8(loTable, _mm256_and_si256(va, nibble)),
                                           _mm256_shuffle_epi8(hiTable, _mm256_and_si256(_mm256_srli_epi16(va, 4), nibble)));
        const __m256i b = _mm256_and_si256(_mm256_shuffle_epi8(loTable, _mm256_and_si256(vb, nibble)),
                                           _mm256_shuffle_epi8(hiTable, _mm256_and_si256(_mm256_srli_epi16(vb, 4), nibble)));
        const unsigned none = unsigned(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_and_si256(a, firsts), zero)))
                              | unsigned(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_and_si256(b, seconds), zero)));
        if (none != 0xFFFFFFFFu)
            return std::min(end, i + __builtin_ctz(~none));
    }
    return nextPairSse2(buf, i, end, avail);
}
#endif

using NextPair = qint64 (*)(const uint8_t*, qint64, qint64, qint64);

NextPair chooseNextPair()
{
#ifdef MEDIACARVE_X86
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? nextPairAvx2 : nextPairSse2;
#else
    return nextPairScalar;
#endif
}

using Walker = bool (*)(Image&, qint64, Walk*);
const Walker kWalkers[KindCount] = {walkJpeg, walkPng, walkGif, walkBmp, walkIco, walkTiff,
                                    walkIso, walkAvi, walkAsf, walkAmr, walkMpg};

QString devicePathFor(const QString& name, const QString& ext)
{
    for (const auto& k : kKinds)
        if (ext == QLatin1String(k.ext))
            return QLatin1String(k.folder) + name;
    return QString();
}

class Carver
{
public:
    Carver(Image& image, const QStringList& extensions, const QString& targetDir, QList<CarvedFile>* found)
        : m_image(image), m_dir(targetDir), m_found(found)
    {
        for (const QString& e : extensions)
            m_wanted << e.toLower();
        // Either spelling asks for TIFF; the file keeps the one asked for.
        m_tiffExt = m_wanted.contains(QStringLiteral("tif")) || !m_wanted.contains(QStringLiteral("tiff"))
                        ? QStringLiteral("tif") : QStringLiteral("tiff");
        if (m_wanted.contains(QStringLiteral("tiff")))
            m_wanted << QStringLiteral("tif");
    }

    bool wantsAnything() const
    {
        for (const QString& e : supportedExtensions())
            if (m_wanted.contains(e))
                return true;
        return false;
    }

    // One pass over the image in blocks; false when reading or writing failed, or on a stop.
    bool run(const Progress& progress, QString* why, qint64 blockSize)
    {
        std::vector<uint8_t> block(size_t(std::min(blockSize + kOverlap, m_image.size())));
        qint64 pos = 0;
        while (pos < m_image.size()) {
            const qint64 got = m_image.read(pos, block.data(), qint64(block.size()));
            if (got < 0)
                return fail(why, QStringLiteral("cannot read the image at offset %1").arg(pos));
            if (got == 0)
                break;
            m_image.setBlock(block.data(), pos, got);
            if (!scanBlock(block.data(), pos, std::max(pos, m_resume), std::min(pos + blockSize, pos + got), got))
                return fail(why, m_error);
            if (m_image.failed())
                return fail(why, QStringLiteral("cannot read the image"));
            pos = std::max(pos + std::min(blockSize, got), m_resume);
            if (progress && !progress(std::min(pos, m_image.size()), m_image.size()))
                return fail(why, QStringLiteral("stopped after %1 of %2 bytes").arg(pos).arg(m_image.size()));
        }
        return true;
    }

private:
    bool fail(QString* why, const QString& text)
    {
        if (why)
            *why = text;
        return false;
    }

    // Pairs of bytes starting in [from, to) of the block at base (avail bytes, more than to - base).
    bool scanBlock(const uint8_t* buf, qint64 base, qint64 from, qint64 to, qint64 avail)
    {
        static const NextPair nextPair = chooseNextPair();
        const qint64 end = std::min(to - base, avail - 1);
        for (qint64 i = nextPair(buf, from - base, end, avail); i < end; i = nextPair(buf, i, end, avail)) {
            if (!pair(buf, base, base + i))
                return false;
            i = std::max(i + 1, m_resume - base);
        }
        return true;
    }

    bool pair(const uint8_t* buf, qint64 base, qint64 p)
    {
        switch (quint16(buf[p - base] << 8 | buf[p + 1 - base])) {
        case 0xFFD8: return attempt(Jpeg, p);
        case 0x8950: return attempt(Png, p);
        case 0x4749: return attempt(Gif, p);
        case 0x424D: return attempt(Bmp, p);
        case 0x0001: return attempt(Ico, p - 1) && attempt(Mpg, p - 1);
        case 0x6674: return attempt(Iso, p - 4);
        case 0x4949:
        case 0x4D4D: return attempt(Tiff, p);
        case 0x5249: return attempt(Avi, p);
        case 0x3026: return attempt(Asf, p);
        case 0x2321: return attempt(Amr, p);
        default: return true;
        }
    }

    bool attempt(Kind kind, qint64 start)
    {
        if (start < m_resume || start < m_horizon[kind])
            return true;
        Walk w;
        if (!kWalkers[kind](m_image, start, &w) || w.end <= start) {
            if (w.reach - start > kLongWalk)
                m_horizon[kind] = w.reach;
            return true;
        }
        // A file that is not wanted is still skipped whole: what it holds is not a file of its own.
        m_resume = w.end;
        QString ext = QString::fromLatin1(w.ext);
        if (kind == Tiff)
            ext = m_tiffExt;
        if (!m_wanted.contains(ext))
            return true;
        return write(start, w.end, ext);
    }

    bool write(qint64 start, qint64 end, const QString& ext)
    {
        const QString name = QStringLiteral("%1.%2").arg(start, 16, 16, QLatin1Char('0')).arg(ext);
        const QString path = m_dir + QLatin1Char('/') + name;
        ibrio::OutputFile out;
        if (!out.open(QFile::encodeName(path).toStdString(), ibrio::OutputFile::NoReplace)) {
            m_error = QString::fromStdString(out.error());
            return false;
        }
        for (qint64 q = start, n = 0; q < end; q += n) {
            const uint8_t* d = m_image.span(q, end - q, &n);
            if (!d) {
                m_error = QStringLiteral("cannot read the image at offset %1").arg(q);
                return false;
            }
            if (!out.write(d, size_t(n))) {
                m_error = QString::fromStdString(out.error());
                return false;
            }
        }
        if (!out.commit()) {
            m_error = QString::fromStdString(out.error());
            return false;
        }
        CarvedFile f;
        f.localPath = path;
        f.devicePath = devicePathFor(name, ext);
        f.extension = ext;
        f.offset = start;
        f.size = end - start;
        m_found->append(f);
        return true;
    }

    Image& m_image;
    QString m_dir;
    QList<CarvedFile>* m_found;
    QStringList m_wanted;
    QString m_tiffExt;
    qint64 m_resume = 0;
    qint64 m_horizon[KindCount] = {};
    QString m_error;
};

bool carve(Image& image, const QStringList& extensions, const QString& targetDir, QList<CarvedFile>* found,
           const Progress& progress, QString* why, qint64 blockSize = kBlock)
{
    QList<CarvedFile> ignored;
    Carver carver(image, extensions, targetDir, found ? found : &ignored);
    if (!carver.wantsAnything())
        return true;
    return carver.run(progress, why, std::max<qint64>(blockSize, kOverlap));
}

bool checkTarget(const QString& targetDir, QString* why)
{
    if (QFileInfo(targetDir).isDir())
        return true;
    if (why)
        *why = QStringLiteral("the target folder %1 does not exist").arg(targetDir);
    return false;
}

// ---- recording lengths

// The body of the first box of that type in [from, to), cut at `to`; false when there is none.
bool findBox(int fd, qint64 from, qint64 to, const char* type, qint64* body, qint64* bodyEnd)
{
    for (int steps = 0; from + 8 <= to && steps < 4096; ++steps) {
        uint8_t h[16];
        const int64_t got = ibrio::readAt(fd, h, sizeof h, uint64_t(from));
        if (got < 8)
            return false;
        quint64 size = be32(h);
        qint64 header = 8;
        if (size == 1) {
            if (got < 16)
                return false;
            size = be64(h + 8);
            header = 16;
        } else if (size == 0) {
            size = quint64(to - from);
        }
        if (size < quint64(header))
            return false;
        // A box cut short still holds what it began with.
        const qint64 end = size > quint64(to - from) ? to : from + qint64(size);
        if (std::memcmp(h + 4, type, 4) == 0) {
            *body = from + header;
            *bodyEnd = end;
            return true;
        }
        from = end;
    }
    return false;
}

int isoSeconds(int fd, qint64 size)
{
    qint64 moov = 0, moovEnd = 0, mvhd = 0, mvhdEnd = 0;
    if (!findBox(fd, 0, size, "moov", &moov, &moovEnd) || !findBox(fd, moov, moovEnd, "mvhd", &mvhd, &mvhdEnd))
        return -1;
    uint8_t b[32];
    const qint64 got = std::min<qint64>(ibrio::readAt(fd, b, sizeof b, uint64_t(mvhd)), mvhdEnd - mvhd);
    quint64 scale = 0, duration = 0;
    if (got >= 20 && b[0] == 0) {
        scale = be32(b + 12);
        duration = be32(b + 16) == 0xFFFFFFFFu ? ~0ull : be32(b + 16);
    } else if (got >= 32 && b[0] == 1) {
        scale = be32(b + 20);
        duration = be64(b + 24);
    }
    if (scale == 0 || duration == ~0ull || duration / scale > quint64(std::numeric_limits<int>::max()))
        return -1;
    return int(duration / scale);
}

// Frames of 20 ms each up to the first byte that is not a frame's header, or a frame cut short.
int amrSeconds(int fd, qint64 size)
{
    std::vector<uint8_t> buf(1 << 16);
    qint64 p = 6, frames = 0;
    while (p < size) {
        const int64_t got = ibrio::readAt(fd, buf.data(), buf.size(), uint64_t(p));
        if (got <= 0)
            break;
        qint64 i = 0;
        for (; i < got; ++frames) {
            const int bytes = (buf[size_t(i)] & 0x83) == 0 ? kAmrFrameBytes[(buf[size_t(i)] >> 3) & 15] : -1;
            if (bytes < 0 || p + i + 1 + bytes > size)
                return int(frames / 50);
            i += 1 + bytes;
        }
        p += i;
    }
    return int(frames / 50);
}

} // namespace

int recordingSeconds(const QString& path)
{
    uint64_t size = 0;
    std::string error;
    const int fd = ibrio::openRegularFile(QFile::encodeName(path).toStdString(), &size, &error);
    if (fd < 0)
        return -1;
    uint8_t head[8] = {};
    const int64_t got = ibrio::readAt(fd, head, sizeof head, 0);
    int seconds = -1;
    if (got >= 6 && std::memcmp(head, "#!AMR\n", 6) == 0)
        seconds = amrSeconds(fd, qint64(size));
    else if (got == 8 && std::memcmp(head + 4, "ftyp", 4) == 0)
        seconds = isoSeconds(fd, qint64(size));
    ::close(fd);
    return seconds;
}

bool carveImage(const QString& imagePath, const QStringList& extensions, const QString& targetDir,
                QList<CarvedFile>* found, const Progress& progress, QString* why)
{
    if (!checkTarget(targetDir, why))
        return false;
    uint64_t size = 0;
    std::string error;
    const int fd = ibrio::openRegularFile(QFile::encodeName(imagePath).toStdString(), &size, &error);
    if (fd < 0) {
        if (why)
            *why = QStringLiteral("cannot open %1: %2").arg(imagePath, QString::fromStdString(error));
        return false;
    }
    Image image(fd, nullptr, qint64(size));
    const bool ok = carve(image, extensions, targetDir, found, progress, why);
    ::close(fd);
    return ok;
}

bool carveBuffer(const char* data, qint64 size, const QStringList& extensions, const QString& targetDir,
                 QList<CarvedFile>* found, const Progress& progress, QString* why, qint64 blockSize)
{
    if (!checkTarget(targetDir, why))
        return false;
    Image image(-1, reinterpret_cast<const uint8_t*>(data), std::max<qint64>(0, size));
    return carve(image, extensions, targetDir, found, progress, why, blockSize);
}

} // namespace mediacarve
