// Raw images with planted media for the carver's tests and benchmark. Pictures QImage can write
// come from QImage; the other kinds are put together here, small but with every structure a
// reader walks (boxes, chunks, objects, frames, packs) filled in correctly.

#include "mediaimage.h"

#include "utility/SafeIo.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QFile>
#include <QImage>

#include <algorithm>
#include <cstring>
#include <map>
#include <vector>

namespace sample {

namespace {

class Rng
{
public:
    explicit Rng(quint64 seed) : m_state(seed * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E019ull) {}
    quint64 next()
    {
        quint64 z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    int below(int n) { return int(next() % quint64(n)); }
    qint64 between(qint64 lo, qint64 hi) { return lo + qint64(next() % quint64(hi - lo + 1)); }
    QByteArray bytes(int n)
    {
        QByteArray b(n, Qt::Uninitialized);
        for (int i = 0; i < n; ++i)
            b[i] = char(next() >> 56);
        return b;
    }

private:
    quint64 m_state;
};

void put16le(QByteArray& b, quint32 v) { b.append(char(v)).append(char(v >> 8)); }
void put32le(QByteArray& b, quint32 v) { put16le(b, v & 0xFFFF); put16le(b, v >> 16); }
void put64le(QByteArray& b, quint64 v) { put32le(b, quint32(v)); put32le(b, quint32(v >> 32)); }
void put16be(QByteArray& b, quint32 v) { b.append(char(v >> 8)).append(char(v)); }
void put32be(QByteArray& b, quint32 v) { put16be(b, v >> 16); put16be(b, v & 0xFFFF); }
void set64le(QByteArray& b, int at, quint64 v) { for (int i = 0; i < 8; ++i) b[at + i] = char(v >> (8 * i)); }

QImage picture(Rng& rng, int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    const int a = 1 + rng.below(7), b = 1 + rng.below(5), c = rng.below(256);
    for (int y = 0; y < height; ++y) {
        QRgb* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const int n = int(rng.next() & 15);
            line[x] = qRgb((x * a + c + n) & 255, (y * b + n) & 255, ((x ^ y) + c) & 255);
        }
    }
    // A few flat rectangles, so that the picture has edges and plain areas as photos do.
    for (int r = 0; r < 6; ++r) {
        const int x0 = rng.below(width), y0 = rng.below(height);
        // One draw per statement: the order of a call's arguments differs between compilers.
        const int red = rng.below(256), green = rng.below(256), blue = rng.below(256);
        const QRgb colour = qRgb(red, green, blue);
        for (int y = y0; y < std::min(height, y0 + 40); ++y)
            for (int x = x0; x < std::min(width, x0 + 60); ++x)
                image.setPixel(x, y, colour);
    }
    return image;
}

QByteArray encoded(const QImage& image, const char* format, int quality = -1)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format, quality);
    return bytes;
}

// A JPEG with an EXIF block whose second directory points at a small JPEG of the same picture,
// as cameras write them.
QByteArray jpegWithThumbnail(Rng& rng)
{
    const QImage image = picture(rng, 320, 240);
    const QByteArray thumb = encoded(image.scaled(80, 60), "JPEG", 70);
    QByteArray tiff("II*\0", 4);
    put32le(tiff, 8);
    put16le(tiff, 1); // IFD0: orientation
    put16le(tiff, 0x0112); put16le(tiff, 3); put32le(tiff, 1); put32le(tiff, 1);
    put32le(tiff, 26);
    put16le(tiff, 2); // IFD1: where the thumbnail is
    put16le(tiff, 0x0201); put16le(tiff, 4); put32le(tiff, 1); put32le(tiff, 56);
    put16le(tiff, 0x0202); put16le(tiff, 4); put32le(tiff, 1); put32le(tiff, quint32(thumb.size()));
    put32le(tiff, 0);
    tiff += thumb;
    QByteArray app1("\xFF\xE1", 2);
    put16be(app1, quint32(2 + 6 + tiff.size()));
    app1 += QByteArray("Exif\0\0", 6) + tiff;
    QByteArray jpeg = encoded(image, "JPEG", 85);
    return jpeg.left(2) + app1 + jpeg.mid(2);
}

