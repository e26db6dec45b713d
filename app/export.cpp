#include "export.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLocale>
#include <QSet>

#include <cerrno>
#include <functional>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <memory>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

#include "CategoryRun.h"
#include "CiTunesBackup.h"
#include "kddata/KdBackup.h"
#include "kddata/KdData.h"
#include "utility/SafeIo.h"
#include "cli.h"
#include "report.h"
#include "workfolder.h"

namespace {

QJsonValue variantJson(const QVariant& v)
{
    switch (v.typeId()) {
    case QMetaType::QDateTime: {
        const QDateTime dt = v.toDateTime();
        return dt.isValid() ? QJsonValue(dt.toUTC().toString(Qt::ISODate)) : QJsonValue();
    }
    case QMetaType::QDate:
        return v.toDate().toString(Qt::ISODate);
    case QMetaType::Bool:
        return v.toBool();
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        return double(v.toLongLong());
    case QMetaType::Double:
    case QMetaType::Float:
        return v.toDouble();
    default:
        return v.isValid() ? QJsonValue(v.toString()) : QJsonValue();
    }
}

QString dateText(const QDateTime& dt)
{
    return dt.isValid() ? dt.toUTC().toString(Qt::ISODate) : QString();
}

// The address book's property codes, by name; a code no name is known for stays a number.
QJsonValue propertyKind(int type)
{
    switch (type) {
    case KdContactProperty::Phone: return QStringLiteral("phone");
    case KdContactProperty::Email: return QStringLiteral("email");
    case KdContactProperty::Address: return QStringLiteral("address");
    case KdContactProperty::Date: return QStringLiteral("date");
    case KdContactProperty::InstantMessage: return QStringLiteral("instantMessage");
    case KdContactProperty::Url: return QStringLiteral("url");
    case KdContactProperty::RelatedName: return QStringLiteral("relatedName");
    case KdContactProperty::SocialProfile: return QStringLiteral("socialProfile");
    default: return type;
    }
}

QJsonObject contactDetailJson(const KdContactPrivate& d)
{
    QJsonObject o;
    for (int i = 0; i < KdContactPrivate::TextCount; ++i)
        if (!d.textMember(i).isEmpty())
            o.insert(QLatin1String(KdContactPrivate::textName(i)), d.textMember(i));
    o.insert(QStringLiteral("name"), d.contactName());
    if (!d.birthday.isEmpty())
        o.insert(QStringLiteral("birthday"), d.birthday);
    if (d.creationDate.isValid())
        o.insert(QStringLiteral("created"), dateText(d.creationDate));
    if (d.modificationDate.isValid())
        o.insert(QStringLiteral("modified"), dateText(d.modificationDate));
    if (!d.image.isEmpty())
        o.insert(QStringLiteral("image"), QString::fromLatin1(d.image.toBase64()));
    QJsonArray properties;
    for (const KdContactProperty* p : d.properties()) {
        if (!p)
            continue;
        QJsonObject po;
        po.insert(QStringLiteral("type"), propertyKind(p->propType()));
        po.insert(QStringLiteral("label"), p->labelText());
        po.insert(QStringLiteral("value"), p->displayValue());
        const QMap<QString, QString> entry = p->propValueEntry();
        if (!entry.isEmpty()) {
            QJsonObject eo;
            for (auto it = entry.constBegin(); it != entry.constEnd(); ++it)
                eo.insert(it.key(), it.value());
            po.insert(QStringLiteral("entries"), eo);
        }
        properties.append(po);
    }
    o.insert(QStringLiteral("properties"), properties);
    return o;
}

QString serviceText(const KdSMSChat& c)
{
    return c.isNormalSMS() ? QStringLiteral("SMS") : QStringLiteral("iMessage");
}

QString attachmentName(const KdSMSPiece& p)
{
    const QString location = p.pieceLocation();
    return location.mid(location.lastIndexOf(QLatin1Char('/')) + 1);
}

QJsonObject conversationJson(const KdSMSChatGroup& g)
{
    QJsonObject o;
    QJsonObject names;
    const QMap<QString, QString> ids = g.addrIds();
    for (auto it = ids.constBegin(); it != ids.constEnd(); ++it)
        names.insert(it.key(), it.value());
    o.insert(QStringLiteral("participants"), names);
    o.insert(QStringLiteral("deleted"), g.isDeleted());
    QJsonArray messages;
    for (const KdSMSChat* c : g.chats()) {
        if (!c)
            continue;
        QJsonObject m;
        m.insert(QStringLiteral("date"), dateText(c->msgDate()));
        m.insert(QStringLiteral("address"), c->addr());
        m.insert(QStringLiteral("name"), c->isFromMe() ? QString() : g.nameForAddr(c->addr()));
        m.insert(QStringLiteral("direction"), c->isFromMe() ? QStringLiteral("sent") : QStringLiteral("received"));
        m.insert(QStringLiteral("fromMe"), c->isFromMe());
        // Only the owner sends; a received message is never "sent".
        m.insert(QStringLiteral("sent"), c->isFromMe() && c->isSentDone());
        m.insert(QStringLiteral("service"), serviceText(*c));
        m.insert(QStringLiteral("deleted"), g.isDeleted() || c->isDeleted());
        if (c->isPartial())
            m.insert(QStringLiteral("partial"), true);
        if (c->isUncertain())
            m.insert(QStringLiteral("uncertain"), true);
        if (c->isConversationGuessed())
            m.insert(QStringLiteral("conversationGuessed"), true);
        if (!c->subject().isEmpty())
            m.insert(QStringLiteral("subject"), c->subject());
        if (!c->content().isEmpty())
            m.insert(QStringLiteral("text"), c->content());
        QJsonArray pieces;
        for (const KdSMSPiece* p : c->pieces()) {
            if (!p)
                continue;
            QJsonObject po;
            po.insert(QStringLiteral("type"), p->pieceType());
            if (p->isText() && p->pieceLocation().isEmpty()) {
                po.insert(QStringLiteral("text"), QString::fromUtf8(p->pieceData()));
            } else {
                po.insert(QStringLiteral("location"), p->pieceLocation());
                po.insert(QStringLiteral("name"), attachmentName(*p));
                // The attachment's own size; decoding every picture only to count it would
                // take longer than the whole extraction.
                if (!p->pieceFile().isEmpty()) {
                    po.insert(QStringLiteral("bytes"), double(p->pieceFileSize() >= 0 ? p->pieceFileSize() : QFileInfo(p->pieceFile()).size()));
                    po.insert(QStringLiteral("dataFile"), p->pieceFile());
                } else {
                    po.insert(QStringLiteral("bytes"), double(p->pieceData().size()));
                }
            }
            pieces.append(po);
        }
        if (!pieces.isEmpty())
            m.insert(QStringLiteral("pieces"), pieces);
        QJsonArray reactions;
        for (const KdSMSReaction& r : c->reactions()) {
            QJsonObject ro;
            ro.insert(QStringLiteral("from"), r.addr);
            ro.insert(QStringLiteral("name"), r.fromMe ? QString() : g.nameForAddr(r.addr));
            if (r.fromMe)
                ro.insert(QStringLiteral("fromMe"), true);
            ro.insert(QStringLiteral("reaction"), r.reaction);
            reactions.append(ro);
        }
        if (!reactions.isEmpty())
            m.insert(QStringLiteral("reactions"), reactions);
        if (c->editedDate().isValid())
            m.insert(QStringLiteral("edited"), dateText(c->editedDate()));
        if (c->isUnsent())
            m.insert(QStringLiteral("unsent"), true);
        messages.append(m);
    }
    o.insert(QStringLiteral("messages"), messages);
    return o;
}

QStringList headers(KdData* data)
{
    QStringList out;
    for (int c = 0; c < data->columnCount(); ++c)
        out << data->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString();
    return out;
}

// Whether a spreadsheet would run the cell as a formula: texts come from anyone who wrote to the
// phone. A sign followed by digits, spaces, dots and brackets only (a number, a phone number)
// can call nothing and stays as it is.
bool startsLikeFormula(const QByteArray& u)
{
    if (u.isEmpty() || u[0] == 0 || !std::strchr("=+-@\t\r", u[0]))
        return false;
    if (u[0] != '+' && u[0] != '-')
        return true;
    return std::any_of(u.begin(), u.end(), [](char c) { return !std::strchr("0123456789 .()+-", c) || c == 0; });
}

QByteArray csvField(const QString& text)
{
    QByteArray u = text.toUtf8();
    // Kept as text by a leading apostrophe, as spreadsheets read it.
    if (startsLikeFormula(u))
        u.prepend('\'');
    if (u.contains(',') || u.contains('"') || u.contains('\n') || u.contains('\r')) {
        u.replace("\"", "\"\"");
        u = '"' + u + '"';
    }
    return u;
}

bool writeBytes(const QString& path, const QByteArray& bytes, QStringList* errors)
{
    std::string why;
    if (ibrio::writeFile(QFile::encodeName(path).toStdString(), bytes.constData(), size_t(bytes.size()),
                         ibrio::OutputFile::Replace, &why))
        return true;
    if (errors)
        *errors << QStringLiteral("cannot write %1").arg(QFile::decodeName(why.c_str()));
    return false;
}

} // namespace

