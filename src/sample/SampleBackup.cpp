#include "SampleBackup.h"

#include <algorithm>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QTemporaryDir>

#include <plist/plist.h>
#include <sqlite3.h>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include "../backup/Plist.h"
#include "evidencedb/EvidenceDatabase.h"
#include "ibr/schemas.h"
#include "utility/SafeIo.h"

#include <cstdlib>

namespace sample {

namespace {

// libplist counts dates from 2001-01-01.
const qint64 kSecondsFrom1970To2001 = 978307200;

plist_t dateNode(const QDateTime& dt)
{
    return plist_new_date(int32_t(dt.toSecsSinceEpoch() - kSecondsFrom1970To2001), 0);
}

plist_t variantNode(const QVariant& v)
{
    switch (v.typeId()) {
    case QMetaType::Bool:
        return plist_new_bool(v.toBool());
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        return plist_new_uint(v.toULongLong());
    case QMetaType::QDateTime:
        return dateNode(v.toDateTime());
    case QMetaType::QByteArray: {
        const QByteArray b = v.toByteArray();
        return plist_new_data(b.constData(), uint64_t(b.size()));
    }
    default:
        return plist_new_string(v.toString().toUtf8().constData());
    }
}

QByteArray toXml(plist_t root)
{
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root, &xml, &length);
    QByteArray out(xml, int(length));
    free(xml);
    return out;
}

QByteArray toBinary(plist_t root)
{
    char* bin = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &bin, &length);
    QByteArray out(bin, int(length));
    free(bin);
    return out;
}

void putU16(QByteArray& out, quint16 v)
{
    out += char(v >> 8);
    out += char(v & 0xFF);
}

void putU32(QByteArray& out, quint32 v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out += char((v >> shift) & 0xFF);
}

void putU64(QByteArray& out, quint64 v)
{
    for (int shift = 56; shift >= 0; shift -= 8)
        out += char((v >> shift) & 0xFF);
}

// The sync software writes 0xFFFF for an empty string; `emptyMarker` forces it for any value.
void putString(QByteArray& out, const QByteArray& s, bool emptyMarker = false)
{
    if (emptyMarker || s.isEmpty()) {
        putU16(out, 0xFFFF);
        return;
    }
    putU16(out, quint16(s.size()));
    out += s;
}

// The demo writes into a folder the user names: like every output, never through a link.
bool writeBytes(const QString& path, const QByteArray& bytes)
{
    return ibrio::writeFile(QFile::encodeName(path).toStdString(), bytes.constData(), size_t(bytes.size()),
                            ibrio::OutputFile::Replace, nullptr);
}

QList<QPair<QString, CategoryWriter>>& categoryRegistry()
{
    static QList<QPair<QString, CategoryWriter>> list;
    return list;
}

} // namespace

QString hashedName(const QString& domain, const QString& relativePath)
{
    return QString::fromLatin1(
        QCryptographicHash::hash((domain + QLatin1Char('-') + relativePath).toUtf8(), QCryptographicHash::Sha1).toHex());
}

namespace {

// Written apart from the reader's code on purpose: the tests then check one against the other.
// AES-256-CBC with PKCS#7 padding and a zero IV, or the RFC 3394 key wrap.
QByteArray seal(const EVP_CIPHER* cipher, const QByteArray& key, const QByteArray& input)
{
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    const unsigned char iv[16] = {};
    QByteArray out(input.size() + 16, '\0');
    int n = 0, tail = 0;
    auto* o = reinterpret_cast<unsigned char*>(out.data());
    bool ok = ctx && key.size() == 32;
    if (ok) {
        EVP_CIPHER_CTX_set_flags(ctx, EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
        ok = EVP_EncryptInit_ex(ctx, cipher, nullptr, reinterpret_cast<const unsigned char*>(key.constData()),
                                cipher == EVP_aes_256_cbc() ? iv : nullptr) == 1
            && EVP_EncryptUpdate(ctx, o, &n, reinterpret_cast<const unsigned char*>(input.constData()), int(input.size())) == 1
            && EVP_EncryptFinal_ex(ctx, o + n, &tail) == 1;
    }
    EVP_CIPHER_CTX_free(ctx);
    if (!ok)
        return QByteArray();
    out.resize(n + tail);
    return out;
}

QByteArray aesCbc(const QByteArray& key, const QByteArray& plain) { return seal(EVP_aes_256_cbc(), key, plain); }
QByteArray aesWrap(const QByteArray& kek, const QByteArray& key) { return seal(EVP_aes_256_wrap(), kek, key); }

QByteArray pbkdf2(const QByteArray& secret, const QByteArray& salt, quint32 rounds, const EVP_MD* digest)
{
    QByteArray out(32, '\0');
    if (PKCS5_PBKDF2_HMAC(secret.constData(), int(secret.size()), reinterpret_cast<const unsigned char*>(salt.constData()),
                          int(salt.size()), int(rounds), digest, 32, reinterpret_cast<unsigned char*>(out.data())) != 1)
        return QByteArray();
    return out;
}

QByteArray random(int n)
{
    QByteArray out(n, '\0');
    RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), n);
    return out;
}

