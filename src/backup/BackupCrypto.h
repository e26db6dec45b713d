#pragma once

// Encrypted backups: the keybag kept in Manifest.plist, the key derived from the owner's password,
// the class keys it unwraps, and the per-file keys those unwrap in turn. Every cipher and hash is
// OpenSSL's; what is written here is the layout of the keybag and the order of the steps.

#include <QByteArray>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <functional>

namespace backupcrypto {

// A key of one data protection class, as the keybag keeps it.
struct ClassKey {
    quint32 protectionClass = 0; // CLAS
    quint32 wrap = 0;            // WRAP: 1 device key, 2 password key, 3 both
    quint32 keyType = 0;         // KTYP
    QByteArray wrappedKey;       // WPKY, RFC 3394 wrapped
};

// The backup keybag: tagged records (four-letter tag, 32-bit big-endian length, value), first the
// bag's own attributes, then one group per class key, each opened by a UUID record.
struct Keybag {
    quint32 version = 0;    // VERS
    quint32 type = 0;       // TYPE (1: backup)
    quint32 wrap = 0;       // WRAP
    QByteArray uuid;        // UUID
    QByteArray hmacKey;     // HMCK
    QByteArray salt;        // SALT: PBKDF2-SHA1 salt
    quint32 iterations = 0; // ITER: PBKDF2-SHA1 rounds
    quint32 dpwt = 0;       // DPWT
    quint32 dpIterations = 0; // DPIC: PBKDF2-SHA256 rounds of the first step (iOS 10.2 on), 0 when absent
    QByteArray dpSalt;      // DPSL
    QList<ClassKey> classKeys;

    // False, with the reason, for anything that is not a whole keybag a device could have written:
    // a record cut short, a length past the end, hundreds of class keys, no salt, round counts no
    // device uses (a hostile count would keep the key derivation busy for hours).
    bool parse(const QByteArray& bytes, QString* why);
    // Whether the password key takes the PBKDF2-SHA256 step first.
    bool hasSecondGeneration() const { return dpIterations > 0 && !dpSalt.isEmpty(); }
};

// The round counts a device writes are 10,000 (SHA-1) and 10,000,000 (SHA-256); a keybag asking
// for more than these bounds is refused.
constexpr quint32 kMaxIterations = 1000000;
constexpr quint32 kMaxDpIterations = 50000000;

// The 32-byte key the class keys are wrapped with.
QByteArray passwordKey(const Keybag& keybag, const QByteArray& password);

// RFC 3394 key unwrap; empty when the integrity check fails (a wrong key) or the input is not
// 8 bytes longer than a whole number of 8-byte blocks.
QByteArray unwrapKey(const QByteArray& kek, const QByteArray& wrapped);
QByteArray wrapKey(const QByteArray& kek, const QByteArray& key); // for the sample backups

// The class keys of one unlocked keybag.
class BackupKeys
{
public:
    enum Result { Unlocked, WrongPassword, Unusable };
    Result unlock(const Keybag& keybag, const QByteArray& password, QString* why);
    bool isUnlocked() const { return !m_keys.isEmpty(); }
    // A file key as the index keeps it: four bytes of protection class (little-endian), then the
    // wrapped key. `protectionClass` of the record wins when it is set; empty on failure.
    QByteArray fileKey(int protectionClass, const QByteArray& stored) const;
    // The classes whose key the password did not unwrap although others' it did: damaged.
    const QList<quint32>& damagedClasses() const { return m_damaged; }
    void clear();

private:
    QList<QPair<quint32, QByteArray>> m_keys; // class, key
    QList<quint32> m_damaged;
};

// AES-256-CBC with a zero IV, as every encrypted data file and the encrypted Manifest.db are
// written. Reads `in` (a regular file) in 1 MiB blocks and hands the plain bytes to `sink`, so
// memory stays the same whatever the size. The plain length is `plainSize` when the index gives
// one that fits the last block, else what the PKCS#7 padding says. `progress` receives the bytes
// read so far and stops the work by returning false. False with the reason on any failure. A file
// that is not whole blocks is decrypted up to its last whole one: true, and `why` says so.
using Sink = std::function<bool(const char* data, size_t size)>;
using Progress = std::function<bool(qint64 done)>;
bool decryptStream(int fd, quint64 size, const QByteArray& key, qint64 plainSize, const Sink& sink,
                   const Progress& progress, QString* why);
// The same into a new file `target` (which must not exist), removed again on any failure.
bool decryptFile(const QString& source, const QString& target, const QByteArray& key, qint64 plainSize,
                 const Progress& progress, QString* why);
// AES-256-CBC with PKCS#7 padding and a zero IV, for the sample backups.
QByteArray encrypt(const QByteArray& key, const QByteArray& plain);
QByteArray randomBytes(int count);

} // namespace backupcrypto
