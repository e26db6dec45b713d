#include "BackupCrypto.h"

#include <QFile>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "utility/SafeIo.h"

namespace backupcrypto {

namespace {

const int kKeyBytes = 32;
const int kWrappedKeyBytes = kKeyBytes + 8;
const int kBlock = 16;
// Real backup keybags hold a dozen class keys.
const int kMaxClassKeys = 64;
const size_t kChunk = size_t(1) << 20;

struct CipherDeleter {
    void operator()(EVP_CIPHER_CTX* c) const { EVP_CIPHER_CTX_free(c); }
};
using CipherPtr = std::unique_ptr<EVP_CIPHER_CTX, CipherDeleter>;

bool fail(QString* why, const QString& text)
{
    if (why)
        *why = text;
    return false;
}

quint32 be32(const char* p)
{
    const auto* u = reinterpret_cast<const uchar*>(p);
    return (quint32(u[0]) << 24) | (quint32(u[1]) << 16) | (quint32(u[2]) << 8) | quint32(u[3]);
}

QByteArray keyWrap(const QByteArray& kek, const QByteArray& in, bool unwrap)
{
    if (kek.size() != kKeyBytes || in.size() < (unwrap ? 24 : 16) || in.size() % 8 != 0)
        return QByteArray();
    CipherPtr ctx(EVP_CIPHER_CTX_new());
    if (!ctx)
        return QByteArray();
    EVP_CIPHER_CTX_set_flags(ctx.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    const auto* k = reinterpret_cast<const uchar*>(kek.constData());
    const bool init = unwrap ? EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_wrap(), nullptr, k, nullptr) == 1
                             : EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_wrap(), nullptr, k, nullptr) == 1;
    if (!init)
        return QByteArray();
    QByteArray out(in.size() + 16, '\0');
    int n = 0, tail = 0;
    auto* o = reinterpret_cast<uchar*>(out.data());
    const auto* i = reinterpret_cast<const uchar*>(in.constData());
    const bool ok = unwrap ? EVP_DecryptUpdate(ctx.get(), o, &n, i, int(in.size())) == 1 && EVP_DecryptFinal_ex(ctx.get(), o + n, &tail) == 1
                           : EVP_EncryptUpdate(ctx.get(), o, &n, i, int(in.size())) == 1 && EVP_EncryptFinal_ex(ctx.get(), o + n, &tail) == 1;
    if (!ok || n <= 0)
        return QByteArray();
    out.resize(n + tail);
    return out;
}

} // namespace

bool Keybag::parse(const QByteArray& bytes, QString* why)
{
    *this = Keybag();
    const char* p = bytes.constData();
    const qsizetype end = bytes.size();
    qsizetype at = 0;
    bool seenUuid = false, seenWrap = false;
    ClassKey* current = nullptr;
    while (at < end) {
        if (end - at < 8)
            return fail(why, QStringLiteral("keybag record cut short at offset %1").arg(at));
        const QByteArray tag(p + at, 4);
        const quint32 length = be32(p + at + 4);
        at += 8;
        if (length > quint64(end - at))
            return fail(why, QStringLiteral("keybag record %1 at offset %2 claims %3 bytes, %4 remain")
                                 .arg(QString::fromLatin1(tag.toHex()), QString::number(at - 8), QString::number(length),
                                      QString::number(end - at)));
        const QByteArray value(p + at, qsizetype(length));
        at += length;
        const quint32 number = length == 4 ? be32(value.constData()) : 0;
        if (tag == "UUID" && !seenUuid) {
            seenUuid = true;
            uuid = value;
        } else if (tag == "UUID") {
            if (classKeys.size() >= kMaxClassKeys)
                return fail(why, QStringLiteral("keybag holds more than %1 class keys").arg(kMaxClassKeys));
            classKeys.append(ClassKey());
            current = &classKeys.last();
        } else if (tag == "WRAP" && !current && !seenWrap) {
            seenWrap = true;
            wrap = number;
        } else if (current && tag == "CLAS") {
            current->protectionClass = number;
        } else if (current && tag == "WRAP") {
            current->wrap = number;
        } else if (current && tag == "KTYP") {
            current->keyType = number;
        } else if (current && tag == "WPKY") {
            current->wrappedKey = value;
        } else if (tag == "VERS") {
            version = number;
        } else if (tag == "TYPE") {
            type = number & 0x3FFFFFFF;
        } else if (tag == "HMCK") {
            hmacKey = value;
        } else if (tag == "SALT") {
            salt = value;
        } else if (tag == "ITER") {
            iterations = number;
        } else if (tag == "DPWT") {
            dpwt = number;
        } else if (tag == "DPIC") {
            dpIterations = number;
        } else if (tag == "DPSL") {
            dpSalt = value;
        }
    }
    if (salt.isEmpty() || iterations == 0)
        return fail(why, QStringLiteral("keybag has no password salt or round count"));
    if (iterations > kMaxIterations || dpIterations > kMaxDpIterations)
        return fail(why, QStringLiteral("keybag asks for %1 and %2 key derivation rounds, more than any device uses")
                             .arg(iterations)
                             .arg(dpIterations));
    if (classKeys.isEmpty())
        return fail(why, QStringLiteral("keybag holds no class keys"));
    return true;
}