QByteArray be32(quint32 v)
{
    QByteArray out(4, '\0');
    for (int i = 0; i < 4; ++i)
        out[i] = char(v >> (24 - 8 * i));
    return out;
}

QByteArray le32(quint32 v)
{
    QByteArray out(4, '\0');
    for (int i = 0; i < 4; ++i)
        out[i] = char(v >> (8 * i));
    return out;
}

void tlv(QByteArray& out, const char* tag, const QByteArray& value)
{
    out += QByteArray(tag, 4) + be32(quint32(value.size())) + value;
}

} // namespace

bool SampleBackupWriter::encryptFiles(QByteArray* keybag, QByteArray* manifestKey, QByteArray* manifestDbKey)
{
    const bool twoStep = passwordFirstStepRounds > 0;
    const QByteArray salt = random(20), dpSalt = random(20);
    QByteArray secret = password;
    if (twoStep)
        secret = pbkdf2(password, dpSalt, passwordFirstStepRounds, EVP_sha256());
    const QByteArray kek = pbkdf2(secret, salt, passwordRounds, EVP_sha1());
    if (kek.isEmpty())
        return false;
    // The classes a backup keybag holds; class 2's key is of another type on the device, wrapped
    // the same way here.
    QMap<quint32, QByteArray> classKeys;
    QByteArray bag;
    tlv(bag, "VERS", be32(twoStep ? 4 : 3));
    tlv(bag, "TYPE", be32(1));
    tlv(bag, "UUID", random(16));
    tlv(bag, "HMCK", random(40));
    tlv(bag, "WRAP", be32(0));
    tlv(bag, "SALT", salt);
    tlv(bag, "ITER", be32(passwordRounds));
    if (twoStep) {
        tlv(bag, "DPWT", be32(1));
        tlv(bag, "DPIC", be32(passwordFirstStepRounds));
        tlv(bag, "DPSL", dpSalt);
    }
    for (quint32 cls = 1; cls <= 11; ++cls) {
        if (cls == 5)
            continue; // no class 5 on devices
        classKeys[cls] = random(32);
        tlv(bag, "UUID", random(16));
        tlv(bag, "CLAS", be32(cls));
        tlv(bag, "WRAP", be32(2));
        tlv(bag, "KTYP", be32(cls == 2 ? 1 : 0));
        tlv(bag, "WPKY", aesWrap(kek, classKeys[cls]));
    }
    *keybag = bag;
    QHash<QString, int> byName;
    for (int i = 0; i < m_records.size(); ++i)
        byName.insert(hashedName(QString::fromUtf8(m_records[i].domain), QString::fromUtf8(m_records[i].path)), i);
    for (auto& file : m_dataFiles) {
        const QString hash = QFileInfo(file.first).completeBaseName();
        const auto it = byName.constFind(hash);
        if (it == byName.constEnd())
            continue; // written as it is: not a file of the index
        MbdbRecord& r = m_records[it.value()];
        const quint32 cls = classKeys.contains(r.protectionClass) ? r.protectionClass : 4;
        const QByteArray key = random(32);
        r.encryptionKey = le32(cls) + aesWrap(classKeys[cls], key);
        file.second = aesCbc(key, file.second);
        if (file.second.isEmpty() && r.size > 0)
            return false;
    }
    if (indexKind == IndexKind::ManifestDb && twoStep) {
        *manifestDbKey = random(32);
        *manifestKey = le32(4) + aesWrap(classKeys[4], *manifestDbKey);
        manifestDbWal = false; // an encrypted index is one file
    }
    return true;
}

