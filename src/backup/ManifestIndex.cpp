#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstring>

#include "BackupFiles.h"
#include "CCommonUtils.h"
#include "CiTunesBackupPrivate.h"
#include "Log.h"

// Manifest.mbdb, all numbers big-endian:
//
//   header   offset 0  size 4  "mbdb"
//            offset 4  size 1  5 (major version)
//            offset 5  size 1  0 (minor version)
//   records  up to the end of the file, each:
//            string  domain          (text)
//            string  path            (text)
//            string  link target     (text, dropped)
//            string  digest          (bytes, dropped)
//            string  encryption key  (bytes, dropped)
//            fixed   40 bytes:  0 u16 mode | 2 u64 inode | 10 u32 uid | 14 u32 gid | 18 u32 mtime
//                               22 u32 atime | 26 u32 ctime | 30 i64 size | 38 u8 protection class
//                               39 u8 property count
//            count × (string name (text), string value (bytes))
//
//   string   u16 length, then that many bytes; 0xFFFF means empty with no bytes following.

namespace {

const char kMbdbMagic[] = {'m', 'b', 'd', 'b', 5, 0};
const int kMbdbHeaderSize = 6;
const int kFixedBlockSize = 40;
const int kFixedSizeOffset = 30;
const int kFixedPropertyCountOffset = 39;
const quint16 kEmptyString = 0xFFFF;
// An .mdinfo holds a few hundred bytes of description; anything huge is not one.
const qint64 kMaxMdinfoBytes = 16 * 1024 * 1024;

// Bounded big-endian read cursor over the whole file.
class Cursor
{
public:
    Cursor(const uchar* data, qint64 size) : m_data(data), m_size(size) {}

    bool atEnd() const { return m_pos >= m_size; }
    qint64 remaining() const { return m_size - m_pos; }

    bool readU16(quint16* v)
    {
        if (remaining() < 2)
            return false;
        *v = quint16((m_data[m_pos] << 8) | m_data[m_pos + 1]);
        m_pos += 2;
        return true;
    }

    // A string field; *bytes points into the file. False when it runs past the end.
    bool readString(const char** bytes, int* length)
    {
        quint16 n = 0;
        if (!readU16(&n))
            return false;
        if (n == kEmptyString) {
            *bytes = nullptr;
            *length = 0;
            return true;
        }
        if (remaining() < n)
            return false;
        *bytes = reinterpret_cast<const char*>(m_data + m_pos);
        *length = n;
        m_pos += n;
        return true;
    }

    const uchar* take(qint64 n)
    {
        if (remaining() < n)
            return nullptr;
        const uchar* p = m_data + m_pos;
        m_pos += n;
        return p;
    }

private:
    const uchar* m_data;
    qint64 m_size;
    qint64 m_pos = 0;
};

qint64 readI64BE(const uchar* p)
{
    quint64 v = 0;
    for (int i = 0; i < 8; ++i)
        v = (v << 8) | p[i];
    return qint64(v);
}

bool isAscii(const char* p, int n)
{
    for (int i = 0; i < n; ++i)
        if (uchar(p[i]) >= 0x80)
            return false;
    return true;
}

// Text up to the first NUL, in composed form so that hashed names match what the device wrote.
QString decodeText(const char* p, int n)
{
    if (!p || n <= 0)
        return QString();
    const void* nul = std::memchr(p, 0, size_t(n));
    if (nul)
        n = int(static_cast<const char*>(nul) - p);
    if (isAscii(p, n))
        return QString::fromLatin1(p, n);
    return QString::fromUtf8(p, n).normalized(QString::NormalizationForm_C);
}

// The domain repeats across thousands of consecutive records: share one string, and keep its
// composed UTF-8 form for hashing.
class DomainCache
{
public:
    const QString& get(const char* p, int n)
    {
        if (m_valid && n == m_last.size() && (n == 0 || std::memcmp(p, m_last.constData(), size_t(n)) == 0))
            return m_text;
        m_last = QByteArray(p, n);
        m_text = decodeText(p, n);
        m_utf8 = m_text.toUtf8();
        m_valid = true;
        return m_text;
    }
    const QByteArray& utf8() const { return m_utf8; }

private:
    QByteArray m_last;
    QString m_text;
    QByteArray m_utf8;
    bool m_valid = false;
};

QString toHex(QByteArrayView digest)
{
    static const char hex[] = "0123456789abcdef";
    QString out(digest.size() * 2, Qt::Uninitialized);
    QChar* o = out.data();
    for (qsizetype i = 0; i < digest.size(); ++i) {
        const uchar b = uchar(digest[i]);
        *o++ = QLatin1Char(hex[b >> 4]);
        *o++ = QLatin1Char(hex[b & 0xF]);
    }
    return out;
}

QString hexSha1(const QByteArray& input)
{
    return toHex(QCryptographicHash::hash(input, QCryptographicHash::Sha1));
}

bool startsWithAppDomain(const QString& domain)
{
    return domain.startsWith(QLatin1String("AppDomain"), Qt::CaseSensitive);
}

} // namespace

