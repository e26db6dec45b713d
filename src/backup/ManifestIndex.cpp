#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

#include <sqlite3.h>

#include "BackupFiles.h"
#include "kddata/CCommonUtils.h"
#include "CiTunesBackupPrivate.h"
#include "KeyedArchive.h"
#include "evidencedb/EvidenceDatabase.h"
#include "sqlitecarve/Carver.h"
#include "utility/Log.h"
#include "utility/SafeIo.h"

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
//            string  encryption key  (bytes: encrypted backups' file key)
//            fixed   40 bytes:  0 u16 mode | 2 u64 inode | 10 u32 uid | 14 u32 gid | 18 u32 mtime
//                               22 u32 atime | 26 u32 ctime | 30 i64 size | 38 u8 protection class
//                               39 u8 property count
//            count × (string name (text), string value (bytes))
//
//   string   u16 length, then that many bytes; 0xFFFF means empty with no bytes following.

namespace {

const char* const kModule = "iTunesBackup";
const char kMbdbMagic[] = {'m', 'b', 'd', 'b', 5, 0};
const int kMbdbHeaderSize = 6;
const int kRecordStrings = 5;
const int kFixedBlockSize = 40;
const int kFixedMtimeOffset = 18;
const int kFixedSizeOffset = 30;
const int kFixedProtectionOffset = 38;
const int kFixedPropertyCountOffset = 39;
const quint16 kEmptyString = 0xFFFF;
const quint16 kFileTypeMask = 0xF000;
const quint16 kRegularFile = 0x8000;
const quint16 kFolder = 0x4000;
const quint16 kSymbolicLink = 0xA000;
// A domain is a few words and at most a bundle identifier; kilobytes of it are not a domain.
const int kMaxDomainBytes = 1024;
// Properties kept per byte of the file. Real ones take 25 bytes and more (a name and a value);
// empty ones take 4 and would make the index 20 times the file's size.
const quint64 kFileBytesPerProperty = 16;
const quint64 kMinPropertyBudget = 4096;
// Read window: a record's strings and fixed block (at most 320 KiB), or one property, fit in it.
const size_t kWindowBytes = size_t(1) << 20;
// An .mdinfo holds a few hundred bytes of description; anything huge is not one.
const quint64 kMaxMdinfoBytes = 16 * 1024 * 1024;

// Sequential big-endian reader through a window of the file. Fields are addressed by their
// distance from the last mark(), which stays valid while the window slides on: the window keeps
// the bytes from the mark on and grows only if one unit outgrows it.
class MbdbReader
{
public:
    enum Stop { CutShort, Shrunk, ReadError };

    MbdbReader(int fd, quint64 size) : m_fd(fd), m_size(size), m_window(size_t(qMin<quint64>(size, kWindowBytes))) {}

    quint64 offset() const { return m_windowOffset + m_pos; }
    bool atEnd() const { return m_pos == m_end && m_windowOffset + m_end >= m_size; }
    Stop stop() const { return m_stop; }
    int error() const { return m_errno; }

    void mark() { m_mark = m_pos; }
    const uchar* at(size_t fromMark) const { return m_window.data() + m_mark + fromMark; }

    // Passes over n bytes; *fromMark locates them. False when the file ends first.
    bool take(size_t n, size_t* fromMark)
    {
        if (m_end - m_pos < n && !fill(n))
            return false;
        *fromMark = m_pos - m_mark;
        m_pos += n;
        return true;
    }