SampleBackupWriter::SampleBackupWriter(const QString& folder) : m_folder(folder) {}

void SampleBackupWriter::setDevice(const QString& deviceName, const QString& productType,
                                   const QString& productVersion, const QDateTime& lastBackup)
{
    info[QStringLiteral("Device Name")] = deviceName;
    info[QStringLiteral("Display Name")] = deviceName;
    info[QStringLiteral("Product Type")] = productType;
    info[QStringLiteral("Product Version")] = productVersion;
    info[QStringLiteral("Serial Number")] = QStringLiteral("C39KQ0ABFFT9");
    info[QStringLiteral("iTunes Version")] = QStringLiteral("12.3.2.35");
    info[QStringLiteral("Last Backup Date")] = lastBackup;
    lockdown[QStringLiteral("DeviceName")] = deviceName;
    lockdown[QStringLiteral("ProductType")] = productType;
    lockdown[QStringLiteral("ProductVersion")] = productVersion;
    lockdown[QStringLiteral("SerialNumber")] = QStringLiteral("C39KQ0ABFFT9");
    manifestDate = lastBackup;
}

QString SampleBackupWriter::addFile(const QString& domain, const QString& relativePath, const QByteArray& data)
{
    addIndexOnly(domain, relativePath, data.size());
    const QString hash = hashedName(domain, relativePath);
    const QString name = indexKind == IndexKind::Legacy       ? hash + QStringLiteral(".mddata")
                         : indexKind == IndexKind::ManifestDb ? hash.left(2) + QLatin1Char('/') + hash
                                                              : hash;
    m_dataFiles.append(qMakePair(name, data));
    return QDir(m_folder).absoluteFilePath(name);
}

void SampleBackupWriter::addIndexOnly(const QString& domain, const QString& relativePath, qint64 size)
{
    MbdbRecord r;
    r.domain = domain.toUtf8();
    r.path = relativePath.toUtf8();
    r.size = size;
    r.inode = quint64(m_records.size() + 1000);
    r.mtime = r.atime = r.ctime = 1400000000;
    r.digest = QCryptographicHash::hash(r.path, QCryptographicHash::Sha1);
    m_records.append(r);
    m_legacy.append(qMakePair(domain, relativePath));
}

void SampleBackupWriter::addRawRecord(const MbdbRecord& record)
{
    m_records.append(record);
}

QString SampleBackupWriter::addDatabase(const QString& domain, const QString& relativePath,
                                        const std::function<bool(sqlite3*)>& build)
{
    QTemporaryDir tmp;
    if (!tmp.isValid())
        return QString();
    const QString path = tmp.filePath(QStringLiteral("db.sqlite"));
    bool ok = false;
    {
        sqlite3* raw = nullptr;
        const int rc = sqlite3_open(path.toUtf8().constData(), &raw);
        const evidencedb::SqlitePtr db(raw);
        if (rc != SQLITE_OK)
            return QString();
        // Debian's SQLite zeroes freed space by default; a device's does not, and deleted rows
        // must survive in the samples as they do on a phone.
        sqlite3_exec(db.get(), "PRAGMA secure_delete = OFF", nullptr, nullptr, nullptr);
        // Builders write row by row, each row its own transaction: without a journal file or a
        // sync per row a large sample takes seconds instead of tens. The file's pages are the same.
        sqlite3_exec(db.get(), "PRAGMA synchronous = OFF", nullptr, nullptr, nullptr);
        sqlite3_exec(db.get(), "PRAGMA journal_mode = MEMORY", nullptr, nullptr, nullptr);
        ok = build(db.get());
    }
    if (!ok)
        return QString();
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    return addFile(domain, relativePath, f.readAll());
}