void useNaturalCollation()
{
    // Without a locale of its own (C/POSIX) collation would be by code unit; the root collation
    // orders accents and case the way people expect.
    if (QLocale().language() == QLocale::C)
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
}

bool extractBackup(const CiTunesBackup& backup, KdBackup* model, CIProgressCallback* progress, bool withDeleted,
                   QStringList* skipped, const QString& workFolder)
{
    useNaturalCollation();
    // Copies to scan for deleted records, and the decrypted files of an encrypted backup, go to a
    // private working folder, never near the backup.
    std::unique_ptr<cli::WorkFolder> work;
    QString folder = workFolder;
    if (folder.isEmpty() && (withDeleted || backup.isEncrypted())) {
        work = std::make_unique<cli::WorkFolder>();
        if (work->isValid())
            folder = work->path();
        else if (skipped)
            *skipped << QStringLiteral("%1: %2").arg(backup.isEncrypted() ? QStringLiteral("every category") : QStringLiteral("deleted records"),
                                                       work->error());
    }
    const QDir base(folder);
    const auto sub = [&](const char* name) {
        return !folder.isEmpty() && base.mkpath(QLatin1String(name)) ? base.filePath(QLatin1String(name)) : QString();
    };
    CiTunesBackup run(backup);
    run.setTmpPathForRecovery(withDeleted ? sub("recovery") : QString());
    run.setDecryptPath(backup.isEncrypted() ? sub("decrypted") : QString());
    run.collectInfos(model);
    return run.collectDatas(model, progress, skipped);
}

