// Images built to make a signature walk run away: absurd lengths and counts, loops, signatures
// at the very end, nothing but signatures. Each must end with at most the files it really holds.

#include "TestSupport.h"
#include "mediacarve/MediaCarver.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <zlib.h>

namespace {

using testsupport::readFile;
using testsupport::snapshotFolder;
using testsupport::writeFile;

QByteArray be32(quint32 v) { return QByteArray(1, char(v >> 24)) + char(v >> 16) + char(v >> 8) + char(v); }
QByteArray le16(quint32 v) { return QByteArray(1, char(v)) + char(v >> 8); }
QByteArray le32(quint32 v) { return le16(v & 0xFFFF) + le16(v >> 16); }
QByteArray le64(quint64 v) { return le32(quint32(v)) + le32(quint32(v >> 32)); }
QByteArray noise(int n)
{
    QByteArray b(n, '\0');
    quint32 x = 2463534242u;
    for (int i = 0; i < n; ++i) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        b[i] = char(x);
    }
    return b;
}

QByteArray pngChunk(const char* type, const QByteArray& data)
{
    const QByteArray body = QByteArray(type, 4) + data;
    return be32(quint32(data.size())) + body + be32(quint32(crc32(0, reinterpret_cast<const Bytef*>(body.constData()), uInt(body.size()))));
}

const QByteArray kPng("\x89PNG\r\n\x1A\n", 8);
const QByteArray kIhdr = pngChunk("IHDR", be32(16) + be32(16) + QByteArray("\x08\x02\x00\x00\x00", 5));
const QByteArray kFtyp = be32(16) + "ftypisom" + be32(0x200);
const QByteArray kAsf("\x30\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C", 16);
const QByteArray kAsfData("\x36\x26\xB2\x75\x8E\x66\xCF\x11\xA6\xD9\x00\xAA\x00\x62\xCE\x6C", 16);

const QList<QByteArray> kSignatures = {
    QByteArray("\xFF\xD8\xFF", 3), kPng, QByteArray("GIF89a"), QByteArray("BM"), QByteArray("\x00\x00\x01\x00", 4),
    QByteArray("II*\0", 4), QByteArray("MM\0*", 4), kFtyp, QByteArray("RIFF\x10\x00\x00\x00" "AVI ", 12), kAsf,
    QByteArray("#!AMR\n"), QByteArray("\x00\x00\x01\xBA", 4)};

// A little-endian TIFF of one 16x16 strip whose next directory is itself.
QByteArray tiffLoop()
{
    QByteArray b = QByteArray("II*\0", 4) + le32(8) + le16(4);
    const quint32 entries[4][3] = {{256 | 3 << 16, 1, 16}, {257 | 3 << 16, 1, 16}, {273 | 4 << 16, 1, 64}, {279 | 4 << 16, 1, 256}};
    for (const auto& e : entries)
        b += le16(e[0] & 0xFFFF) + le16(e[0] >> 16) + le32(e[1]) + le32(e[2]);
    b += le32(8);
    return b + QByteArray(64 - b.size(), '\0') + noise(256);
}

struct Case {
    const char* name;
    QByteArray image;
    int files; // what it really holds
};