QByteArray SampleBackupWriter::fileArchive(const MbdbRecord& r)
{
    const PlistPtr owner(plist_new_dict());
    plist_t root = owner.get();
    plist_dict_set_item(root, "$version", plist_new_uint(100000));
    plist_dict_set_item(root, "$archiver", plist_new_string("NSKeyedArchiver"));
    plist_t top = plist_new_dict();
    plist_dict_set_item(top, "root", plist_new_uid(1));
    plist_dict_set_item(root, "$top", top);
    plist_t objects = plist_new_array();
    plist_array_append_item(objects, plist_new_string("$null"));
    plist_t file = plist_new_dict();
    plist_dict_set_item(file, "$class", plist_new_uid(3));
    plist_dict_set_item(file, "RelativePath", plist_new_uid(2));
    plist_dict_set_item(file, "Size", plist_new_uint(uint64_t(r.size)));
    plist_dict_set_item(file, "Mode", plist_new_uint(r.mode));
    plist_dict_set_item(file, "InodeNumber", plist_new_uint(r.inode));
    plist_dict_set_item(file, "UserID", plist_new_uint(r.uid));
    plist_dict_set_item(file, "GroupID", plist_new_uint(r.gid));
    plist_dict_set_item(file, "LastModified", plist_new_uint(r.mtime));
    plist_dict_set_item(file, "LastStatusChange", plist_new_uint(r.ctime));
    plist_dict_set_item(file, "Birth", plist_new_uint(r.ctime));
    plist_dict_set_item(file, "ProtectionClass", plist_new_uint(r.protectionClass));
    plist_dict_set_item(file, "Flags", plist_new_uint(0));
    if (!r.encryptionKey.isEmpty())
        plist_dict_set_item(file, "EncryptionKey", plist_new_uid(4));
    plist_array_append_item(objects, file);
    plist_array_append_item(objects, plist_new_string(r.path.constData()));
    const auto addClass = [objects](std::initializer_list<const char*> names) {
        plist_t cls = plist_new_dict();
        plist_dict_set_item(cls, "$classname", plist_new_string(*names.begin()));
        plist_t classes = plist_new_array();
        for (const char* n : names)
            plist_array_append_item(classes, plist_new_string(n));
        plist_dict_set_item(cls, "$classes", classes);
        plist_array_append_item(objects, cls);
    };
    addClass({"MBFile", "NSObject"});
    if (!r.encryptionKey.isEmpty()) {
        plist_t data = plist_new_dict();
        plist_dict_set_item(data, "NS.data", plist_new_data(r.encryptionKey.constData(), uint64_t(r.encryptionKey.size())));
        plist_dict_set_item(data, "$class", plist_new_uid(5));
        plist_array_append_item(objects, data);
        addClass({"NSMutableData", "NSData", "NSObject"});
    }
    plist_dict_set_item(root, "$objects", objects);
    return toBinary(root);
}