    // A string field; the empty marker gives length 0.
    bool readString(size_t* fromMark, int* length)
    {
        if (m_end - m_pos < 2 && !fill(2))
            return false;
        const quint16 n = quint16((m_window[m_pos] << 8) | m_window[m_pos + 1]);
        m_pos += 2;
        if (n == kEmptyString) {
            *fromMark = m_pos - m_mark;
            *length = 0;
            return true;
        }
        *length = n;
        return take(n, fromMark);
    }

private:
    bool fill(size_t n)
    {
        if (m_size - offset() < n) {
            m_stop = CutShort;
            return false;
        }
        if (m_mark > 0) {
            std::memmove(m_window.data(), m_window.data() + m_mark, m_end - m_mark);
            m_windowOffset += m_mark;
            m_pos -= m_mark;
            m_end -= m_mark;
            m_mark = 0;
        }
        if (m_window.size() < m_pos + n)
            m_window.resize(m_pos + n);
        while (m_end - m_pos < n) {
            const quint64 fileEnd = m_windowOffset + m_end;
            const size_t want = size_t(qMin<quint64>(m_window.size() - m_end, m_size - fileEnd));
            const int64_t got = ibrio::readAt(m_fd, m_window.data() + m_end, want, fileEnd);
            if (got <= 0) {
                m_stop = got == 0 ? Shrunk : ReadError;
                m_errno = got == 0 ? 0 : errno;
                return false;
            }
            m_end += size_t(got);
        }
        return true;
    }