QJsonObject categoryJson(KdData* data, bool stopped)
{
    QJsonObject o;
    if (!data)
        return o;
    const QStringList titles = headers(data);
    o.insert(QStringLiteral("category"), data->machineName());
    o.insert(QStringLiteral("title"), data->title());
    o.insert(QStringLiteral("columns"), QJsonArray::fromStringList(titles));
    o.insert(QStringLiteral("count"), data->count(KdData::AllItems));
    o.insert(QStringLiteral("deleted"), data->count(KdData::DeletedItems));
    o.insert(QStringLiteral("uncertain"), data->count(KdData::UncertainItems));
    if (stopped)
        o.insert(QStringLiteral("complete"), false);
    QJsonArray items;
    for (int row = 0; row < data->rowCount(); ++row) {
        const KdAbstractItem* item = data->at(row, false);
        if (!item)
            continue;
        QJsonObject io;
        QJsonObject values, sort;
        for (int c = 0; c < titles.size(); ++c) {
            values.insert(titles[c], data->data(data->index(row, c), Qt::DisplayRole).toString());
            const QVariant s = item->sortValue(c);
            if (s.isValid())
                sort.insert(titles[c], variantJson(s));
        }
        io.insert(QStringLiteral("values"), values);
        if (!sort.isEmpty())
            io.insert(QStringLiteral("sort"), sort);
        io.insert(QStringLiteral("deleted"), item->isDeleted());
        if (item->isPartial())
            io.insert(QStringLiteral("partial"), true);
        // Read from a page no tree of a damaged database reaches: it may as well be live.
        if (item->isUncertain())
            io.insert(QStringLiteral("uncertain"), true);
        io.insert(QStringLiteral("size"), double(item->size()));
        if (auto* file = dynamic_cast<const KdFileItem*>(item)) {
            io.insert(QStringLiteral("file"), file->filePath());
            if (!file->devicePath().isEmpty())
                io.insert(QStringLiteral("devicePath"), file->devicePath());
            if (file->modifiedTime() > 0)
                io.insert(QStringLiteral("modified"), dateText(QDateTime::fromSecsSinceEpoch(file->modifiedTime(), Qt::UTC)));
            if (!file->exportedPath().isEmpty())
                io.insert(QStringLiteral("exported"), file->exportedPath());
        }
        if (auto* bookmark = dynamic_cast<const KdSafariBookmarkItem*>(item))
            io.insert(QStringLiteral("group"), bookmark->bookmarkGroup());
        if (auto* contact = dynamic_cast<const KdContactItem*>(item)) {
            if (contact->detailContent())
                io.insert(QStringLiteral("detail"), contactDetailJson(*contact->detailContent()));
        } else if (auto* sms = dynamic_cast<const KdSMSItem*>(item)) {
            if (sms->detailContent())
                io.insert(QStringLiteral("detail"), conversationJson(*sms->detailContent()));
        }
        items.append(io);
    }
    o.insert(QStringLiteral("items"), items);
    return o;
}

// A CSV cell holds one value: a date with a time of day is given as the instant, in ISO 8601
// UTC (the display text is to the minute and, for an event, in its own zone without saying so);
// a date alone (an all-day event) stays as shown.
QString csvText(const KdAbstractItem& item, int column, const QString& shown)
{
    const QVariant s = item.sortValue(column);
    if (shown.contains(QLatin1Char(':')) && s.userType() == QMetaType::QDateTime && s.toDateTime().isValid())
        return dateText(s.toDateTime());
    return shown;
}

QByteArray categoryCsv(KdData* data)
{
    if (!data)
        return QByteArray();
    const QStringList titles = headers(data);
    QList<QByteArray> head;
    for (const QString& t : titles)
        head << csvField(t);
    head << "Deleted" << "File";
    QByteArray out = head.join(',') + "\r\n";
    for (int row = 0; row < data->rowCount(); ++row) {
        const KdAbstractItem* item = data->at(row, false);
        if (!item)
            continue;
        QList<QByteArray> fields;
        for (int c = 0; c < titles.size(); ++c)
            fields << csvField(csvText(*item, c, data->data(data->index(row, c), Qt::DisplayRole).toString()));
        // "partial": deleted, and newer data took part of it; "unknown": read from a damaged file's
        // page no tree reaches, so live or deleted (a column more would change every file).
        fields << (!item->isDeleted() ? "no" : item->isUncertain() ? "unknown" : item->isPartial() ? "partial" : "yes");
        const auto* file = dynamic_cast<const KdFileItem*>(item);
        fields << csvField(file ? file->filePath() : QString());
        out += fields.join(',') + "\r\n";
    }
    return out;
}