QByteArray passwordKey(const Keybag& keybag, const QByteArray& password)
{
    QByteArray secret = password;
    if (keybag.hasSecondGeneration()) {
        QByteArray first(kKeyBytes, '\0');
        if (PKCS5_PBKDF2_HMAC(password.constData(), int(password.size()), reinterpret_cast<const uchar*>(keybag.dpSalt.constData()),
                              int(keybag.dpSalt.size()), int(keybag.dpIterations), EVP_sha256(), kKeyBytes,
                              reinterpret_cast<uchar*>(first.data())) != 1)
            return QByteArray();
        secret = first;
    }
    QByteArray key(kKeyBytes, '\0');
    if (PKCS5_PBKDF2_HMAC(secret.constData(), int(secret.size()), reinterpret_cast<const uchar*>(keybag.salt.constData()),
                          int(keybag.salt.size()), int(keybag.iterations), EVP_sha1(), kKeyBytes,
                          reinterpret_cast<uchar*>(key.data())) != 1)
        return QByteArray();
    return key;
}

QByteArray unwrapKey(const QByteArray& kek, const QByteArray& wrapped) { return keyWrap(kek, wrapped, true); }
QByteArray wrapKey(const QByteArray& kek, const QByteArray& key) { return keyWrap(kek, key, false); }

BackupKeys::Result BackupKeys::unlock(const Keybag& keybag, const QByteArray& password, QString* why)
{
    clear();
    const QByteArray kek = passwordKey(keybag, password);
    if (kek.isEmpty()) {
        fail(why, QStringLiteral("the key derivation failed"));
        return Unusable;
    }
    int wrappedByPassword = 0;
    for (const ClassKey& c : keybag.classKeys) {
        if (!(c.wrap & 2) || c.wrappedKey.size() != kWrappedKeyBytes)
            continue; // a key only the device can unwrap is of no use here
        ++wrappedByPassword;
        const QByteArray key = unwrapKey(kek, c.wrappedKey);
        if (key.isEmpty())
            m_damaged.append(c.protectionClass);
        else
            m_keys.append({c.protectionClass, key});
    }
    if (!wrappedByPassword) {
        fail(why, QStringLiteral("the keybag holds no key wrapped with a password"));
        return Unusable;
    }
    // Keys wrapped by one password unwrap all or none: none is a wrong password, some a keybag
    // damaged in the others (the files of their classes are lost, the rest are not).
    if (m_keys.isEmpty()) {
        clear();
        fail(why, QStringLiteral("wrong password"));
        return WrongPassword;
    }
    return Unlocked;
}

QByteArray BackupKeys::fileKey(int protectionClass, const QByteArray& stored) const
{
    if (stored.size() != 4 + kWrappedKeyBytes)
        return QByteArray();
    const auto* u = reinterpret_cast<const uchar*>(stored.constData());
    const quint32 prefix = quint32(u[0]) | (quint32(u[1]) << 8) | (quint32(u[2]) << 16) | (quint32(u[3]) << 24);
    const quint32 wanted = protectionClass > 0 ? quint32(protectionClass) : prefix;
    const QByteArray wrapped = stored.mid(4);
    for (const auto& k : m_keys)
        if (k.first == wanted)
            return unwrapKey(k.second, wrapped);
    // A record whose class disagrees with its key's prefix: the prefix is the one used to wrap.
    for (const auto& k : m_keys)
        if (k.first == prefix)
            return unwrapKey(k.second, wrapped);
    return QByteArray();
}

void BackupKeys::clear()
{
    m_damaged.clear();
    for (auto& k : m_keys)
        k.second.fill('\0');
    m_keys.clear();
}