    int m_fd;
    quint64 m_size;           // as the file was when opened: growth later is not read
    std::vector<uchar> m_window;
    quint64 m_windowOffset = 0; // file offset of m_window[0]
    size_t m_mark = 0;
    size_t m_pos = 0;
    size_t m_end = 0; // bytes of the window holding file data
    Stop m_stop = CutShort;
    int m_errno = 0;
};

struct FileCloser {
    int fd;
    ~FileCloser() { ::close(fd); }
};

quint32 readU32BE(const uchar* p)
{
    return (quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | quint32(p[3]);
}

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

bool isPlausibleDomain(const char* p, int n)
{
    if (n <= 0 || n > kMaxDomainBytes)
        return false;
    for (int i = 0; i < n; ++i)
        if (uchar(p[i]) < 0x20 || uchar(p[i]) == 0x7F)
            return false;
    return true;
}

// The domain repeats across thousands of consecutive records: share one string, keep its
// composed UTF-8 form for hashing, and check it only when it changes.
class DomainCache
{
public:
    // False when the bytes are not a plausible domain.
    bool set(const char* p, int n)
    {
        if (m_valid && n == m_last.size() && std::memcmp(p, m_last.constData(), size_t(n)) == 0)
            return true;
        if (!isPlausibleDomain(p, n))
            return false;
        m_last = QByteArray(p, n);
        m_text = decodeText(p, n);
        m_utf8 = m_text.toUtf8();
        m_valid = true;
        return true;
    }
    const QString& text() const { return m_text; }
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

// Forty lowercase hex digits, as the backup names its data files.
bool isHashName(QByteArrayView id)
{
    if (id.size() != 40)
        return false;
    for (char c : id)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

// Applications' own containers are left out of the index. The groups of the system's own
// applications are not: newer systems keep notes, reminders and recordings there.
bool startsWithAppDomain(const QString& domain)
{
    return domain.startsWith(QLatin1String("AppDomain"), Qt::CaseSensitive)
        && !domain.startsWith(QLatin1String("AppDomainGroup-group.com.apple."), Qt::CaseSensitive);
}

} // namespace

bool isSameOrInside(const QString& path, const QString& folder)
{
    return ibrio::isSameOrInside(QFile::encodeName(path).toStdString(), QFile::encodeName(folder).toStdString());
}

QString backupFileName(const QString& domain, const QString& relativePath)
{
    QByteArray input = domain.toUtf8();
    input += '-';
    input += relativePath.toUtf8();
    return hexSha1(input);
}

QString backupDataFile(const QString& backupDir, const QString& hashName, const QString& fileSuffix)
{
    // The sync software stores plain files only: a link could lead anywhere on this machine.
    const auto stored = [](const QString& path) {
        const QFileInfo f(path);
        return f.isFile() && !f.isSymLink();
    };
    const QDir dir(backupDir);
    const QString flat = dir.absoluteFilePath(hashName + fileSuffix);
    if (hashName.size() < 2 || stored(flat))
        return flat;
    const QString nested = dir.absoluteFilePath(hashName.left(2) + QLatin1Char('/') + hashName + fileSuffix);
    if (stored(nested))
        return nested;
    // No path leads through a link: whoever asks finds no file there.
    if (QFileInfo(flat).isSymLink() || QFileInfo(nested).isSymLink())
        return QString();
    return flat;
}

QString backupDataFile(const QString& backupDir, const QString& domain, const QString& relativePath,
                       const QString& fileSuffix)
{
    return backupDataFile(backupDir, backupFileName(domain, relativePath), fileSuffix);
}

// Records are read until the first one that is cut short or implausible: zeros or garbage
// after the real records must not turn into millions of empty entries.
bool CiTunesBackupPrivate::parseManifestMbdb(const QString& file)
{
    const QByteArray fileName = file.toUtf8();
    uint64_t size = 0;
    std::string error;
    const int fd = ibrio::openRegularFile(QFile::encodeName(file).toStdString(), &size, &error);
    if (fd < 0) {
        Log(kModule, 0, "%s", error.c_str()); // names the file and why it was not read
        noteProblem(QFile::decodeName(error.c_str()));
        return false;
    }
    const FileCloser closer{fd};
    MbdbReader in(fd, size);
    size_t header = 0;
    if (!in.take(kMbdbHeaderSize, &header) || std::memcmp(in.at(header), kMbdbMagic, kMbdbHeaderSize) != 0) {
        noteProblem(QStringLiteral("%1: not a file index (its header is not that of Manifest.mbdb version 5)").arg(file));
        return false;
    }

    auto endsAt = [&](quint64 offset, const char* why) {
        Log(kModule, 0, "Manifest.mbdb %s: %s at offset %llu; the index ends there", fileName.constData(), why,
            static_cast<unsigned long long>(offset));
        noteProblem(QStringLiteral("%1: %2 at offset %3; the index ends there")
                        .arg(file, QString::fromUtf8(why))
                        .arg(offset));
    };
    auto stopped = [&](quint64 offset) {
        switch (in.stop()) {
        case MbdbReader::CutShort:
            endsAt(offset, "record cut short by the end of the file");
            break;
        case MbdbReader::Shrunk:
            endsAt(offset, "file shrank while read");
            break;
        case MbdbReader::ReadError:
            endsAt(offset, ("read error (" + std::string(std::strerror(in.error())) + ")").c_str());
            break;
        }
    };

    DomainCache domains;
    QCryptographicHash sha1(QCryptographicHash::Sha1); // reused: no allocation per record
    quint64 propertiesLeft = qMax(kMinPropertyBudget, size / kFileBytesPerProperty);
    bool budgetSpent = false;
    while (!in.atEnd()) {
        const quint64 recordOffset = in.offset();
        in.mark();
        size_t at[kRecordStrings] = {};
        int n[kRecordStrings] = {};
        bool complete = true;
        for (int i = 0; i < kRecordStrings && complete; ++i)
            complete = in.readString(&at[i], &n[i]);
        size_t fixedAt = 0;
        if (!complete || !in.take(kFixedBlockSize, &fixedAt)) {
            stopped(recordOffset);
            break;
        }
        const uchar* fixed = in.at(fixedAt);
        const quint16 mode = quint16((fixed[0] << 8) | fixed[1]);
        const quint16 type = mode & kFileTypeMask;
        const qint64 fileSize = readI64BE(fixed + kFixedSizeOffset);
        const char* flaw = nullptr;
        if (!domains.set(reinterpret_cast<const char*>(in.at(at[0])), n[0]))
            flaw = "implausible domain";
        else if (type != kRegularFile && type != kFolder && type != kSymbolicLink)
            flaw = "implausible file mode";
        else if (fileSize < 0)
            flaw = "negative file size";
        if (flaw) {
            endsAt(recordOffset, flaw);
            break;
        }

        // Everything the record keeps is taken now: its properties may slide the window on.
        const quint8 propertyCount = fixed[kFixedPropertyCountOffset];
        CManifestRecord* record = nullptr;
        if (!startsWithAppDomain(domains.text())) {
            const char* path = reinterpret_cast<const char*>(in.at(at[1]));
            record = new CManifestRecord;
            record->domain = domains.text();
            record->relativePath = decodeText(path, n[1]);
            record->size = fileSize;
            record->mtime = qint64(readU32BE(fixed + kFixedMtimeOffset));
            record->mode = mode;
            record->protectionClass = fixed[kFixedProtectionOffset];
            if (n[4] > 0)
                record->encryptionKey = QByteArray(reinterpret_cast<const char*>(in.at(at[4])), n[4]);
            record->propertyCount = propertyCount;
            sha1.reset();
            sha1.addData(domains.utf8());
            sha1.addData(QByteArrayView("-", 1));
            if (n[1] > 0 && isAscii(path, n[1]) && !std::memchr(path, 0, size_t(n[1])))
                sha1.addData(QByteArrayView(path, n[1])); // already the composed text's bytes
            else if (n[1] > 0)
                sha1.addData(record->relativePath.toUtf8());
            record->hashName = toHex(sha1.resultView());
        }
        for (int p = 0; p < propertyCount && complete; ++p) {
            in.mark();
            size_t nameAt = 0, valueAt = 0;
            int nameLength = 0, valueLength = 0;
            complete = in.readString(&nameAt, &nameLength) && in.readString(&valueAt, &valueLength);
            if (!complete || !record)
                continue;
            if (propertiesLeft == 0) {
                if (!budgetSpent)
                    Log(kModule, 0, "Manifest.mbdb %s: more properties than such a file holds; those from offset %llu "
                        "on are not kept", fileName.constData(), static_cast<unsigned long long>(recordOffset));
                budgetSpent = true;
                continue;
            }
            --propertiesLeft;
            auto* property = new CManifestProperty;
            property->name = decodeText(reinterpret_cast<const char*>(in.at(nameAt)), nameLength);
            property->value = QByteArray(reinterpret_cast<const char*>(in.at(valueAt)), valueLength);
            record->properties.append(property);
        }
        if (!complete) {
            delete record;
            stopped(recordOffset);
            break;
        }
        if (record)
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
    // FIFOs and devices are listed too, so that skipping them is logged.
    const QStringList infos = dir.entryList(QStringList() << QStringLiteral("*.mdinfo"), QDir::Files | QDir::System,
                                            QDir::Name | QDir::IgnoreCase);
    for (const QString& name : infos) {
        std::string bytes, error;
        if (!ibrio::readRegularFile(QFile::encodeName(dir.filePath(name)).toStdString(), kMaxMdinfoBytes, &bytes,
                                    &error)) {
            Log(kModule, 0, "Index file skipped: %s", error.c_str());
            noteProblem(QFile::decodeName(error.c_str()));
            continue;
        }
        const PlistPtr owner(plistFromBytes(QByteArray::fromRawData(bytes.data(), qsizetype(bytes.size())), true, true));
        const plist_t root = owner.get();
        if (!root)
            continue;
        bool encrypted = false;
        readPlistBool(root, "IsEncrypted", encrypted);
        QString auth, storage, version;
        readPlistString(root, "AuthVersion", auth);
        readPlistString(root, "StorageVersion", storage);
        readPlistString(root, "Version", version);
        Log(kModule, 1, "BD files %s : auth %s, storage %s, version %s", name.toUtf8().constData(),
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
    }
    return !m_files.isEmpty() || m_isEncrypted;
}

bool CiTunesBackupPrivate::parseLegacyMetadata(const char* bytes, qint64 length)
{
    if (!bytes || length <= 0 || length > 0x7FFFFFFF)
        return false;
    const PlistPtr root(plistFromBytes(QByteArray::fromRawData(bytes, int(length)), true, false));
    if (!root)
        return false;
    QString domain, path;
    readPlistString(root.get(), "Domain", domain);
    readPlistString(root.get(), "Path", path);
    if (startsWithAppDomain(domain))
        return true;
    auto* record = new CManifestRecord;
    record->domain = domain;
    record->relativePath = path;
    record->hashName = backupFileName(domain, path);
    const QFileInfo data(backupDataFile(m_path, record->hashName, m_fileSuffix));
    record->size = data.exists() ? data.size() : 0;
    // The older index keeps no times: the data file's is the nearest there is.
    record->mtime = data.exists() ? data.lastModified().toSecsSinceEpoch() : 0;
    m_files.append(record);
    return true;
}

// The least rowid of Files from *from on that a seek reaches without meeting damage (a seek
// descends to the leaf its key would be on); false when there is none. Rowids are probed ever
// further on, then the nearest one reached is found.
bool reachableFrom(evidencedb::Database& db, qint64* from)
{
    evidencedb::Statement probe(db, "select rowid from Files where rowid >= ? order by rowid limit 1");
    auto reaches = [&](qint64 key, bool* end) {
        sqlite3_reset(probe.handle());
        probe.bind(1, key);
        const bool row = probe.next();
        *end = !row && !probe.failed();
        return row || *end;
    };
    const qint64 start = *from;
    if (start == LLONG_MAX)
        return false;
    qint64 bad = start - 1, good = 0;
    bool end = false; // no row past the point probed
    for (qint64 step = 1;; step *= 2) {
        if (step > LLONG_MAX / 4 || bad > LLONG_MAX - step)
            return false;
        if (reaches(bad + step, &end)) {
            good = bad + step;
            break;
        }
        bad += step;
    }
    while (good - bad > 1) {
        const qint64 mid = bad + (good - bad) / 2;
        if (reaches(mid, &end))
            good = mid;
        else
            bad = mid;
    }
    *from = good;
    return reaches(good, &end) && !end;
}

// Manifest.db (iOS 10 on): table Files (fileID, domain, relativePath, flags, file). `file` is a
// keyed archive of the record (Size, Mode, LastModified, ProtectionClass, ...); flags say 1 file,
// 2 folder, 4 symbolic link.
bool CiTunesBackupPrivate::parseManifestDb(const QString& file)
{
    evidencedb::Database db;
    if (!db.openLive(file, kModule)) {
        m_indexEncrypted = m_isEncrypted;
        noteProblem(m_isEncrypted ? QStringLiteral("%1 is encrypted: the backup's files are listed only with its password").arg(file)
                                  : QStringLiteral("%1: not a database that can be read").arg(file));
        // An encrypted backup still describes its device.
        return m_isEncrypted;
    }
    for (const QString& why : db.problems())
        noteProblem(QStringLiteral("%1: %2").arg(file, why));
    int renamed = 0;
    int implausible = 0;
    qint64 rows = 0;
    DomainCache domains;
    QSet<QString> ids;
    // One row of the index: (fileID, domain, relativePath, flags, file).
    auto take = [&](QByteArrayView id, QByteArrayView domain, QByteArrayView relativePath, qint64 flags, QByteArrayView blob) {
        ++rows;
        if (!domains.set(domain.data(), int(domain.size()))) {
            ++implausible;
            return;
        }
        if (startsWithAppDomain(domains.text()))
            return;
        auto* record = new CManifestRecord;
        record->domain = domains.text();
        record->relativePath = QString::fromUtf8(relativePath);
        // The name becomes a path: anything but a hash of the record is not taken as one.
        if (isHashName(id)) {
            record->hashName = QString::fromLatin1(id);
        } else {
            record->hashName = backupFileName(record->domain, record->relativePath);
            ++renamed;
        }
        ids.insert(record->hashName);
        const KeyedArchive archive(QByteArray::fromRawData(blob.data(), blob.size())); // used before the next step
        const KeyedArchive::Node object = archive.root();
        qint64 value = 0;
        if (archive.integer(object, "Size", &value) && value > 0)
            record->size = value;
        if (archive.integer(object, "LastModified", &value) && value > 0)
            record->mtime = value;
        if (archive.integer(object, "ProtectionClass", &value) && value >= 0 && value < 256)
            record->protectionClass = int(value);
        record->encryptionKey = archive.data(object, "EncryptionKey");
        if (archive.integer(object, "Mode", &value) && value > 0 && value <= 0xFFFF)
            record->mode = quint16(value);
        else
            record->mode = flags == 2 ? 040755 : flags == 4 ? 0120755 : 0100644;
        m_files.append(record);
    };
    // In rowid order: a damaged page ends SQLite's scan, and the scan goes on from the first
    // rowid past it that can be reached.
    const bool byRowid = evidencedb::Statement(db, "select rowid from Files limit 0").ok();
    qint64 from = LLONG_MIN, last = LLONG_MIN;
    int damagedRanges = 0;
    constexpr int kMaxDamagedRanges = 10000;
    for (;;) {
        evidencedb::Statement st(db, byRowid ? "select fileID, domain, relativePath, flags, file, rowid from Files where rowid >= ? order by rowid"
                                             : "select fileID, domain, relativePath, flags, file from Files");
        if (!st.ok()) {
            noteProblem(QStringLiteral("%1: not a file index (it has no table of files)").arg(file));
            return false;
        }
        if (byRowid)
            st.bind(1, from);
        sqlite3_stmt* row = st.handle();
        auto bytesOf = [row](int column) {
            const char* p = reinterpret_cast<const char*>(sqlite3_column_blob(row, column));
            return QByteArrayView(p, p ? sqlite3_column_bytes(row, column) : 0);
        };
        while (st.next()) {
            take(bytesOf(0), bytesOf(1), bytesOf(2), st.int64(3), bytesOf(4));
            if (byRowid)
                last = st.int64(5);
        }
        if (!st.failed() || !byRowid)
            break;
        // A row that a seek reaches but that cannot be read is stepped over too.
        const qint64 next = last >= from ? last + 1 : from + 1;
        if (++damagedRanges > kMaxDamagedRanges || next < from)
            break;
        from = next;
        if (!reachableFrom(db, &from))
            break;
    }
    if (damagedRanges) {
        // What the damaged pages held comes back from their bytes, as far as it survives.
        const int before = int(m_files.size());
        sqlcarve::Options options;
        options.onRow = [&](const sqlcarve::CarvedRow& r) {
            if (r.table != "Files" || !(r.mayBeLive || r.source == sqlcarve::Source::Orphan) || r.values.size() != 5 || !r.isWhole())
                return;
            const auto bytes = [&](int i) {
                const sqlcarve::Value& v = r.values[size_t(i)];
                return QByteArrayView(v.bytes.data(), qsizetype(v.bytes.size()));
            };
            if (ids.contains(QString::fromLatin1(bytes(0))))
                return;
            take(bytes(0), bytes(1), bytes(2), r.values[3].integer, bytes(4));
        };
        sqlcarve::carveFile(QFile::encodeName(file).toStdString(), options);
        const QString reason = evidencedb::firstDamage(file);
        Log(kModule, 0, "Manifest.db %s is damaged (%s): %d records read back from its damaged pages", file.toUtf8().constData(),
            reason.toUtf8().constData(), int(m_files.size()) - before);
        noteProblem(QStringLiteral("%1 is damaged (%2): files it lists on its damaged pages may be missing (%3 read back from "
                                   "their bytes)")
                        .arg(file, reason)
                        .arg(int(m_files.size()) - before));
    }
    if (implausible)
        Log(kModule, 0, "Manifest.db %s: %d records without a plausible domain left out", file.toUtf8().constData(), implausible);
    if (renamed)
        Log(kModule, 0, "Manifest.db %s: %d records whose file name is not a hash were named from their domain and path",
            file.toUtf8().constData(), renamed);
    Log(kModule, 1, " %lld records in %s, %d kept", rows, file.toUtf8().constData(), int(m_files.size()));
    return true;
}
