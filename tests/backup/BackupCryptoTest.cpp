// The keybag reader against hostile input, the key wrap against its published vector, and the
// streamed decryption at the sizes where block and chunk boundaries meet.
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>


#include "BackupCrypto.h"
#include "TestSupport.h"

using namespace backupcrypto;

namespace {

QByteArray be32(quint32 v)
{
    return QByteArray::fromHex(QByteArray::number(v, 16).rightJustified(8, '0'));
}

QByteArray tlv(const char* tag, const QByteArray& value)
{
    return QByteArray(tag, 4) + be32(quint32(value.size())) + value;
}

// A backup keybag of the iOS 10.2+ kind whose class keys are wrapped with `password`.
QByteArray makeKeybag(const QByteArray& password, quint32 rounds, quint32 firstStepRounds, int classes = 3)
{
    Keybag shape;
    shape.salt = QByteArray(20, 's');
    shape.iterations = rounds;
    shape.dpSalt = QByteArray(20, 'd');
    shape.dpIterations = firstStepRounds;
    const QByteArray kek = passwordKey(shape, password);
    QByteArray bag = tlv("VERS", be32(4)) + tlv("TYPE", be32(1)) + tlv("UUID", QByteArray(16, 'u')) + tlv("WRAP", be32(0))
                     + tlv("SALT", shape.salt) + tlv("ITER", be32(rounds));
    if (firstStepRounds)
        bag += tlv("DPIC", be32(firstStepRounds)) + tlv("DPSL", shape.dpSalt);
    for (int c = 1; c <= classes; ++c)
        bag += tlv("UUID", QByteArray(16, char('a' + c))) + tlv("CLAS", be32(quint32(c))) + tlv("WRAP", be32(2))
               + tlv("KTYP", be32(0)) + tlv("WPKY", wrapKey(kek, QByteArray(32, char(c))));
    return bag;
}

} // namespace

TEST(BackupCrypto, KeyUnwrapMatchesThePublishedVector)
{
    // RFC 3394, 4.6: 256 bits of key data with a 256-bit key.
    const QByteArray kek = QByteArray::fromHex("000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F");
    const QByteArray key = QByteArray::fromHex("00112233445566778899AABBCCDDEEFF000102030405060708090A0B0C0D0E0F");
    const QByteArray wrapped = QByteArray::fromHex("28C9F404C4B810F4CBCCB35CFB87F8263F5786E2D80ED326CBC7F0E71A99F43BFB988B9B7A02DD21");
    EXPECT_EQ(unwrapKey(kek, wrapped), key);
    EXPECT_EQ(wrapKey(kek, key), wrapped);
    QByteArray otherKek = kek;
    otherKek[0] = 1;
    EXPECT_TRUE(unwrapKey(otherKek, wrapped).isEmpty());
    EXPECT_TRUE(unwrapKey(kek, wrapped.left(39)).isEmpty());
}

TEST(BackupCrypto, BothGenerationsUnlockWithTheirPasswordOnly)
{
    for (quint32 firstStep : {0u, 3u}) {
        Keybag keybag;
        QString why;
        ASSERT_TRUE(keybag.parse(makeKeybag("secret", 5, firstStep), &why)) << why.toStdString();
        EXPECT_EQ(keybag.hasSecondGeneration(), firstStep > 0);
        EXPECT_EQ(keybag.classKeys.size(), 3);
        BackupKeys keys;
        EXPECT_EQ(keys.unlock(keybag, "wrong", &why), BackupKeys::WrongPassword);
        EXPECT_FALSE(keys.isUnlocked());
        ASSERT_EQ(keys.unlock(keybag, "secret", &why), BackupKeys::Unlocked);
        // A file key: four bytes of class, little-endian, then the key wrapped with that class's key.
        const QByteArray fileKey(32, 'f');
        const QByteArray stored = QByteArray::fromHex("02000000") + wrapKey(QByteArray(32, char(2)), fileKey);
        EXPECT_EQ(keys.fileKey(0, stored), fileKey);
        EXPECT_EQ(keys.fileKey(2, stored), fileKey);
        EXPECT_TRUE(keys.fileKey(0, stored.left(43)).isEmpty());
        EXPECT_TRUE(keys.damagedClasses().isEmpty());
        // One class key damaged: the right password still opens the others, and the damage is
        // told from a wrong password.
        Keybag damaged = keybag;
        damaged.classKeys[0].wrappedKey[9] = char(damaged.classKeys[0].wrappedKey[9] ^ 1);
        ASSERT_EQ(keys.unlock(damaged, "secret", &why), BackupKeys::Unlocked);
        EXPECT_EQ(keys.damagedClasses(), QList<quint32>{damaged.classKeys[0].protectionClass});
        EXPECT_EQ(keys.fileKey(0, stored), fileKey);
        EXPECT_EQ(keys.unlock(damaged, "wrong", &why), BackupKeys::WrongPassword);
        EXPECT_TRUE(keys.damagedClasses().isEmpty());
    }
}