QByteArray messagesCsv(KdData* data)
{
    QByteArray out = "Conversation,Date,Direction,Sender,Service,Text,Attachments,Deleted,Edited,Unsent,Reactions,Conversation Guessed\r\n";
    if (!data)
        return out;
    for (int row = 0; row < data->rowCount(); ++row) {
        const auto* item = dynamic_cast<const KdSMSItem*>(data->at(row, false));
        const KdSMSChatGroup* g = item ? item->detailContent() : nullptr;
        if (!g)
            continue;
        // A recovered conversation names only the participants a contact matched.
        QString title = item->value(0);
        if (title.isEmpty()) {
            QStringList addresses{item->value(1), item->value(2)};
            addresses.removeAll(QString());
            title = addresses.join(QStringLiteral(", "));
        }
        const QByteArray conversation = csvField(title);
        for (const KdSMSChat* c : g->chats()) {
            if (!c)
                continue;
            QStringList texts, attachments;
            if (!c->content().isEmpty())
                texts << c->content();
            for (const KdSMSPiece* p : c->pieces()) {
                if (p && p->isText() && p->pieceLocation().isEmpty())
                    texts << QString::fromUtf8(p->pieceData());
                else if (p)
                    attachments << attachmentName(*p);
            }
            QList<QByteArray> fields;
            fields << conversation << csvField(dateText(c->msgDate()))
                   << (c->isFromMe() ? QByteArray("sent") : QByteArray("received"))
                   << csvField(c->isFromMe() ? QStringLiteral("me") : g->nameForAddr(c->addr()))
                   << csvField(serviceText(*c)) << csvField(texts.join(QLatin1Char('\n')))
                   << csvField(attachments.join(QStringLiteral("; ")))
                   << (!(g->isDeleted() || c->isDeleted() || item->isDeleted()) ? "no"
                       : c->isUncertain()                                     ? "unknown"
                       : c->isPartial()                                       ? "partial"
                                                                              : "yes");
            QStringList reactions;
            for (const KdSMSReaction& r : c->reactions()) {
                const QString who = r.fromMe ? QStringLiteral("me") : g->nameForAddr(r.addr);
                reactions << QStringLiteral("%1 (%2)").arg(r.reaction, who.isEmpty() ? r.addr : who);
            }
            fields << csvField(c->editedDate().isValid() ? dateText(c->editedDate()) : QString())
                   << (c->isUnsent() ? "yes" : "no") << csvField(reactions.join(QStringLiteral("; ")))
                   << (c->isConversationGuessed() ? "yes" : "no");
            out += fields.join(',') + "\r\n";
        }
    }
    return out;
}