bool decryptStream(int fd, quint64 size, const QByteArray& key, qint64 plainSize, const Sink& sink, const Progress& progress,
                   QString* why)
{
    if (key.size() != kKeyBytes)
        return fail(why, QStringLiteral("no key for the file"));
    // A file cut short keeps its whole blocks: they decrypt as they were.
    const quint64 whole = size - size % kBlock;
    CipherPtr ctx(EVP_CIPHER_CTX_new());
    const uchar iv[kBlock] = {};
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, reinterpret_cast<const uchar*>(key.constData()), iv) != 1)
        return fail(why, QStringLiteral("the cipher could not be set up"));
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0); // the padding is judged below, with the index's size
    std::vector<uchar> in(kChunk), out(kChunk + kBlock);
    // The last block is held back until the end decides how much of it is data.
    uchar last[kBlock];
    bool haveLast = false;
    quint64 offset = 0;
    qint64 written = 0;
    while (offset < whole) {
        const size_t want = size_t(qMin<quint64>(kChunk, whole - offset));
        const int64_t n = ibrio::readAt(fd, in.data(), want, offset);
        if (n < 0)
            return fail(why, QStringLiteral("read error at offset %1 (%2)").arg(offset).arg(QString::fromLocal8Bit(std::strerror(errno))));
        if (n == 0 || n % kBlock != 0)
            return fail(why, QStringLiteral("the file shrank while read (offset %1)").arg(offset));
        int produced = 0;
        if (EVP_DecryptUpdate(ctx.get(), out.data(), &produced, in.data(), int(n)) != 1)
            return fail(why, QStringLiteral("decryption failed at offset %1").arg(offset));
        offset += quint64(n);
        if (produced < kBlock)
            continue;
        if (haveLast) {
            if (!sink(reinterpret_cast<const char*>(last), kBlock))
                return fail(why, QStringLiteral("the decrypted data could not be written"));
            written += kBlock;
        }
        if (!sink(reinterpret_cast<const char*>(out.data()), size_t(produced - kBlock)))
            return fail(why, QStringLiteral("the decrypted data could not be written"));
        written += produced - kBlock;
        std::memcpy(last, out.data() + produced - kBlock, kBlock);
        haveLast = true;
        if (progress && !progress(qint64(offset)))
            return fail(why, QStringLiteral("stopped"));
    }
    if (whole != size && why)
        *why = QStringLiteral("its last %1 bytes are not a whole cipher block (the file is damaged): decrypted up to offset %2")
                   .arg(size - whole)
                   .arg(whole);
    if (!haveLast)
        return true; // an empty file
    int keep = kBlock;
    const qint64 total = written + kBlock;
    // Said, not refused: a damaged end garbles two blocks at most, and what decrypted is kept.
    const auto note = [why](const QString& text) {
        if (why)
            *why = why->isEmpty() ? text : *why + QStringLiteral("; ") + text;
    };
    if (plainSize >= 0 && plainSize <= total && plainSize > total - kBlock) {
        keep = int(plainSize - written);
        // The bytes after the data are its padding, each the padding's length: a wrong key (or a
        // damaged end) leaves anything there.
        bool padded = true;
        for (int i = keep; padded && i < kBlock; ++i)
            padded = last[i] == kBlock - keep;
        if (!padded)
            note(QStringLiteral("its padding does not fit the size its index gives (a wrong key, or a damaged end)"));
    } else {
        if (plainSize > total)
            note(QStringLiteral("its index gives %1 bytes, it holds %2 (cut short)").arg(plainSize).arg(total));
        const int pad = last[kBlock - 1];
        bool padded = pad >= 1 && pad <= kBlock;
        for (int i = kBlock - pad; padded && i < kBlock; ++i)
            padded = last[i] == pad;
        if (padded)
            keep = kBlock - pad;
        else if (plainSize >= 0 && plainSize <= written)
            keep = 0; // an index size that ends before the last block: the padding decides nothing
    }
    keep = std::clamp(keep, 0, int(kBlock));
    std::memset(last + keep, 0, size_t(kBlock - keep));
    if (keep > 0 && !sink(reinterpret_cast<const char*>(last), size_t(keep)))
        return fail(why, QStringLiteral("the decrypted data could not be written"));
    return true;
}

bool decryptFile(const QString& source, const QString& target, const QByteArray& key, qint64 plainSize,
                 const Progress& progress, QString* why)
{
    std::string error;
    uint64_t size = 0;
    const int fd = ibrio::openRegularFile(QFile::encodeName(source).toStdString(), &size, &error);
    if (fd < 0)
        return fail(why, QFile::decodeName(error.c_str()));
    ibrio::OutputFile out;
    bool ok = out.open(QFile::encodeName(target).toStdString(), ibrio::OutputFile::NoReplace);
    QString reason;
    if (ok)
        ok = decryptStream(fd, size, key, plainSize, [&out](const char* d, size_t n) { return out.write(d, n); }, progress, &reason);
    ::close(fd);
    if (ok && out.commit()) {
        if (why && !reason.isEmpty())
            *why = QStringLiteral("%1: %2").arg(source, reason);
        return true;
    }
    out.discard();
    return fail(why, reason.isEmpty() ? QFile::decodeName(out.error().c_str()) : QStringLiteral("%1: %2").arg(source, reason));
}

QByteArray encrypt(const QByteArray& key, const QByteArray& plain)
{
    CipherPtr ctx(EVP_CIPHER_CTX_new());
    const uchar iv[kBlock] = {};
    if (key.size() != kKeyBytes || !ctx
        || EVP_EncryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, reinterpret_cast<const uchar*>(key.constData()), iv) != 1)
        return QByteArray();
    QByteArray out(plain.size() + kBlock, '\0');
    int n = 0, tail = 0;
    auto* o = reinterpret_cast<uchar*>(out.data());
    if (EVP_EncryptUpdate(ctx.get(), o, &n, reinterpret_cast<const uchar*>(plain.constData()), int(plain.size())) != 1
        || EVP_EncryptFinal_ex(ctx.get(), o + n, &tail) != 1)
        return QByteArray();
    out.resize(n + tail);
    return out;
}

QByteArray randomBytes(int count)
{
    QByteArray out(count, '\0');
    if (RAND_bytes(reinterpret_cast<uchar*>(out.data()), count) != 1)
        return QByteArray();
    return out;
}

} // namespace backupcrypto