std::vector<Case> cases()
{
    std::vector<Case> c;
    for (const QByteArray& s : kSignatures)
        c.push_back({"signature at the very end", QByteArray(4096, '\0') + s, 0});
    QByteArray onlySignatures;
    while (onlySignatures.size() < (1 << 20))
        for (const QByteArray& s : kSignatures)
            onlySignatures += s;
    c.push_back({"nothing but signatures", onlySignatures, 0});
    c.push_back({"png chunk length 0xFFFFFFFF", kPng + kIhdr + be32(0xFFFFFFFF) + "IDAT" + noise(4096), 0});
    c.push_back({"png chunks forever", kPng + kIhdr + pngChunk("tEXt", QByteArray()).repeated(50000), 0});
    c.push_back({"iso box size huge", kFtyp + be32(0xFFFFFFFF) + "moov" + noise(4096), 0});
    c.push_back({"iso largesize 2^63", kFtyp + be32(1) + "mdat" + QByteArray("\x80\0\0\0\0\0\0\0", 8) + noise(4096), 0});
    c.push_back({"iso free boxes without a movie", kFtyp + (be32(8) + "free").repeated(100000), 0});
    c.push_back({"asf header size 2^63", kAsf + le64(1ull << 63) + le32(1) + "\x01\x02" + noise(4096), 0});
    c.push_back({"asf object size 2^63", kAsf + le64(30 + 24) + le32(1) + "\x01\x02" + noise(16) + le64(24) + kAsfData
                                             + le64(1ull << 63) + noise(4096), 0});
    c.push_back({"tiff directory pointing at itself", tiffLoop(), 1});
    c.push_back({"tiff directory count 0xFFFF", QByteArray("II*\0", 4) + le32(8) + le16(0xFFFF) + noise(8192), 0});
    c.push_back({"ico count 0xFFFF", QByteArray("\x00\x00\x01\x00\xFF\xFF", 6) + noise(8192), 0});
    c.push_back({"ico entry past the image", QByteArray("\x00\x00\x01\x00\x01\x00", 6) + QByteArray("\x10\x10\x00\x00\x01\x00\x20\x00", 8)
                                                 + le32(1000) + le32(0x7FFFFFFF), 0});
    c.push_back({"gif sub-blocks to the end", QByteArray("GIF89a") + le16(16) + le16(16) + QByteArray(3, '\0') + "\x2C"
                                                  + QByteArray(8, '\0') + QByteArray("\x00\x08", 2) + ("\xFF" + noise(255)).repeated(4000), 0});
    c.push_back({"jpeg segments without a scan", QByteArray("\xFF\xD8", 2) + QByteArray("\xFF\xFE\x00\x02", 4).repeated(100000), 0});
    c.push_back({"jpeg fill bytes forever", QByteArray("\xFF\xD8", 2) + QByteArray(1 << 20, '\xFF'), 0});
    c.push_back({"bmp of 4 GB", QByteArray("BM") + le32(0xFFFFFFFF) + le32(0) + le32(54) + le32(40) + le32(16) + le32(16)
                                    + le16(1) + le16(24) + noise(4096), 0});
    c.push_back({"avi list larger than the file", QByteArray("RIFF") + le32(4096) + "AVI LIST" + le32(0x7FFFFFF0) + "hdrl" + noise(4096), 0});
    c.push_back({"amr frames cut by the image end", QByteArray("#!AMR\n") + (QByteArray(1, '\x3C') + noise(31)).repeated(20) + "\x3C" + noise(10), 1});
    c.push_back({"mpeg packs without packets",
                 QByteArray("\x00\x00\x01\xBA\x44\x00\x04\x00\x04\x01\x01\x89\xC3\xF8", 14).repeated(50000) + QByteArray("\x00\x00\x01\xB9", 4), 0});
    c.push_back({"empty image", QByteArray(), 0});
    return c;
}

TEST(HostileImage, EachEndsWithWhatItHolds)
{
    for (const Case& k : cases()) {
        SCOPED_TRACE(k.name);
        QTemporaryDir dir;
        const QString image = dir.filePath(QStringLiteral("hostile.img"));
        ASSERT_TRUE(writeFile(image, k.image));
        const QString out = dir.filePath(QStringLiteral("out"));
        ASSERT_TRUE(QDir().mkdir(out));
        QList<mediacarve::CarvedFile> found;
        QString why;
        ASSERT_TRUE(mediacarve::carveImage(image, mediacarve::supportedExtensions(), out, &found, {}, &why)) << why.toStdString();
        EXPECT_EQ(found.size(), k.files);
        for (const mediacarve::CarvedFile& f : found) {
            EXPECT_LE(f.offset + f.size, k.image.size());
            EXPECT_EQ(readFile(f.localPath), k.image.mid(f.offset, f.size));
        }
        EXPECT_EQ(snapshotFolder(dir.path()).size(), found.size() + 1);
    }
}

} // namespace