QByteArray gif(Rng& rng)
{
    const int w = 48 + rng.below(32), h = 40 + rng.below(32);
    QByteArray b("GIF89a");
    put16le(b, quint32(w)); put16le(b, quint32(h));
    b.append(char(0xF7)).append(char(0)).append(char(0)); // 256-colour global table
    b += rng.bytes(3 * 256);
    b += QByteArray("\x21\xF9\x04\x00\x0A\x00\x00\x00", 8); // graphic control
    b += QByteArray("\x21\xFE\x07" "carved!" "\x00", 11);       // comment
    b.append(char(0x2C));
    put16le(b, 0); put16le(b, 0); put16le(b, quint32(w)); put16le(b, quint32(h));
    b.append(char(0)).append(char(8)); // no local table; LZW code size 8
    // 9-bit literal codes with a clear code often enough that the code size never grows.
    QByteArray lzw;
    quint32 acc = 0;
    int bits = 0;
    auto put = [&](quint32 code) {
        acc |= code << bits;
        bits += 9;
        while (bits >= 8) {
            lzw.append(char(acc & 255));
            acc >>= 8;
            bits -= 8;
        }
    };
    put(256);
    for (int i = 0; i < w * h; ++i) {
        if (i % 200 == 199)
            put(256);
        put(quint32(((i % w) / 6 + (i / w) / 5 + rng.below(3)) & 255));
    }
    put(257);
    if (bits)
        lzw.append(char(acc & 255));
    for (int at = 0; at < lzw.size(); at += 255) {
        const int n = std::min(255, int(lzw.size()) - at);
        b.append(char(n));
        b += lzw.mid(at, n);
    }
    b.append(char(0)).append(char(0x3B));
    return b;
}

QByteArray ico(Rng& rng)
{
    const QByteArray png = encoded(picture(rng, 32, 32), "PNG");
    // A 16x16 32-bit bitmap: header with the doubled height of an icon, pixels, AND mask.
    QByteArray dib;
    put32le(dib, 40); put32le(dib, 16); put32le(dib, 32); put16le(dib, 1); put16le(dib, 32);
    put32le(dib, 0); put32le(dib, 16 * 16 * 4 + 16 * 4); put32le(dib, 0); put32le(dib, 0); put32le(dib, 0); put32le(dib, 0);
    dib += rng.bytes(16 * 16 * 4) + QByteArray(16 * 4, '\0');
    QByteArray b;
    put16le(b, 0); put16le(b, 1); put16le(b, 2);
    const quint32 first = 6 + 2 * 16;
    b.append(char(32)).append(char(32)).append(char(0)).append(char(0));
    put16le(b, 1); put16le(b, 32); put32le(b, quint32(png.size())); put32le(b, first);
    b.append(char(16)).append(char(16)).append(char(0)).append(char(0));
    put16le(b, 1); put16le(b, 32); put32le(b, quint32(dib.size())); put32le(b, first + quint32(png.size()));
    return b + png + dib;
}