bool SampleBackupWriter::writeManifestDb(const QString& path) const
{
    const QString wal = path + QStringLiteral("-wal");
    const QString keep = path + QStringLiteral(".keep");
    const QString keepWal = wal + QStringLiteral(".keep");
    for (const QString& f : {path, wal, keep, keepWal})
        QFile::remove(f);
    {
        sqlite3* raw = nullptr;
        const int rc = sqlite3_open(QFile::encodeName(path).constData(), &raw);
        const evidencedb::SqlitePtr db(raw);
        if (rc != SQLITE_OK)
            return false;
        auto exec = [&](const char* sql) { return sqlite3_exec(raw, sql, nullptr, nullptr, nullptr) == SQLITE_OK; };
        bool ok = exec(manifestDbWal ? "PRAGMA journal_mode=WAL" : "PRAGMA journal_mode=DELETE") && exec("PRAGMA wal_autocheckpoint=0");
        for (const QString& s : ibr::iosSchemaStatements(14, QStringLiteral("Manifest.db")))
            ok = ok && exec(s.toUtf8().constData());
        sqlite3_stmt* insert = nullptr;
        ok = ok && sqlite3_prepare_v2(raw, "INSERT INTO Files (fileID, domain, relativePath, flags, file) VALUES (?, ?, ?, ?, ?)",
                                      -1, &insert, nullptr) == SQLITE_OK;
        const int half = int(m_records.size()) / 2;
        ok = ok && exec("BEGIN");
        for (int i = 0; ok && i < m_records.size(); ++i) {
            const MbdbRecord& r = m_records[i];
            if (manifestDbWal && i == half) // the rest lives only in the -wal
                ok = exec("COMMIT") && exec("PRAGMA wal_checkpoint(TRUNCATE)") && exec("BEGIN");
            const QByteArray id = QCryptographicHash::hash(r.domain + '-' + r.path, QCryptographicHash::Sha1).toHex();
            const QByteArray blob = fileArchive(r);
            const quint16 type = r.mode & 0xF000;
            sqlite3_bind_text(insert, 1, id.constData(), int(id.size()), SQLITE_TRANSIENT);
            sqlite3_bind_text(insert, 2, r.domain.constData(), int(r.domain.size()), SQLITE_TRANSIENT);
            sqlite3_bind_text(insert, 3, r.path.constData(), int(r.path.size()), SQLITE_TRANSIENT);
            sqlite3_bind_int(insert, 4, type == 0x4000 ? 2 : type == 0xA000 ? 4 : 1);
            sqlite3_bind_blob(insert, 5, blob.constData(), int(blob.size()), SQLITE_TRANSIENT);
            ok = ok && sqlite3_step(insert) == SQLITE_DONE;
            sqlite3_reset(insert);
        }
        sqlite3_finalize(insert);
        ok = ok && exec("COMMIT");
        if (!ok)
            return false;
        // Closing folds the -wal back in: keep both files as they are while open.
        if (manifestDbWal && !(QFile::copy(path, keep) && QFile::copy(wal, keepWal)))
            return false;
    }
    if (!manifestDbWal)
        return true;
    QFile::remove(path);
    QFile::remove(wal);
    return QFile::rename(keep, path) && QFile::rename(keepWal, wal);
}