// The path with symbolic links resolved; for a path not created yet, its nearest existing
// ancestor resolved and the rest appended.
static QString resolvedPath(const QString& path)
{
    QString existing = QDir::cleanPath(QDir(path).absolutePath());
    QString rest;
    while (!QFileInfo::exists(existing)) {
        const QString parent = QFileInfo(existing).path();
        if (parent == existing)
            return QDir::cleanPath(QDir(path).absolutePath());
        rest = QFileInfo(existing).fileName() + (rest.isEmpty() ? QString() : QLatin1Char('/') + rest);
        existing = parent;
    }
    const QString canonical = QFileInfo(existing).canonicalFilePath();
    return rest.isEmpty() ? canonical : QDir(canonical).filePath(rest);
}

bool isSameOrInside(const QString& path, const QString& folder)
{
    const QString p = resolvedPath(path);
    QString f = resolvedPath(folder);
    if (p == f)
        return true;
    if (!f.endsWith(QLatin1Char('/')))
        f += QLatin1Char('/');
    return p.startsWith(f);
}

QString backupFileName(const QString& domain, const QString& relativePath)
{
    QByteArray input = domain.toUtf8();
    input += '-';
    input += relativePath.toUtf8();
    return hexSha1(input);
}

bool copyBackupFile(const QString& relativePath, const QDir& source, const QDir& target, const QString& domain,
                    const QString& fileSuffix)
{
    const QString name = backupFileName(domain, relativePath) + fileSuffix;
    const QString lastComponent = relativePath.section(QLatin1Char('/'), -1);
    return CCommonUtils::copyFile(source.absoluteFilePath(name), target, lastComponent);
}

bool CiTunesBackupPrivate::parseManifestMbdb(const QString& file)
{
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const qint64 size = f.size();
    if (size < kMbdbHeaderSize)
        return false;
    // One sequential pass over the mapped file; fall back to reading it whole.
    QByteArray owned;
    qint64 length = size;
    const uchar* data = f.map(0, size);
    if (!data) {
        owned = f.readAll();
        data = reinterpret_cast<const uchar*>(owned.constData());
        length = owned.size(); // the file may have shrunk since its size was taken
    }
    Cursor in(data, length);
    const uchar* header = in.take(kMbdbHeaderSize);
    if (!header || std::memcmp(header, kMbdbMagic, kMbdbHeaderSize) != 0)
        return false;

    DomainCache domains;
    QCryptographicHash sha1(QCryptographicHash::Sha1); // reused: no allocation per record
    while (!in.atEnd()) {
        const char* s[5] = {};
        int n[5] = {};
        bool complete = true;
        for (int i = 0; i < 5 && complete; ++i)
            complete = in.readString(&s[i], &n[i]);
        const uchar* fixed = complete ? in.take(kFixedBlockSize) : nullptr;
        if (!fixed)
            break; // the record being read is cut short: it is dropped, earlier ones stay

        const quint8 propertyCount = fixed[kFixedPropertyCountOffset];
        QList<CManifestProperty*> properties;
        for (int p = 0; p < propertyCount && complete; ++p) {
            const char* name = nullptr;
            const char* value = nullptr;
            int nameLength = 0, valueLength = 0;
            complete = in.readString(&name, &nameLength) && in.readString(&value, &valueLength);
            if (complete) {
                auto* property = new CManifestProperty;
                property->name = decodeText(name, nameLength);
                property->value = QByteArray(value, valueLength);
                properties.append(property);
            }
        }
        if (!complete) {
            qDeleteAll(properties);
            break;
        }

        const QString& domain = domains.get(s[0], n[0]);
        if (startsWithAppDomain(domain)) {
            qDeleteAll(properties);
            continue;
        }
        auto* record = new CManifestRecord;
        record->domain = domain;
        record->relativePath = decodeText(s[1], n[1]);
        record->size = readI64BE(fixed + kFixedSizeOffset);
        record->propertyCount = propertyCount;
        record->properties = std::move(properties);
        sha1.reset();
        sha1.addData(domains.utf8());
        sha1.addData(QByteArrayView("-", 1));
        if (n[1] > 0 && isAscii(s[1], n[1]) && !std::memchr(s[1], 0, size_t(n[1])))
            sha1.addData(QByteArrayView(s[1], n[1])); // already the composed text's bytes
        else if (n[1] > 0)
            sha1.addData(record->relativePath.toUtf8());
        record->hashName = toHex(sha1.resultView());
        m_files.append(record);
    }
    return !m_files.isEmpty();
}