// An 8-bit grey TIFF in four strips, its directory after the pixels.
QByteArray tiff(Rng& rng, bool bigEndian)
{
    auto p16 = [bigEndian](QByteArray& b, quint32 v) { bigEndian ? put16be(b, v) : put16le(b, v); };
    auto p32 = [bigEndian](QByteArray& b, quint32 v) { bigEndian ? put32be(b, v) : put32le(b, v); };
    const int w = 64, h = 64, strips = 4, stripBytes = w * h / strips;
    QByteArray b(bigEndian ? QByteArray("MM\0*", 4) : QByteArray("II*\0", 4));
    const quint32 arrays = 8 + quint32(w * h);
    const quint32 ifd = arrays + 4 * strips * 2 + 16;
    p32(b, ifd);
    b += rng.bytes(w * h);
    for (int i = 0; i < strips; ++i)
        p32(b, quint32(8 + i * stripBytes));
    for (int i = 0; i < strips; ++i)
        p32(b, quint32(stripBytes));
    p32(b, 72); p32(b, 1); p32(b, 72); p32(b, 1); // resolutions
    struct E { quint16 tag, type; quint32 count, value; };
    const E entries[] = {{256, 3, 1, quint32(w)}, {257, 3, 1, quint32(h)}, {258, 3, 1, 8}, {259, 3, 1, 1},
                         {262, 3, 1, 1}, {273, 4, quint32(strips), arrays}, {277, 3, 1, 1},
                         {278, 3, 1, quint32(h / strips)}, {279, 4, quint32(strips), arrays + 4 * strips},
                         {282, 5, 1, arrays + 8 * strips}, {283, 5, 1, arrays + 8 * strips + 8}, {296, 3, 1, 2}};
    p16(b, quint32(std::size(entries)));
    for (const E& e : entries) {
        p16(b, e.tag); p16(b, e.type); p32(b, e.count);
        if (e.type == 3 && e.count == 1) { // a short sits in the first two bytes of the field
            p16(b, e.value);
            p16(b, 0);
        } else {
            p32(b, e.value);
        }
    }
    p32(b, 0);
    return b;
}

QByteArray box(const char* type, const QByteArray& payload)
{
    QByteArray b;
    put32be(b, quint32(8 + payload.size()));
    return b + QByteArray(type, 4) + payload;
}

QByteArray isoMedia(Rng& rng, const char* brand, bool movieFirst)
{
    QByteArray ftyp(brand, 4);
    put32be(ftyp, 0x200);
    ftyp += QByteArray(brand, 4) + "isom" + "mp41";
    QByteArray mvhd(4, '\0'); // version, flags
    put32be(mvhd, 0); put32be(mvhd, 0); put32be(mvhd, 600); put32be(mvhd, 6000);
    put32be(mvhd, 0x10000); put16be(mvhd, 0x100); mvhd += QByteArray(10, '\0');
    const quint32 matrix[9] = {0x10000, 0, 0, 0, 0x10000, 0, 0, 0, 0x40000000};
    for (quint32 m : matrix)
        put32be(mvhd, m);
    mvhd += QByteArray(24, '\0');
    put32be(mvhd, 2);
    QByteArray tkhd(QByteArray("\0\0\0\x07", 4));
    put32be(tkhd, 0); put32be(tkhd, 0); put32be(tkhd, 1); put32be(tkhd, 0); put32be(tkhd, 6000);
    tkhd += QByteArray(8, '\0');
    put16be(tkhd, 0); put16be(tkhd, 0); put16be(tkhd, 0x100); put16be(tkhd, 0);
    for (quint32 m : matrix)
        put32be(tkhd, m);
    put32be(tkhd, 320u << 16); put32be(tkhd, 240u << 16);
    const QByteArray moov = box("moov", box("mvhd", mvhd) + box("trak", box("tkhd", tkhd)));
    const QByteArray mdat = box("mdat", rng.bytes(4000 + rng.below(60000)));
    const QByteArray head = box("ftyp", ftyp);
    return movieFirst ? head + moov + box("free", QByteArray(32, '\0')) + mdat : head + mdat + moov;
}

QByteArray riffChunk(const char* id, const QByteArray& data)
{
    QByteArray b(id, 4);
    put32le(b, quint32(data.size()));
    b += data;
    if (data.size() & 1)
        b.append(char(0));
    return b;
}

QByteArray riffList(const char* type, const QByteArray& data) { return riffChunk("LIST", QByteArray(type, 4) + data); }