bool SampleBackupWriter::write(QString* error)
{
    auto fail = [error](const QString& message) {
        if (error)
            *error = message;
        return false;
    };
    QDir dir(m_folder);
    if (!dir.exists() && !QDir().mkpath(m_folder))
        return fail(QStringLiteral("cannot create %1").arg(m_folder));

    if (writeInfoPlist) {
        const PlistPtr owner(plist_new_dict());
        plist_t root = owner.get();
        for (auto it = info.constBegin(); it != info.constEnd(); ++it)
            plist_dict_set_item(root, it.key().toUtf8().constData(), variantNode(it.value()));
        const bool ok = writeBytes(dir.filePath(QStringLiteral("Info.plist")), toXml(root));
        if (!ok)
            return fail(QStringLiteral("cannot write Info.plist"));
    }

    QByteArray keybag, manifestKey, manifestDbKey;
    if (!password.isEmpty() && !encryptFiles(&keybag, &manifestKey, &manifestDbKey))
        return fail(QStringLiteral("the files could not be encrypted"));
    QByteArray manifest = manifestOverride;
    if (manifest.isEmpty()) {
        const PlistPtr owner(plist_new_dict());
        plist_t root = owner.get();
        if (!password.isEmpty()) {
            plist_dict_set_item(root, "IsEncrypted", plist_new_bool(1));
            plist_dict_set_item(root, "BackupKeyBag", plist_new_data(keybag.constData(), uint64_t(keybag.size())));
            if (!manifestKey.isEmpty())
                plist_dict_set_item(root, "ManifestKey", plist_new_data(manifestKey.constData(), uint64_t(manifestKey.size())));
        } else if (isEncrypted.isValid()) {
            plist_dict_set_item(root, "IsEncrypted", variantNode(isEncrypted));
        }
        if (!lockdown.isEmpty()) {
            plist_t ld = plist_new_dict();
            for (auto it = lockdown.constBegin(); it != lockdown.constEnd(); ++it)
                plist_dict_set_item(ld, it.key().toUtf8().constData(), plist_new_string(it.value().toUtf8().constData()));
            plist_dict_set_item(root, "Lockdown", ld);
        }
        if (manifestDate.isValid())
            plist_dict_set_item(root, "Date", dateNode(manifestDate));
        plist_dict_set_item(root, "Version", plist_new_string(indexKind == IndexKind::ManifestDb ? "10.0" : "9.1"));
        plist_dict_set_item(root, "WasPasscodeSet", plist_new_bool(0));
        manifest = manifestFormat == PlistFormat::Binary ? toBinary(root) : toXml(root);
    }
    if (!writeBytes(dir.filePath(QStringLiteral("Manifest.plist")), manifest))
        return fail(QStringLiteral("cannot write Manifest.plist"));

    if (indexKind == IndexKind::ManifestDb) {
        const QString db = dir.filePath(QStringLiteral("Manifest.db"));
        if (!writeManifestDb(db))
            return fail(QStringLiteral("cannot write Manifest.db"));
        if (!manifestDbKey.isEmpty()) {
            QFile f(db);
            const QByteArray plain = f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
            f.close();
            const QByteArray sealed = aesCbc(manifestDbKey, plain);
            if (plain.isEmpty() || sealed.isEmpty() || !writeBytes(db, sealed))
                return fail(QStringLiteral("cannot encrypt Manifest.db"));
        }
    } else if (indexKind == IndexKind::Mbdb) {
        QByteArray mbdb("mbdb\x05\x00", 6);
        for (const MbdbRecord& r : m_records) {
            putString(mbdb, r.domain, r.domainIsEmptyMarker);
            putString(mbdb, r.path, r.pathIsEmptyMarker);
            putString(mbdb, r.linkTarget);
            putString(mbdb, r.digest);
            putString(mbdb, r.encryptionKey);
            putU16(mbdb, r.mode);
            putU64(mbdb, r.inode);
            putU32(mbdb, r.uid);
            putU32(mbdb, r.gid);
            putU32(mbdb, r.mtime);
            putU32(mbdb, r.atime);
            putU32(mbdb, r.ctime);
            putU64(mbdb, quint64(r.size));
            mbdb += char(r.protectionClass);
            mbdb += char(r.propertyCountOverride ? r.propertyCountOverride : quint8(r.properties.size()));
            for (const auto& p : r.properties) {
                putString(mbdb, p.first);
                putString(mbdb, p.second);
            }
        }
        mbdb += mbdbTail;
        if (!writeBytes(dir.filePath(QStringLiteral("Manifest.mbdb")), mbdb))
            return fail(QStringLiteral("cannot write Manifest.mbdb"));
    } else {
        for (const auto& entry : m_legacy) {
            const PlistPtr meta(plist_new_dict());
            plist_dict_set_item(meta.get(), "Domain", plist_new_string(entry.first.toUtf8().constData()));
            plist_dict_set_item(meta.get(), "Path", plist_new_string(entry.second.toUtf8().constData()));
            const QByteArray metaBytes = toBinary(meta.get());
            const PlistPtr owner(plist_new_dict());
            plist_t root = owner.get();
            plist_dict_set_item(root, "Metadata", plist_new_data(metaBytes.constData(), uint64_t(metaBytes.size())));
            plist_dict_set_item(root, "IsEncrypted", plist_new_bool(0));
            plist_dict_set_item(root, "Version", plist_new_string("3.0"));
            plist_dict_set_item(root, "AuthVersion", plist_new_string("1.0"));
            plist_dict_set_item(root, "StorageVersion", plist_new_string("1.0"));
            const QByteArray bytes = toBinary(root);
            if (!writeBytes(dir.filePath(hashedName(entry.first, entry.second) + QStringLiteral(".mdinfo")), bytes))
                return fail(QStringLiteral("cannot write .mdinfo"));
        }
    }

    for (const auto& file : m_dataFiles)
        if (!QDir().mkpath(QFileInfo(dir.filePath(file.first)).path()) || !writeBytes(dir.filePath(file.first), file.second))
            return fail(QStringLiteral("cannot write data file %1").arg(file.first));
    return true;
}