// Older backups: one .mdinfo property list per file, whose "Metadata" holds a nested binary
// property list with the file's domain and path; the data sits beside it as <hash>.mddata.
bool CiTunesBackupPrivate::parseLegacyIndex()
{
    m_fileSuffix = QStringLiteral(".mddata");
    QDir dir(m_path);
    const QStringList infos = dir.entryList(QStringList() << QStringLiteral("*.mdinfo"), QDir::Files,
                                            QDir::Name | QDir::IgnoreCase);
    for (const QString& name : infos) {
        QFile f(dir.filePath(name));
        if (f.size() > kMaxMdinfoBytes || !f.open(QIODevice::ReadOnly))
            continue;
        const QByteArray bytes = f.readAll();
        plist_t root = plistFromBytes(bytes, true, true);
        if (!root)
            continue;
        bool encrypted = false;
        readPlistBool(root, "IsEncrypted", encrypted);
        QString auth, storage, version;
        readPlistString(root, "AuthVersion", auth);
        readPlistString(root, "StorageVersion", storage);
        readPlistString(root, "Version", version);
        Log("iTunesBackup", 1, "BD files %s : auth %s, storage %s, version %s", name.toUtf8().constData(),
            auth.toUtf8().constData(), storage.toUtf8().constData(), version.toUtf8().constData());
        if (!encrypted && plist_get_node_type(root) == PLIST_DICT) {
            plist_t metadata = plist_access_path(root, 1, "Metadata");
            if (metadata && plist_get_node_type(metadata) == PLIST_DATA) {
                char* data = nullptr;
                uint64_t length = 0;
                plist_get_data_val(metadata, &data, &length);
                if (data && length > 0)
                    parseLegacyMetadata(data, qint64(length));
                free(data);
            }
        }
        plist_free(root);
    }
    return !m_files.isEmpty() || m_isEncrypted;
}

bool CiTunesBackupPrivate::parseLegacyMetadata(const char* bytes, qint64 length)
{
    if (!bytes || length <= 0 || length > 0x7FFFFFFF)
        return false;
    plist_t root = plistFromBytes(QByteArray::fromRawData(bytes, int(length)), true, false);
    if (!root)
        return false;
    QString domain, path;
    readPlistString(root, "Domain", domain);
    readPlistString(root, "Path", path);
    plist_free(root);
    if (startsWithAppDomain(domain))
        return true;
    auto* record = new CManifestRecord;
    record->domain = domain;
    record->relativePath = path;
    record->hashName = backupFileName(domain, path);
    const QFileInfo data(QDir(m_path).filePath(record->hashName + m_fileSuffix));
    record->size = data.exists() ? data.size() : 0;
    m_files.append(record);
    return true;
}

void CiTunesBackupPrivate::stageRecoveryDatabases(const QString& targetFolder, QStringList& copied) const
{
    static const char* const kDatabases[][2] = {
        {"HomeDomain", "Library/Safari/Bookmarks.db"},
        {"HomeDomain", "Library/Calendar/Calendar.sqlitedb"},
        {"WirelessDomain", "Library/CallHistory/call_history.db"},
        {"HomeDomain", "Library/CallHistory/call_history.db"},
        {"HomeDomain", "Library/AddressBook/AddressBook.sqlitedb"},
        {"HomeDomain", "Library/AddressBook/AddressBook.db"},
        {"HomeDomain", "Library/Notes/notes.db"},
        {"HomeDomain", "Library/Notes/notes.sqlite"},
        {"HomeDomain", "Library/SMS/sms.db"},
    };
    const QDir source(m_path);
    const QDir target(targetFolder);
    // The copies must never land inside the backup folder: it is evidence, written by no one.
    if (targetFolder.isEmpty())
        return;
    if (isSameOrInside(targetFolder, m_path)) {
        Log("iTunesBackup", 0, "Recovery folder %s lies inside the backup folder %s: nothing copied",
            targetFolder.toUtf8().constData(), m_path.toUtf8().constData());
        return;
    }
    for (const auto& entry : kDatabases) {
        const QString domain = QLatin1String(entry[0]);
        const QString path = QLatin1String(entry[1]);
        if (!copyBackupFile(path, source, target, domain, m_fileSuffix))
            continue;
        copyBackupFile(path + QStringLiteral("-shm"), source, target, domain, m_fileSuffix);
        copyBackupFile(path + QStringLiteral("-wal"), source, target, domain, m_fileSuffix);
        // A rollback journal left behind holds the pages as they were before the last change.
        copyBackupFile(path + QStringLiteral("-journal"), source, target, domain, m_fileSuffix);
        copied.append(target.absoluteFilePath(path.section(QLatin1Char('/'), -1)));
    }
}