QByteArray avi(Rng& rng)
{
    const int frames = 12 + rng.below(12);
    QByteArray avih;
    put32le(avih, 40000); put32le(avih, 100000); put32le(avih, 0); put32le(avih, 0x10); put32le(avih, quint32(frames));
    put32le(avih, 0); put32le(avih, 1); put32le(avih, 0x10000); put32le(avih, 160); put32le(avih, 120);
    avih += QByteArray(16, '\0');
    QByteArray strh("vidsMJPG", 8);
    put32le(strh, 0); put16le(strh, 0); put16le(strh, 0); put32le(strh, 0); put32le(strh, 1); put32le(strh, 25);
    put32le(strh, 0); put32le(strh, quint32(frames)); put32le(strh, 0x10000); put32le(strh, 0xFFFFFFFF); put32le(strh, 0);
    put16le(strh, 0); put16le(strh, 0); put16le(strh, 160); put16le(strh, 120);
    QByteArray strf;
    put32le(strf, 40); put32le(strf, 160); put32le(strf, 120); put16le(strf, 1); put16le(strf, 24);
    strf += QByteArray("MJPG", 4);
    put32le(strf, 160 * 120 * 3); strf += QByteArray(16, '\0');
    const QByteArray hdrl = riffList("hdrl", riffChunk("avih", avih) + riffList("strl", riffChunk("strh", strh) + riffChunk("strf", strf)));
    QByteArray movi, idx1;
    for (int i = 0; i < frames; ++i) {
        const QByteArray frame = rng.bytes(300 + rng.below(1500));
        idx1 += QByteArray("00dc", 4);
        put32le(idx1, 0x10); put32le(idx1, quint32(4 + movi.size())); put32le(idx1, quint32(frame.size()));
        movi += riffChunk("00dc", frame);
    }
    const QByteArray body = QByteArray("AVI ") + hdrl + riffList("movi", movi) + riffChunk("idx1", idx1);
    return riffChunk("RIFF", body);
}

const char kAsfHeaderGuid[] = "\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C";
const char kAsfFileProperties[] = "\xA1\xDC\xAB\x8C\x47\xA9\xCF\x11\x8E\xE4\x00\xC0\x0C\x20\x53\x65";
const char kAsfDataGuid[] = "\x36\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C";
const char kAsfSimpleIndex[] = "\x90\x08\x00\x33\xB1\xE5\xCF\x11\x89\xF4\x00\xA0\xC9\x03\x49\xCB";

QByteArray asf(Rng& rng)
{
    const int packets = 4 + rng.below(8), packetSize = 512;
    const QByteArray fileId = rng.bytes(16);
    QByteArray props(kAsfFileProperties, 16);
    put64le(props, 104);
    props += fileId;
    put64le(props, 0); // file size, set below
    put64le(props, 0x01D0000000000000ull); put64le(props, quint64(packets)); put64le(props, 50000000);
    put64le(props, 40000000); put64le(props, 3000); put32le(props, 2);
    put32le(props, quint32(packetSize)); put32le(props, quint32(packetSize)); put32le(props, 128000);
    QByteArray header(kAsfHeaderGuid, 16);
    put64le(header, quint64(30 + props.size()));
    put32le(header, 1);
    header.append(char(1)).append(char(2));
    header += props;
    QByteArray data(kAsfDataGuid, 16);
    put64le(data, quint64(50 + packets * packetSize));
    data += fileId;
    put64le(data, quint64(packets));
    data.append(char(1)).append(char(1));
    for (int i = 0; i < packets; ++i)
        data += QByteArray("\x82\x00\x00", 3) + rng.bytes(packetSize - 3);
    QByteArray index(kAsfSimpleIndex, 16);
    put64le(index, quint64(56 + 6 * packets));
    index += fileId;
    put64le(index, 10000000); put32le(index, 1); put32le(index, quint32(packets));
    for (int i = 0; i < packets; ++i) {
        put32le(index, quint32(i));
        put16le(index, 1);
    }
    QByteArray all = header + data + index;
    set64le(all, 30 + 16 + 8 + 16, quint64(all.size()));
    return all;
}

QByteArray amr(Rng& rng)
{
    static const int kSpeech[8] = {12, 13, 15, 17, 19, 20, 26, 31};
    QByteArray b("#!AMR\n");
    for (int i = 0; i < 50; ++i) {
        const int mode = i % 9 == 4 ? rng.below(8) : 7;
        b.append(char(mode << 3 | 0x04));
        b += rng.bytes(kSpeech[mode]);
    }
    return b;
}