bool SampleBackupWriter::writeDeviceTree(const QString& root, QString* error) const
{
    auto fail = [error](const QString& message) {
        if (error)
            *error = message;
        return false;
    };
    QHash<QString, QByteArray> bytes;
    for (const auto& file : m_dataFiles)
        bytes.insert(QFileInfo(file.first).completeBaseName(), file.second);
    const QDir dir(root);
    const QString var = QStringLiteral("private/var/");
    QMap<QString, QString> containers; // group identifier -> folder
    for (const MbdbRecord& r : m_records) {
        const QString domain = QString::fromUtf8(r.domain), path = QString::fromUtf8(r.path);
        const auto data = bytes.constFind(hashedName(domain, path));
        if (data == bytes.constEnd())
            continue;
        QString devicePath;
        if (domain == QLatin1String("WirelessDomain")) {
            devicePath = var + QStringLiteral("wireless/") + path;
        } else if (domain == QLatin1String("MediaDomain") || domain == QLatin1String("CameraRollDomain")
                   || (domain == QLatin1String("HomeDomain") && !path.startsWith(QLatin1String("Media/")))) {
            devicePath = var + QStringLiteral("mobile/") + path;
        } else if (domain.startsWith(QLatin1String("AppDomainGroup-group.com.apple."))) {
            const QString group = domain.mid(15);
            if (!containers.contains(group)) // a folder named at random on the device; fixed here
                containers.insert(group, QString::fromLatin1(QCryptographicHash::hash(group.toUtf8(), QCryptographicHash::Md5).toHex().toUpper()));
            devicePath = var + QStringLiteral("mobile/Containers/Shared/AppGroup/") + containers.value(group) + QLatin1Char('/') + path;
        } else {
            continue; // other apps' files and domains no reader looks at
        }
        const QString target = dir.filePath(devicePath);
        if (!QDir().mkpath(QFileInfo(target).path()) || !writeBytes(target, data.value()))
            return fail(QStringLiteral("cannot write %1").arg(target));
        QFile stamped(target);
        if (r.mtime && stamped.open(QIODevice::ReadWrite))
            stamped.setFileTime(QDateTime::fromSecsSinceEpoch(r.mtime, Qt::UTC), QFileDevice::FileModificationTime);
    }
    const auto writePlist = [&](const QString& path, plist_t node) {
        const PlistPtr owner(node);
        return QDir().mkpath(QFileInfo(dir.filePath(path)).path()) && writeBytes(dir.filePath(path), toXml(node));
    };
    for (auto it = containers.constBegin(); it != containers.constEnd(); ++it) {
        plist_t meta = plist_new_dict();
        plist_dict_set_item(meta, "MCMMetadataIdentifier", plist_new_string(it.key().toUtf8().constData()));
        if (!writePlist(var + QStringLiteral("mobile/Containers/Shared/AppGroup/") + it.value()
                            + QStringLiteral("/.com.apple.mobile_container_manager.metadata.plist"),
                        meta))
            return fail(QStringLiteral("cannot write a container's metadata"));
    }
    const auto text = [this](const char* key) { return info.value(QLatin1String(key)).toString().toUtf8(); };
    plist_t version = plist_new_dict();
    plist_dict_set_item(version, "ProductName", plist_new_string("iPhone OS"));
    plist_dict_set_item(version, "ProductVersion", plist_new_string(text("Product Version").constData()));
    plist_t lockdown = plist_new_dict();
    plist_dict_set_item(lockdown, "-DeviceName", plist_new_string(text("Device Name").constData()));
    plist_dict_set_item(lockdown, "-SerialNumber", plist_new_string(text("Serial Number").constData()));
    plist_dict_set_item(lockdown, "-ProductType", plist_new_string(text("Product Type").constData()));
    plist_t preferences = plist_new_dict(), system = plist_new_dict(), inner = plist_new_dict();
    plist_dict_set_item(inner, "ComputerName", plist_new_string(text("Device Name").constData()));
    plist_dict_set_item(system, "System", inner);
    plist_dict_set_item(preferences, "System", system);
    if (!writePlist(QStringLiteral("System/Library/CoreServices/SystemVersion.plist"), version)
        || !writePlist(QStringLiteral("private/var/root/Library/Lockdown/data_ark.plist"), lockdown)
        || !writePlist(QStringLiteral("private/var/preferences/SystemConfiguration/preferences.plist"), preferences))
        return fail(QStringLiteral("cannot write the device's property files"));
    return true;
}

CategoryRegistrar::CategoryRegistrar(const char* name, CategoryWriter writer)
{
    categoryRegistry().append(qMakePair(QString::fromLatin1(name), writer));
}