TEST(BackupCrypto, HostileKeybagsAreRefusedWithAReason)
{
    const QByteArray good = makeKeybag("pw", 2, 2);
    QByteArray manyKeys = good;
    for (int i = 0; i < 70; ++i)
        manyKeys += tlv("UUID", QByteArray(16, 'x'));
    const struct {
        const char* what;
        QByteArray bytes;
    } cases[] = {
        {"empty", QByteArray()},
        {"cut inside a record header", good.left(good.size() - 45)},
        {"cut inside a value", good.left(good.size() - 3)},
        {"a length past the end", QByteArray("SALT") + be32(0x7FFFFFF0) + "abc"},
        {"hundreds of class keys", manyKeys},
        {"no salt", tlv("ITER", be32(10)) + tlv("UUID", QByteArray(16, 'u')) + tlv("UUID", QByteArray(16, 'v'))},
        {"rounds no device uses", makeKeybag("pw", 2, 2).replace(tlv("ITER", be32(2)), tlv("ITER", be32(0xFFFFFFFF)))},
        {"no class keys", tlv("SALT", QByteArray(20, 's')) + tlv("ITER", be32(10))},
    };
    for (const auto& c : cases) {
        Keybag keybag;
        QString why;
        EXPECT_FALSE(keybag.parse(c.bytes, &why)) << c.what;
        EXPECT_FALSE(why.isEmpty()) << c.what;
    }
}

TEST(BackupCrypto, StreamedDecryptionKeepsExactlyThePlainBytes)
{
    QTemporaryDir dir;
    const QByteArray key(32, 'k');
    const qint64 chunk = 1 << 20;
    for (qint64 size : {qint64(0), qint64(1), qint64(15), qint64(16), qint64(17), chunk - 16, chunk, chunk + 5, 2 * chunk + 16}) {
        QByteArray plain(int(size), '\0');
        for (qint64 i = 0; i < size; ++i)
            plain[i] = char(i * 7 + size);
        const QString source = dir.filePath(QStringLiteral("c%1").arg(size));
        QFile f(source);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(encrypt(key, plain));
        f.close();
        // The index's size when given, else the padding, decides where the data ends.
        for (qint64 known : {size, qint64(-1)}) {
            const QString target = dir.filePath(QStringLiteral("p%1_%2").arg(size).arg(known));
            QString why;
            ASSERT_TRUE(decryptFile(source, target, key, known, nullptr, &why)) << size << why.toStdString();
            EXPECT_EQ(why, QString()) << size;
            QFile out(target);
            ASSERT_TRUE(out.open(QIODevice::ReadOnly));
            EXPECT_EQ(out.readAll(), plain) << size << " " << known;
        }
    }
    // Stopped halfway: nothing is left behind. Cut short: the whole blocks are kept, and said so.
    const QString big = dir.filePath(QStringLiteral("c%1").arg(2 * chunk + 16));
    QString why;
    EXPECT_FALSE(decryptFile(big, dir.filePath(QStringLiteral("stopped")), key, -1, [](qint64) { return false; }, &why));
    EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("stopped"))));
    const QByteArray plain(40, 'p');
    QFile cut(dir.filePath(QStringLiteral("cut")));
    ASSERT_TRUE(cut.open(QIODevice::WriteOnly));
    cut.write(encrypt(key, plain).left(41));
    cut.close();
    why.clear();
    ASSERT_TRUE(decryptFile(cut.fileName(), dir.filePath(QStringLiteral("cutplain")), key, plain.size(), nullptr, &why));
    EXPECT_TRUE(why.contains(QLatin1String("whole cipher block"))) << why.toStdString();
    EXPECT_TRUE(plain.startsWith(testsupport::readFile(dir.filePath(QStringLiteral("cutplain")))));
    // Another key, or an index size past the data: kept, and said so.
    const QString whole = dir.filePath(QStringLiteral("whole"));
    ASSERT_TRUE(testsupport::writeFile(whole, encrypt(key, plain)));
    const struct {
        QByteArray key;
        qint64 size;
        const char* says;
    } wrong[] = {{QByteArray(32, 'w'), plain.size(), "its padding does not fit the size its index gives"},
                 {key, plain.size() * 10, "its index gives 400 bytes, it holds 48 (cut short)"}};
    for (const auto& w : wrong) {
        why.clear();
        const QString target = dir.filePath(QStringLiteral("w%1").arg(w.size));
        EXPECT_TRUE(decryptFile(whole, target, w.key, w.size, nullptr, &why));
        EXPECT_TRUE(why.contains(QLatin1String(w.says))) << why.toStdString();
    }
}