// MPEG-2 program stream: packs of one video PES packet each, then the end code.
QByteArray mpegPs(Rng& rng)
{
    QByteArray b;
    const int packs = 6 + rng.below(6);
    for (int i = 0; i < packs; ++i) {
        b += QByteArray("\x00\x00\x01\xBA\x44", 5);
        b.append(char(i)).append(char(0x04)).append(char(0)).append(char(0x04)).append(char(0x01));
        b += QByteArray("\x01\x89\xC3\xF8", 4);
        const QByteArray payload = rng.bytes(400 + rng.below(1600));
        b += QByteArray("\x00\x00\x01\xE0", 4);
        put16be(b, quint32(8 + payload.size()));
        b += QByteArray("\x80\x80\x05\x21\x00\x01\x00\x01", 8);
        b += payload;
    }
    return b + QByteArray("\x00\x00\x01\xB9", 4);
}

struct Source {
    QString extension;
    QByteArray bytes;
    bool detectsCut = false; // its structure shows where other data took over
};

// Every kind, in every variant the carver tells apart.
std::vector<Source> makePool(Rng& rng)
{
    std::vector<Source> pool;
    pool.push_back({"jpg", jpegWithThumbnail(rng), true});
    pool.push_back({"jpg", encoded(picture(rng, 400, 300), "JPEG", 90), true});
    pool.push_back({"png", encoded(picture(rng, 300, 200), "PNG"), true});
    pool.push_back({"gif", gif(rng), true});
    pool.push_back({"ico", ico(rng)});
    pool.push_back({"tif", tiff(rng, false)});
    pool.push_back({"tif", tiff(rng, true)});
    pool.push_back({"bmp", encoded(picture(rng, 200, 150), "BMP")});
    pool.push_back({"m4a", isoMedia(rng, "M4A ", true)});
    pool.push_back({"mov", isoMedia(rng, "qt  ", false)});
    pool.push_back({"3gp", isoMedia(rng, "3gp4", true)});
    pool.push_back({"m4v", isoMedia(rng, "M4V ", true)});
    pool.push_back({"mp4", isoMedia(rng, "isom", false)});
    pool.push_back({"3g2", isoMedia(rng, "3g2a", true)});
    pool.push_back({"amr", amr(rng)});
    pool.push_back({"avi", avi(rng)});
    pool.push_back({"mpg", mpegPs(rng), true});
    pool.push_back({"wmv", asf(rng)});
    return pool;
}

QList<QByteArray> decoySignatures()
{
    return {QByteArray("\xFF\xD8\xFF\xE0", 4), QByteArray("\x89PNG\r\n\x1A\n", 8), QByteArray("GIF89a"),
            QByteArray("BM"), QByteArray("\x00\x00\x01\x00", 4), QByteArray("II*\0", 4), QByteArray("MM\0*", 4),
            QByteArray("\x00\x00\x00\x14" "ftypisom\x00\x00\x02\x00isom", 20), QByteArray("RIFF\x00\x10\x00\x00" "AVI ", 12),
            QByteArray(kAsfHeaderGuid, 16), QByteArray("#!AMR\n"), QByteArray("\x00\x00\x01\xBA", 4)};
}

// Planted bytes: a slice of a shared file, then zeros (cluster slack) or noise (what took over
// after a cut), so that a large image holds no copies.
struct Piece {
    qint64 offset = 0;
    QByteArray source;
    qint64 from = 0, length = 0;
    qint64 zeros = 0, noise = 0;
    quint64 noiseSeed = 0;
    qint64 end() const { return offset + length + zeros + noise; }
};

// Noise by position, so that a piece written across two chunks reads the same.
char noiseAt(quint64 seed, qint64 i)
{
    quint64 z = seed + quint64(i >> 3) * 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return char((z ^ (z >> 31)) >> ((i & 7) * 8));
}

class Layout
{
public:
    Layout(qint64 size, Rng& rng) : m_size(size), m_rng(rng) {}

    bool fits(qint64 offset, qint64 length) const
    {
        if (offset < 0 || offset + length > m_size)
            return false;
        // Pieces keep some background between them; the one starting last before the end of
        // this one's margin is the only one that can reach into it.
        const qint64 a = offset - 1024, b = offset + length + 1024;
        auto it = m_used.lower_bound(b);
        return it == m_used.begin() || std::prev(it)->second <= a;
    }