static QString exportedFileName(const QDir& folder, const QString& devicePath, const QString& fallback,
                         const std::function<bool(const QString&)>& isCopy)
{
    // Only the last component is used, whatever the index says: "../x" or "/etc/x" name "x".
    QString name = devicePath.mid(devicePath.lastIndexOf(QLatin1Char('/')) + 1);
    name.remove(QChar(0));
    // Line breaks and other control characters make names that scripts and listings misread.
    for (QChar& c : name)
        if (c == QLatin1Char('\\') || c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = QLatin1Char('_');
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        name = fallback;
    const QFileInfo info(name);
    QString stem = info.completeBaseName().isEmpty() ? name : info.completeBaseName();
    QString suffix = info.completeBaseName().isEmpty() || info.suffix().isEmpty() ? QString() : QLatin1Char('.') + info.suffix();
    if (suffix.size() > 16) {
        stem += suffix;
        suffix.clear();
    }
    // File systems take names of 255 bytes at most: a longer stem is cut at a whole character,
    // leaving room for a " (n)" that tells copies apart.
    constexpr int kMaxNameBytes = 255 - 12;
    while (!stem.isEmpty() && (stem + suffix).toUtf8().size() > kMaxNameBytes) {
        stem.chop(stem.size() >= 2 && stem.at(stem.size() - 1).isLowSurrogate() ? 2 : 1);
    }
    if (stem.isEmpty())
        stem = fallback;
    QString candidate = stem + suffix;
    for (int n = 2; QFileInfo::exists(folder.filePath(candidate)) || QFileInfo(folder.filePath(candidate)).isSymLink(); ++n) {
        // A copy an earlier run left under this name stands for this one: running again into the
        // same folder gives the same files, not a second set beside the first.
        if (isCopy && isCopy(candidate))
            return candidate;
        candidate = QStringLiteral("%1 (%2)%3").arg(stem).arg(n).arg(suffix);
    }
    return candidate;
}

// Whether two regular files (not links) hold the same bytes.
static bool sameContents(const QString& a, const QString& b)
{
    const QFileInfo ia(a), ib(b);
    if (ia.isSymLink() || ib.isSymLink() || !ia.isFile() || !ib.isFile() || ia.size() != ib.size())
        return false;
    QFile fa(a), fb(b);
    if (!fa.open(QIODevice::ReadOnly) || !fb.open(QIODevice::ReadOnly))
        return false;
    constexpr qint64 kChunk = 1 << 20;
    while (!fa.atEnd()) {
        const QByteArray x = fa.read(kChunk), y = fb.read(kChunk);
        if (x != y || x.isEmpty())
            return false;
    }
    return fb.atEnd();
}

static bool copyPlain(const QString& from, const QString& to, QString* why)
{
    std::string error;
    const bool ok = ibrio::copyFile(QFile::encodeName(from).toStdString(), QFile::encodeName(to).toStdString(), &error);
    if (!ok)
        *why = QString::fromStdString(error);
    return ok;
}

// A staged copy that a run killed outright left behind (its process is gone) is removed; one of a
// run still going is not touched.
static void removeLeftStagedCopies(const QDir& folder)
{
#ifdef Q_OS_UNIX
    const QStringList left = folder.entryList({QStringLiteral(".ibreader-copy-*")}, QDir::Files | QDir::Hidden | QDir::System);
    for (const QString& name : left) {
        bool ok = false;
        const qint64 pid = name.mid(int(std::strlen(".ibreader-copy-"))).toLongLong(&ok);
        if (ok && pid > 0 && pid != QCoreApplication::applicationPid() && ::kill(pid_t(pid), 0) != 0 && errno == ESRCH)
            QFile::remove(folder.filePath(name));
    }
#else
    Q_UNUSED(folder);
#endif
}

// Copies the data files of a category's file items into <out>/<category>/ under their own names.
// `cut`: set when a stop signal ended the copies with files of this category left uncopied.
// A file the backup itself cannot give (its key damaged) goes to `skipped`, when given, not to
// `errors`: the output is not at fault.
static int exportFiles(KdData* data, const QDir& out, const CiTunesBackup* source, QStringList* errors, QStringList* written, bool* cut,
                       QStringList* skipped)
{
    int copied = 0;
    *cut = false;
    const QString sub = data->machineName();
    QDir folder(out.filePath(sub));
    // A link in the folder's place would carry the copies out of the output folder.
    if (QFileInfo(folder.path()).isSymLink() || (QFileInfo::exists(folder.path()) && !QFileInfo(folder.path()).isDir())) {
        if (errors)
            *errors << QStringLiteral("%1 is not a folder of its own; files not copied").arg(folder.path());
        return 0;
    }
    QSet<QString> claimed; // names this run gave
    if (folder.exists())
        removeLeftStagedCopies(folder);
    // Copies of a large library take minutes: a stop signal ends them (the lists are written).
    for (int row = 0; row < data->rowCount(); ++row) {
        auto* file = dynamic_cast<KdFileItem*>(data->at(row, false));
        if (!file || file->filePath().isEmpty())
            continue;
        if (cli::interrupted()) {
            *cut = true;
            break;
        }
        if (!folder.exists() && !out.mkpath(sub)) {
            if (errors)
                *errors << QStringLiteral("cannot create %1").arg(folder.path());
            return copied;
        }
        // Copied under a name of its own first: only then can it be compared with what an earlier
        // run left (a decrypted copy is known only once it is made).
        const QString staged = folder.filePath(QStringLiteral(".ibreader-copy-%1").arg(QCoreApplication::applicationPid()));
        QFile::remove(staged);
        QString why;
        bool sourceFault = false;
        const bool done = source ? source->copyDataFile(file->filePath(), staged, &why, &sourceFault) : copyPlain(file->filePath(), staged, &why);
        if (!done) {
            QFile::remove(staged);
            if (sourceFault && skipped)
                *skipped << QStringLiteral("%1: not copied: %2").arg(data->title(), why);
            else if (errors)
                *errors << QStringLiteral("cannot copy %1 to %2: %3").arg(file->filePath(), folder.path(), why);
            continue;
        }
        if (!why.isEmpty() && skipped) // copied, with what it lacks said
            *skipped << QStringLiteral("%1: %2 copied, but %3").arg(data->title(), file->devicePath(), why);
        const QString name = exportedFileName(folder, file->devicePath(), QFileInfo(file->filePath()).fileName(), [&](const QString& existing) {
            return !claimed.contains(existing) && sameContents(staged, folder.filePath(existing));
        });
        const QString target = folder.filePath(name);
        const bool reused = QFileInfo::exists(target);
        if (reused)
            QFile::remove(staged);
        if (!reused && !QFile::rename(staged, target)) {
            QFile::remove(staged);
            if (errors)
                *errors << QStringLiteral("cannot copy %1 to %2: it could not take its name").arg(file->filePath(), target);
            continue;
        }
        claimed.insert(name);
        if (file->modifiedTime() > 0) {
            QFile stamped(target);
            if (stamped.open(QIODevice::ReadWrite))
                stamped.setFileTime(QDateTime::fromSecsSinceEpoch(file->modifiedTime(), Qt::UTC), QFileDevice::FileModificationTime);
        }
        file->setExportedPath(sub + QLatin1Char('/') + name);
        if (written)
            *written << target;
        ++copied;
    }
    return copied;
}

bool makeOutputFolder(const QString& path, QString* why)
{
    const QFileInfo info(path);
    if (info.exists() && !info.isDir()) {
        *why = QStringLiteral("%1 exists and is not a folder").arg(path);
        return false;
    }
    // Level by level, so that a refusal comes with its reason.
    QStringList missing;
    QString existing = QDir::cleanPath(QDir(path).absolutePath());
    while (!QFileInfo::exists(existing) && QFileInfo(existing).path() != existing) {
        missing.prepend(existing);
        existing = QFileInfo(existing).path();
    }
    if (!QFileInfo(existing).isDir()) {
        *why = QStringLiteral("cannot create %1: %2 is not a folder").arg(path, existing);
        return false;
    }
    for (const QString& level : missing)
        if (::mkdir(QFile::encodeName(level).constData(), 0777) != 0 && errno != EEXIST) {
            *why = QStringLiteral("cannot create %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
    if (::access(QFile::encodeName(path).constData(), W_OK | X_OK) != 0) {
        *why = QStringLiteral("cannot write into %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    return true;
}

// Lists and report pages an earlier run left in the output folder that this run did not
// replace: read beside this run's, they would pass for this backup's.
static void noteEarlierOutput(const QString& outDir, const QStringList& written)
{
    QSet<QString> ours;
    for (const QString& w : written)
        ours.insert(QFileInfo(w).absoluteFilePath());
    const QDir out(outDir);
    QStringList names;
    for (const QString& name : categoryNames())
        names << name + QStringLiteral(".json") << name + QStringLiteral(".csv") << QStringLiteral("report/") + name + QStringLiteral(".html");
    names << QStringLiteral("report/index.html");
    QStringList left;
    for (const QString& name : std::as_const(names))
        if (const QFileInfo f(out.filePath(name)); f.isFile() && !ours.contains(f.absoluteFilePath()))
            left << name;
    if (!left.isEmpty())
        cli::printError(QStringLiteral("note: %1 also holds files of an earlier run, not of this one: %2")
                            .arg(cli::terminalText(outDir), left.join(QStringLiteral(", "))));
}

bool writeExport(KdBackup* model, const ExportOptions& options, QStringList* written, QStringList* errors, QStringList* skipped)
{
    if (!model)
        return false;
    QString why;
    if (!makeOutputFolder(options.outDir, &why)) {
        if (errors)
            *errors << why;
        return false;
    }
    bool ok = true;
    const QDir out(options.outDir);
    const auto selected = [&options](int category) {
        return options.categories.isEmpty() || options.categories.contains(category);
    };
    const auto writeJson = [&](KdData* data, bool count, bool filesCut = false) {
        const QString path = out.filePath(data->machineName() + QStringLiteral(".json"));
        QJsonObject o = categoryJson(data, options.stopped);
        // Every record is listed, but not every file was copied: those without a path were not.
        if (filesCut)
            o.insert(QStringLiteral("filesComplete"), false);
        if (!writeBytes(path, QJsonDocument(o).toJson(QJsonDocument::Indented), errors))
            ok = false;
        else if (written && count)
            *written << path;
    };
    // The record lists first: a disk that fills up then costs copies of media, not the lists.
    for (int category : KdBackup::categories()) {
        KdData* data = selected(category) ? model->getKdData(category) : nullptr;
        if (!data)
            continue;
        if (options.json)
            writeJson(data, true);
        if (options.csv) {
            const QString path = out.filePath(data->machineName() + QStringLiteral(".csv"));
            const QByteArray csv = category == KdData::Messages ? messagesCsv(data) : categoryCsv(data);
            if (!writeBytes(path, csv, errors))
                ok = false;
            else if (written)
                *written << path;
        }
    }
    if (options.exportFiles)
        for (int category : KdBackup::categories()) {
            KdData* data = selected(category) ? model->getKdData(category) : nullptr;
            if (!data)
                continue;
            const int before = errors ? int(errors->size()) : 0;
            bool cut = false;
            const int copied = exportFiles(data, out, options.source, errors, written, &cut, skipped);
            if (errors && errors->size() > before)
                ok = false;
            // Again, now saying where each copy went; the first stays if this cannot be written.
            if ((copied || cut) && options.json)
                writeJson(data, false, cut);
        }
    if (options.html && !writeReport(model, options, written, errors))
        ok = false;
    return ok;
}

QJsonObject summarizeExtraction(KdBackup* model, const QList<int>& selected)
{
    QJsonObject o;
    if (!model)
        return o;
    static const char* const kProperties[KdBackup::PropertyCount] = {
        "deviceName", "backupDate", "productVersion", "serialNumber", "deviceType", "iTunesVersion"};
    QJsonObject properties;
    for (int i = 0; i < KdBackup::PropertyCount; ++i)
        properties.insert(QLatin1String(kProperties[i]), model->backupProperty(i));
    // Files people keep and compare carry the date whole, as every other date in them.
    if (model->backupDateTime().isValid())
        properties.insert(QStringLiteral("backupDate"), model->backupDateTime().toUTC().toString(Qt::ISODate));
    o.insert(QStringLiteral("device"), properties);
    QJsonObject categories;
    for (int category : KdBackup::categories()) {
        KdData* data = model->getKdData(category);
        if (!data)
            continue;
        QJsonObject c;
        c.insert(QStringLiteral("title"), data->title());
        // Zero counts would read as a category searched and found empty.
        const bool extracted = selected.isEmpty() || selected.contains(category);
        c.insert(QStringLiteral("extracted"), extracted);
        if (extracted) {
            c.insert(QStringLiteral("items"), data->count(KdData::AllItems));
            c.insert(QStringLiteral("deleted"), data->count(KdData::DeletedItems));
            c.insert(QStringLiteral("uncertain"), data->count(KdData::UncertainItems));
        }
        categories.insert(data->machineName(), c);
    }
    o.insert(QStringLiteral("categories"), categories);
    return o;
}

void markIncomplete(QJsonObject* summary)
{
    // Counts of a stopped run are what was read until then, not what the source holds.
    QJsonObject categories = summary->value(QStringLiteral("categories")).toObject();
    for (auto it = categories.begin(); it != categories.end(); ++it) {
        QJsonObject c = it.value().toObject();
        if (c.value(QStringLiteral("extracted")).toBool())
            c.insert(QStringLiteral("complete"), false);
        it.value() = c;
    }
    summary->insert(QStringLiteral("categories"), categories);
}

QStringList categoryNames()
{
    QStringList names;
    for (int category : KdBackup::categories())
        names << KdData::machineName(category);
    return names;
}

void printExtractionSummary(const QJsonObject& summary)
{
    const QJsonObject device = summary.value(QStringLiteral("device")).toObject();
    const QString date = device.value(QStringLiteral("backupDate")).toString();
    if (!device.value(QStringLiteral("deviceName")).toString().isEmpty()) {
        // A copy may keep no model or version: only what is known is shown.
        QStringList known;
        if (!device.value(QStringLiteral("deviceType")).toString().isEmpty())
            known << cli::terminalText(device.value(QStringLiteral("deviceType")).toString());
        if (!device.value(QStringLiteral("productVersion")).toString().isEmpty())
            known << QStringLiteral("iOS ") + cli::terminalText(device.value(QStringLiteral("productVersion")).toString());
        std::printf("%s%s%s\n", cli::terminalText(device.value(QStringLiteral("deviceName")).toString()).toUtf8().constData(),
                    known.isEmpty() ? "" : qPrintable(QStringLiteral(" (") + known.join(QStringLiteral(", ")) + QLatin1Char(')')),
                    // A device's own copy has no backup date.
                    date.isEmpty() ? "" : qPrintable(QStringLiteral(", backup of ") + cli::terminalText(date)));
    }
    const QJsonObject categories = summary.value(QStringLiteral("categories")).toObject();
    for (const QString& name : categoryNames()) {
        const QJsonObject c = categories.value(name).toObject();
        if (c.isEmpty())
            continue;
        if (!c.value(QStringLiteral("extracted")).toBool(true)) {
            std::printf("  %-22s not extracted\n", c.value(QStringLiteral("title")).toString().toUtf8().constData());
            continue;
        }
        const int uncertain = c.value(QStringLiteral("uncertain")).toInt();
        std::printf("  %-22s %6d items (%d deleted%s)\n", c.value(QStringLiteral("title")).toString().toUtf8().constData(),
                    c.value(QStringLiteral("items")).toInt(), c.value(QStringLiteral("deleted")).toInt(),
                    uncertain ? qPrintable(QStringLiteral(", %1 of them possibly live").arg(uncertain)) : "");
    }
    if (summary.contains(QStringLiteral("files")))
        std::printf("%d file(s) written\n", int(summary.value(QStringLiteral("files")).toArray().size()));
    if (summary.contains(QStringLiteral("completed")) && !summary.value(QStringLiteral("completed")).toBool())
        std::printf("cancelled: the files hold what was extracted until then\n");
}

int runExtraction(const QString& backupFolder, const ExportOptions& options, bool withDeleted, QJsonObject* summary)
{
    if (cli::isInside(options.outDir, backupFolder)) {
        cli::printError(QStringLiteral("the output folder may not lie inside the backup folder"));
        return cli::Usage;
    }
    if (!options.keepDecrypted.isEmpty() && cli::isInside(options.keepDecrypted, backupFolder)) {
        cli::printError(QStringLiteral("the folder for decrypted databases may not lie inside the backup folder"));
        return cli::Usage;
    }
    // Category folders and the report are made in the output folder: one of them could be the backup.
    for (const QString& written : {options.outDir, options.keepDecrypted})
        if (!written.isEmpty() && cli::isInside(backupFolder, written)) {
            cli::printError(QStringLiteral("the backup folder may not lie inside %1, which is written to").arg(cli::terminalText(written)));
            return cli::Usage;
        }
    CiTunesBackup backup(nullptr);
    QStringList skipped;
    const int opened = cli::openBackup(backupFolder, backup, &skipped);
    if (opened != cli::Ok)
        return opened;
    // An encrypted backup is decrypted in the run's own working folder, gone when the run ends.
    std::unique_ptr<cli::WorkFolder> work;
    if (backup.isEncrypted()) {
        work = std::make_unique<cli::WorkFolder>();
        if (!work->isValid()) {
            cli::printError(QStringLiteral("no working folder to decrypt the backup in: %1").arg(work->error()));
            return cli::Failure;
        }
        if (backup.isIndexLocked())
            skipped.removeAll(backup.parseProblem()); // the password answers it
        const int unlocked = cli::unlockBackup(backup, options.passwordFile, work->path());
        if (unlocked != cli::Ok)
            return unlocked;
        if (!backup.unlockProblem().isEmpty())
            skipped << backup.unlockProblem();
        backup.setKeepDecryptedPath(options.keepDecrypted);
    } else if (!options.keepDecrypted.isEmpty()) {
        cli::printError(QStringLiteral("note: --keep-decrypted is ignored: the backup is not encrypted, its databases are read as they are"));
    }
    // A folder that cannot take the output is found out before the extraction, not after it.
    QString why;
    if (!makeOutputFolder(options.outDir, &why)) {
        cli::printError(why);
        return cli::Failure;
    }
    ExportOptions exportOptions = options;
    exportOptions.source = &backup;
    KdBackup model;
    bool completed = false;
    {
        cli::TerminalProgress progress(QStringLiteral("Extracting"));
        // Only the selected categories are read, decrypted and searched for deleted records.
        const CategorySelection selection(options.categories);
        completed = extractBackup(backup, &model, &progress, withDeleted, &skipped, work ? work->path() : QString());
    }
    if (!completed)
        skipped << QStringLiteral("the rest of the extraction: stopped by a signal");
    exportOptions.stopped = !completed;
    // What was extracted before a cancellation is still written.
    QStringList written;
    QStringList errors;
    const bool ok = writeExport(&model, exportOptions, &written, &errors, &skipped);
    if (completed && cli::interrupted()) {
        completed = false;
        skipped << QStringLiteral("the rest of the output: stopped by a signal");
    }
    if (summary) {
        *summary = summarizeExtraction(&model, options.categories);
        summary->insert(QStringLiteral("completed"), completed);
        if (exportOptions.stopped)
            markIncomplete(summary);
        summary->insert(QStringLiteral("files"), QJsonArray::fromStringList(written));
        summary->insert(QStringLiteral("skipped"), QJsonArray::fromStringList(skipped));
        summary->insert(QStringLiteral("errors"), QJsonArray::fromStringList(errors));
    }
    const int skippedCode = cli::reportSkipped(skipped);
    for (const QString& e : errors)
        cli::printError(e);
    noteEarlierOutput(exportOptions.outDir, written);
    if (!ok)
        return cli::Failure;
    return completed ? skippedCode : cli::cancelledExitCode();
}

bool takeExportOptions(QStringList& args, ExportOptions& options, QString* problem)
{
    options.exportFiles = cli::takeFlag(args, QStringLiteral("--export-files"));
    QString format, categories;
    bool missing = false;
    cli::takeOption(args, QStringLiteral("--out"), &options.outDir, &missing);
    const bool formatGiven = cli::takeOption(args, QStringLiteral("--format"), &format, &missing);
    const bool categoriesGiven = cli::takeOption(args, QStringLiteral("--categories"), &categories, &missing);
    if (missing) {
        *problem = QStringLiteral("an option is missing its value");
        return false;
    }
    if (formatGiven) {
        options.json = options.csv = false;
        for (const QString& f : format.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            if (f == QLatin1String("json")) {
                options.json = true;
            } else if (f == QLatin1String("csv")) {
                options.csv = true;
            } else if (f == QLatin1String("html")) {
                options.html = true;
            } else {
                *problem = QStringLiteral("unknown format %1 (json, csv, html)").arg(f);
                return false;
            }
        }
        if (!options.json && !options.csv && !options.html) {
            *problem = QStringLiteral("--format names no format (json, csv, html)");
            return false;
        }
    }
    for (const QString& name : categories.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const int category = KdData::categoryFromName(name.trimmed());
        if (category < 0) {
            *problem = QStringLiteral("unknown category %1 (%2)").arg(name, categoryNames().join(QLatin1String(", ")));
            return false;
        }
        options.categories << category;
    }
    // An empty list would otherwise mean every category.
    if (categoriesGiven && options.categories.isEmpty()) {
        *problem = QStringLiteral("--categories names no category (%1)").arg(categoryNames().join(QLatin1String(", ")));
        return false;
    }
    return true;
}