QStringList registeredCategories()
{
    QStringList out;
    for (const auto& c : categoryRegistry())
        out << c.first;
    return out;
}

// The last release of each major version the samples have layouts for.
QString demoProductVersion(int iosMajor)
{
    static const char* const kReleases[] = {"5.1.1",  "6.1.6",  "7.1.2",  "8.4.1",   "9.3.5",   "10.3.3", "11.4.1",
                                            "12.5.7", "13.7",   "14.8.1", "15.8.3",  "16.7.10", "17.6.1", "18.1"};
    return QLatin1String(kReleases[std::clamp(iosMajor, 5, 18) - 5]);
}

namespace {

// A phone that ran that release, and a backup date after it came out: a sample no device could
// have made would mislead whoever checks a report against it.
struct DemoDevice {
    const char* productType;
    int year, month, day;
};
DemoDevice demoDevice(int iosMajor)
{
    static const DemoDevice kDevices[] = {
        {"iPhone4,1", 2012, 6, 18},   {"iPhone5,2", 2014, 3, 10},  {"iPhone6,2", 2014, 8, 20},  {"iPhone6,2", 2016, 3, 14},
        {"iPhone6,2", 2016, 9, 12},   {"iPhone9,3", 2017, 10, 2},  {"iPhone10,6", 2018, 9, 3},  {"iPhone7,2", 2023, 3, 6},
        {"iPhone11,8", 2020, 10, 5},  {"iPhone12,1", 2021, 11, 15}, {"iPhone9,3", 2024, 9, 9},  {"iPhone10,6", 2024, 10, 14},
        {"iPhone15,4", 2024, 9, 2},   {"iPhone17,3", 2024, 11, 4}};
    return kDevices[std::clamp(iosMajor, 5, 18) - 5];
}

bool buildDemo(SampleBackupWriter& writer, const DemoOptions& options, QString* error)
{
    if (options.iosMajor >= 10)
        writer.indexKind = SampleBackupWriter::IndexKind::ManifestDb;
    writer.password = options.password;
    writer.passwordRounds = options.passwordRounds;
    writer.passwordFirstStepRounds = options.iosMajor >= 10 ? options.passwordFirstStepRounds : 0;
    const DemoDevice device = demoDevice(options.iosMajor);
    writer.setDevice(QStringLiteral("Demo iPhone"), QLatin1String(device.productType), demoProductVersion(options.iosMajor),
                     QDateTime(QDate(device.year, device.month, device.day), QTime(9, 26, 53), Qt::UTC));
    // Plain files every backup carries; application containers are never indexed.
    writer.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/Preferences/com.apple.springboard.plist"),
                   QByteArray("bplist00\xd0\x08\x00\x00\x00\x00\x00\x00\x01\x01\x00\x00\x00\x00\x00\x00\x00\x01"
                              "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x09", 42));
    writer.addFile(QStringLiteral("AppDomain-com.example.notes"), QStringLiteral("Documents/todo.txt"),
                   QByteArray("buy milk\n"));
    writer.addFile(QStringLiteral("MediaDomain"), QStringLiteral("Media/Recordings/.hidden"), QByteArray("x"));
    for (const auto& c : categoryRegistry()) {
        DemoOptions own = options;
        own.scale = options.categoryScale.value(c.first, options.scale);
        if (own.scale > 0 && !c.second(writer, own)) {
            if (error)
                *error = QStringLiteral("the %1 sample could not be written").arg(c.first);
            return false;
        }
    }
    if (options.extra && !options.extra(writer)) {
        if (error)
            *error = QStringLiteral("the extra files could not be written");
        return false;
    }
    return true;
}

} // namespace

bool writeDemoBackup(const QString& folder, const DemoOptions& options, QString* error)
{
    SampleBackupWriter writer(folder);
    return buildDemo(writer, options, error) && writer.write(error);
}

bool writeDemoDevice(const QString& root, const DemoOptions& options, QString* error)
{
    SampleBackupWriter writer(root);
    DemoOptions plain = options;
    plain.password.clear();
    return buildDemo(writer, plain, error) && writer.writeDeviceTree(root, error);
}

} // namespace sample