    // A free place: on a 4096-byte cluster most of the time, as a file system puts files.
    qint64 place(qint64 length)
    {
        for (int attempt = 0; attempt < 40; ++attempt) {
            if (m_size - length - 8192 <= 65536)
                return -1;
            qint64 at = m_rng.between(65536, m_size - length - 8192);
            at = m_rng.below(4) ? at & ~qint64(4095) : at | 1;
            if (fits(at, length))
                return at;
        }
        return -1;
    }

    void add(const Piece& piece)
    {
        m_pieces.push_back(piece);
        m_used[piece.offset] = piece.end();
    }
    std::vector<Piece>& pieces() { return m_pieces; }

private:
    qint64 m_size;
    Rng& m_rng;
    std::vector<Piece> m_pieces;
    std::map<qint64, qint64> m_used; // start -> end
};

QByteArray sha1(const QByteArray& b) { return QCryptographicHash::hash(b, QCryptographicHash::Sha1); }

// Zeros to the end of the file's last cluster, as a freshly allocated cluster holds.
qint64 slack(qint64 end)
{
    const qint64 pad = (4096 - end % 4096) % 4096;
    return pad < 16 ? pad + 4096 : pad;
}

} // namespace

bool writeMediaImage(const QString& path, qint64 size, quint32 seed, QList<PlantedMedia>* truth, QString* why)
{
    Rng rng(seed);
    const std::vector<Source> pool = makePool(rng);
    const QList<QByteArray> signatures = decoySignatures();
    Layout layout(size, rng);
    QList<PlantedMedia> planted;
    auto plant = [&](qint64 at, const QByteArray& source, qint64 length, bool cut, const QString& ext, PlantedMedia::Kind kind) {
        Piece p;
        p.offset = at;
        p.source = source;
        p.length = length;
        if (cut)
            p.noise = kind == PlantedMedia::Decoy ? 2048 : 4096;
        else
            p.zeros = slack(at + length);
        p.noiseSeed = rng.next();
        layout.add(p);
        planted.append({ext, at, length, sha1(source.left(int(length))), kind});
    };

    // A picture straddling 8 MiB, a block edge for a reader of any power-of-two blocks up to that.
    if (size >= (12 << 20))
        plant((8 << 20) - 3, pool[2].bytes, pool[2].bytes.size(), false, pool[2].extension, PlantedMedia::Intact);
    // A round per 8 MB: every kind intact (the JPEGs and an mp4 twice), then the damaged ones.
    const qint64 rounds = std::max<qint64>(1, size / (8 << 20));
    for (qint64 r = 0; r < rounds; ++r) {
        for (size_t i = 0; i < pool.size() + 2; ++i) {
            const Source& s = i < pool.size() ? pool[i] : pool[i == pool.size() ? 0 : 12];
            const qint64 at = layout.place(s.bytes.size() + 8192);
            if (at >= 0)
                plant(at, s.bytes, s.bytes.size(), false, s.extension, PlantedMedia::Intact);
        }
        for (const Source& s : pool) {
            if (!s.detectsCut)
                continue;
            // Cut by noise somewhere past its headers.
            const qint64 keep = s.bytes.size() * (40 + rng.below(40)) / 100;
            qint64 at = layout.place(keep + 4096);
            if (at >= 0)
                plant(at, s.bytes, keep, true, s.extension, PlantedMedia::Truncated);
            // Split in two: the second half lies elsewhere, the first is followed by noise. A
            // program stream's second half is a stream of its own, so it stays whole.
            if (s.extension == QLatin1String("mpg"))
                continue;
            const qint64 half = s.bytes.size() / 2;
            at = layout.place(half + 4096);
            const qint64 rest = at >= 0 ? layout.place(s.bytes.size() - half + 1024) : -1;
            if (at >= 0 && rest >= 0) {
                plant(at, s.bytes, half, true, s.extension, PlantedMedia::Fragmented);
                Piece second;
                second.offset = rest;
                second.source = s.bytes;
                second.from = half;
                second.length = s.bytes.size() - half;
                second.noise = 512;
                second.noiseSeed = rng.next();
                layout.add(second);
            }
        }
        for (const QByteArray& sig : signatures) {
            const qint64 at = layout.place(sig.size() + 2048);
            if (at >= 0)
                plant(at, sig, sig.size(), true, QString(), PlantedMedia::Decoy);
        }
    }
    // A JPEG the image's end cuts in half.
    const QByteArray& last = pool[1].bytes;
    const qint64 lastAt = size - last.size() / 2;
    if (layout.fits(lastAt, size - lastAt)) {
        Piece p;
        p.offset = lastAt;
        p.source = last;
        p.length = size - lastAt;
        layout.add(p);
        planted.append({QStringLiteral("jpg"), lastAt, p.length, sha1(last.left(int(p.length))), PlantedMedia::Truncated});
    }

    std::vector<Piece>& pieces = layout.pieces();
    std::sort(pieces.begin(), pieces.end(), [](const Piece& a, const Piece& b) { return a.offset < b.offset; });
    std::sort(planted.begin(), planted.end(), [](const PlantedMedia& a, const PlantedMedia& b) { return a.offset < b.offset; });

    ibrio::OutputFile out;
    if (!out.open(QFile::encodeName(path).toStdString(), ibrio::OutputFile::Replace)) {
        if (why)
            *why = QString::fromStdString(out.error());
        return false;
    }
    // Background in runs: mostly noise, some zeros (never-written or trimmed clusters).
    constexpr qint64 kChunk = 4 << 20;
    std::vector<char> chunk(static_cast<size_t>(kChunk));
    Rng noise(seed ^ 0x5A5A5A5Au);
    qint64 runEnd = 0;
    bool zeros = false;
    size_t next = 0;
    for (qint64 pos = 0; pos < size; pos += kChunk) {
        const qint64 n = std::min(kChunk, size - pos);
        for (qint64 i = 0; i < n;) {
            if (pos + i >= runEnd) {
                zeros = noise.below(10) < 3;
                runEnd = pos + i + noise.between(4096, 1 << 20);
            }
            const qint64 stop = std::min(n, runEnd - pos);
            if (zeros) {
                std::fill(chunk.begin() + i, chunk.begin() + stop, '\0');
                i = stop;
            } else {
                for (; i + 8 <= stop; i += 8) {
                    const quint64 v = noise.next();
                    std::memcpy(chunk.data() + i, &v, 8);
                }
                for (; i < stop; ++i)
                    chunk[size_t(i)] = char(noise.next());
            }
        }
        while (next < pieces.size() && pieces[next].end() <= pos)
            ++next;
        for (size_t k = next; k < pieces.size() && pieces[k].offset < pos + n; ++k) {
            const Piece& p = pieces[k];
            const qint64 from = std::max(pos, p.offset), to = std::min(pos + n, p.end());
            for (qint64 i = from; i < to;) {
                const qint64 rel = i - p.offset;
                if (rel < p.length) {
                    const qint64 stop = std::min(to, p.offset + p.length);
                    std::memcpy(chunk.data() + (i - pos), p.source.constData() + p.from + rel, size_t(stop - i));
                    i = stop;
                } else if (rel < p.length + p.zeros) {
                    const qint64 stop = std::min(to, p.offset + p.length + p.zeros);
                    std::fill(chunk.begin() + (i - pos), chunk.begin() + (stop - pos), '\0');
                    i = stop;
                } else {
                    chunk[size_t(i - pos)] = noiseAt(p.noiseSeed, rel);
                    ++i;
                }
            }
        }
        if (!out.write(chunk.data(), size_t(n))) {
            if (why)
                *why = QString::fromStdString(out.error());
            return false;
        }
    }
    if (!out.commit()) {
        if (why)
            *why = QString::fromStdString(out.error());
        return false;
    }
    if (truth)
        *truth = planted;
    return true;
}

} // namespace sample
