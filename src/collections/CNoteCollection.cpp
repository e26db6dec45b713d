#include "CNoteCollection.h"

#include <QDir>
#include <QTextDocument>

#include <sqlite3.h>

#include "BackupFiles.h"
#include "CSubProgress.h"
#include "NoteStoreBody.h"
#include "kddata/CCommonUtils.h"
#include "kddata/KdData.h"
#include "kddata/KdItems.h"
#include "evidencedb/EvidenceDatabase.h"
#include "utility/Log.h"

#include <QRegularExpression>
#include <QHash>
#include <QSet>

namespace {

const char kModule[] = "iTunesBackup";
const char kHomeDomain[] = "HomeDomain";
// The older file first: a backup that holds both is read from it alone.
const char* const kNoteDatabases[] = {"Library/Notes/notes.db", "Library/Notes/notes.sqlite"};
const char kNoteStoreDomain[] = "AppDomainGroup-group.com.apple.notes";
const char kNoteStorePath[] = "NoteStore.sqlite";

const int kTitleColumn = 0;
const int kModifiedColumn = 1;
const int kBodyColumn = 2;
const int kCreatedColumn = 3;
const int kFolderColumn = 4;

// The rich-text parser's time grows with every tag times its nesting depth: 4000 nested lists
// take it seconds, 100000 nested tags minutes. Markup beyond these bounds is read as plain
// text instead. One tag weighs about as much as 32 levels of depth.
const qsizetype kMaxRichTextChars = 2 * 1024 * 1024;
const qint64 kMaxRichTextWork = 4000000;
const qint64 kTagWork = 32;
const qsizetype kMaxEntityChars = 10; // "&#x10FFFF;"

// The markup the rich-text document is given. Without a GUI application it crashes on
// monospace tags, background images and other styling, and warns on headings, so it only ever
// sees these tags, without attributes; every other tag is left out and its text kept. Script,
// style and title contents are hidden, as a browser hides them.
struct TagRule {
    const char* name;
    const char* open;  // what the document is given
    const char* close; // null: takes no children
};
const TagRule kTagRules[] = {
    {"br", "<br>", nullptr}, {"hr", "<hr>", nullptr}, {"img", "<img>", nullptr},
    {"p", "<p>", "</p>"}, {"div", "<div>", "</div>"}, {"blockquote", "<blockquote>", "</blockquote>"},
    {"center", "<center>", "</center>"}, {"ul", "<ul>", "</ul>"}, {"ol", "<ol>", "</ol>"}, {"li", "<li>", "</li>"},
    {"dl", "<dl>", "</dl>"}, {"dt", "<dt>", "</dt>"}, {"dd", "<dd>", "</dd>"}, {"table", "<table>", "</table>"},
    {"caption", "<caption>", "</caption>"}, {"thead", "<thead>", "</thead>"}, {"tbody", "<tbody>", "</tbody>"},
    {"tfoot", "<tfoot>", "</tfoot>"}, {"tr", "<tr>", "</tr>"}, {"td", "<td>", "</td>"}, {"th", "<th>", "</th>"},
    {"h1", "<p>", "</p>"}, {"h2", "<p>", "</p>"}, {"h3", "<p>", "</p>"}, {"h4", "<p>", "</p>"},
    {"h5", "<p>", "</p>"}, {"h6", "<p>", "</p>"}, {"pre", "<p style=\"white-space:pre\">", "</p>"},
};
const char* const kHiddenContent[] = {"script", "style", "title"};

const TagRule* tagRule(const QString& name)
{
    for (const TagRule& rule : kTagRules)
        if (name == QLatin1String(rule.name))
            return &rule;
    return nullptr;
}

bool isAsciiLetter(QChar c)
{
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'));
}

bool isHtmlSpace(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n') || c == QLatin1Char('\r')
        || c == QLatin1Char('\f');
}

// `entity` is the text between '&' and ';'; an empty result when it is not one we know.
QString decodeEntity(const QString& entity)
{
    if (entity.startsWith(QLatin1Char('#'))) {
        bool ok = false;
        const bool hex = entity.size() > 1 && (entity.at(1) == QLatin1Char('x') || entity.at(1) == QLatin1Char('X'));
        const uint code = hex ? entity.mid(2).toUInt(&ok, 16) : entity.mid(1).toUInt(&ok, 10);
        if (!ok || code == 0 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return QString();
        const char32_t c = char32_t(code);
        return QString::fromUcs4(&c, 1);
    }
    static const QList<QPair<QString, QString>> kNamed = {
        {"amp", "&"}, {"lt", "<"}, {"gt", ">"}, {"quot", "\""}, {"apos", "'"}, {"nbsp", " "}};
    for (const auto& named : kNamed)
        if (entity == named.first)
            return named.second;
    return QString();
}

// One linear pass over a body that gives the markup for the rich-text document, its cost to
// the document, and a plain reading for bodies too costly for it.
class MarkupReader
{
public:
    explicit MarkupReader(const QString& html) : m_in(html) { read(); }

    bool rich() const { return m_rich; }
    const QString& markup() const { return m_markup; }
    const QString& plain() const { return m_plain; }

private:
    // Index just past the first `what` (case-insensitive) at or after `from`; the end when none.
    qsizetype skipPast(qsizetype from, const QString& what) const
    {
        const qsizetype at = m_in.indexOf(what, from, Qt::CaseInsensitive);
        return at < 0 ? m_in.size() : at + what.size();
    }

    // Index just past the '>' that ends the tag whose attributes start at `from`.
    qsizetype tagEnd(qsizetype from) const
    {
        QChar quote;
        for (qsizetype i = from; i < m_in.size(); ++i) {
            const QChar c = m_in.at(i);
            if (!quote.isNull()) {
                if (c == quote)
                    quote = QChar();
            } else if (c == QLatin1Char('"') || c == QLatin1Char('\'')) {
                quote = c;
            } else if (c == QLatin1Char('>')) {
                return i + 1;
            }
        }
        return m_in.size();
    }

    void addMarkup(QStringView text)
    {
        if (!m_rich)
            return;
        m_markup += text;
        if (m_markup.size() > kMaxRichTextChars || m_work > kMaxRichTextWork) {
            m_rich = false;
            m_markup.clear();
            m_open.clear();
        }
    }

    void newLine(bool always)
    {
        m_pendingSpace = false;
        if (always || (!m_plain.isEmpty() && !m_plain.endsWith(QLatin1Char('\n'))))
            m_plain += QLatin1Char('\n');
    }

    void addText(QStringView text)
    {
        if (m_pendingSpace)
            m_plain += QLatin1Char(' ');
        m_pendingSpace = false;
        m_plain += text;
    }

    // The document keeps the open tags on a stack: a tag costs its depth there, a close tag
    // the depth it searches for an open one of its name (closing nothing when there is none).
    void tag(const TagRule& rule, bool closing)
    {
        if (m_rich) {
            m_work += kTagWork;
            if (!closing) {
                m_work += m_open.size();
                if (rule.close)
                    m_open << QLatin1String(rule.close);
            } else if (rule.close) {
                const qsizetype match = m_open.lastIndexOf(QLatin1String(rule.close));
                m_work += m_open.size() - qMax<qsizetype>(match, 0);
                if (match >= 0)
                    m_open.resize(match);
            }
            if (!closing || rule.close)
                addMarkup(QString::fromLatin1(closing ? rule.close : rule.open));
        }
        if (qstrcmp(rule.name, "br") == 0)
            newLine(true);
        else if (qstrcmp(rule.name, "img") == 0)
            addText(QStringView(u"\uFFFC"));
        else
            newLine(false);
    }

    void read()
    {
        const qsizetype n = m_in.size();
        qsizetype i = 0;
        while (i < n) {
            const QChar c = m_in.at(i);
            const QChar next = i + 1 < n ? m_in.at(i + 1) : QChar();
            const bool closing = c == QLatin1Char('<') && next == QLatin1Char('/') && i + 2 < n && isAsciiLetter(m_in.at(i + 2));
            if (c == QLatin1Char('<') && (closing || isAsciiLetter(next))) {
                const qsizetype from = i + (closing ? 2 : 1);
                qsizetype end = from;
                while (end < n && (isAsciiLetter(m_in.at(end)) || m_in.at(end).isDigit()))
                    ++end;
                const QString name = m_in.mid(from, end - from).toLower();
                i = tagEnd(end);
                for (const char* hidden : kHiddenContent)
                    if (!closing && name == QLatin1String(hidden))
                        i = skipPast(skipPast(i, QStringLiteral("</") + QLatin1String(hidden)), QStringLiteral(">"));
                if (const TagRule* rule = tagRule(name))
                    tag(*rule, closing);
            } else if (c == QLatin1Char('<') && (next == QLatin1Char('!') || next == QLatin1Char('?'))) {
                i = QStringView(m_in).mid(i, 4) == QLatin1String("<!--") ? skipPast(i + 4, QStringLiteral("-->"))
                                                                         : skipPast(i + 2, QStringLiteral(">"));
            } else if (c == QLatin1Char('<')) {
                addMarkup(QStringView(u"&lt;")); // text: the document must not take it for a tag
                addText(QStringView(u"<"));
                ++i;
            } else if (c == QLatin1Char('&')) {
                qsizetype semicolon = -1;
                for (qsizetype j = i + 1; j < n && j <= i + kMaxEntityChars && semicolon < 0; ++j)
                    if (m_in.at(j) == QLatin1Char(';'))
                        semicolon = j;
                const QString decoded = semicolon > i ? decodeEntity(m_in.mid(i + 1, semicolon - i - 1)) : QString();
                const qsizetype end = decoded.isEmpty() ? i + 1 : semicolon + 1;
                addMarkup(QStringView(m_in).mid(i, end - i));
                addText(decoded.isEmpty() ? QStringView(u"&") : QStringView(decoded));
                i = end;
            } else {
                addMarkup(QStringView(&c, 1));
                if (isHtmlSpace(c))
                    m_pendingSpace = !m_plain.isEmpty() && !m_plain.endsWith(QLatin1Char('\n'));
                else
                    addText(QStringView(&c, 1));
                ++i;
            }
        }
    }

    const QString& m_in;
    QString m_markup;
    QString m_plain;
    qint64 m_work = 0;
    bool m_rich = true;
    QStringList m_open; // close tags of the tags the document holds open, innermost last
    bool m_pendingSpace = false;
};

// A missing date is shown as none rather than as the first second of 2001; one too large for a
// calendar gives an invalid date, shown as none too.
void setDate(KdAbstractItem* item, sqlite3_stmt* stmt, int sqlColumn, int column)
{
    if (sqlite3_column_type(stmt, sqlColumn) == SQLITE_NULL)
        return;
    const QDateTime date = CCommonUtils::buildDateTimeBase2001(sqlite3_column_int64(stmt, sqlColumn));
    if (date.isValid()) {
        item->setValue(CCommonUtils::datetimeToMinute(date, true), column);
        item->setSortValue(date, column);
    }
}

// NoteStore.sqlite keeps notes, folders, accounts and attachments as rows of one table, told
// apart by Z_ENT. Entity numbers and the numbered column names (ZTITLE1, ZACCOUNT4, ...) change
// with every iOS release: both are looked up in the file, never assumed.
struct NoteStoreLayout {
    QString sql;
    QString countSql;
    QString attachmentSql; // identifier, type of every attachment; empty when the file has none
    QString folderSql;     // key, title, parent key of every folder; empty when the file has none
    QString problem; // why the file cannot be read; empty when it can
};

QSet<QString> tableColumns(sqlite3* db, const QString& table)
{
    QSet<QString> columns;
    evidencedb::Statement stmt(db, "PRAGMA table_info(\"" + table.toUtf8() + "\")");
    while (stmt.ok() && stmt.next())
        columns.insert(QString::fromUtf8(stmt.text(1)).toUpper());
    return columns;
}

// The first of `names` the row has a value in, as SQL over the row `alias`; NULL when the table
// has none of them. Core Data leaves the columns of other entities NULL, so a COALESCE over a
// release's candidates picks the one that belongs to the entity.
QString firstOf(const QSet<QString>& columns, const QString& alias, std::initializer_list<const char*> names)
{
    QStringList present;
    for (const char* name : names)
        if (columns.contains(QLatin1String(name)))
            present << alias + "." + QLatin1String(name);
    if (present.isEmpty())
        return QStringLiteral("NULL");
    return present.size() == 1 ? present.first() : "COALESCE(" + present.join(", ") + ")";
}

NoteStoreLayout noteStoreLayout(sqlite3* db)
{
    NoteStoreLayout layout;
    QMap<QString, qint64> entities;
    evidencedb::Statement names(db, "SELECT Z_ENT, Z_NAME FROM Z_PRIMARYKEY");
    while (names.ok() && names.next())
        entities.insert(QString::fromUtf8(names.text(1)), names.int64(0));
    if (!entities.contains(QStringLiteral("ICNote"))) {
        layout.problem = QStringLiteral("Z_PRIMARYKEY names no ICNote entity");
        return layout;
    }
    const QString note = QString::number(entities.value(QStringLiteral("ICNote")));
    const QSet<QString> columns = tableColumns(db, QStringLiteral("ZICCLOUDSYNCINGOBJECT"));

    // The note's folder row, as the FROM and WHERE of a sub-query over `f`.
    QString folderRow;
    if (entities.contains(QStringLiteral("ICFolder"))) {
        const QString folderEntity = QString::number(entities.value(QStringLiteral("ICFolder")));
        // Before iOS 11 a note could sit in several folders, through a join table named by the
        // two entity numbers.
        const QString joinTable = "Z_" + folderEntity + "NOTES";
        const QString joinFolder = "Z_" + folderEntity + "FOLDERS", joinNote = "Z_" + note + "NOTES";
        const QSet<QString> joinColumns = tableColumns(db, joinTable);
        if (columns.contains(QStringLiteral("ZFOLDER")))
            folderRow = " FROM ZICCLOUDSYNCINGOBJECT f WHERE f.Z_PK = n.ZFOLDER AND f.Z_ENT = " + folderEntity;
        else if (joinColumns.contains(joinFolder) && joinColumns.contains(joinNote))
            folderRow = " FROM " + joinTable + " j JOIN ZICCLOUDSYNCINGOBJECT f ON f.Z_PK = j." + joinFolder + " WHERE j."
                + joinNote + " = n.Z_PK ORDER BY f.Z_PK LIMIT 1";
    }
    const QString folder = folderRow.isEmpty() ? QStringLiteral("NULL") : "(SELECT f.Z_PK" + folderRow + ")";
    if (entities.contains(QStringLiteral("ICFolder")))
        layout.folderSql = "SELECT f.Z_PK, " + firstOf(columns, QStringLiteral("f"), {"ZTITLE2", "ZTITLE"}) + ", "
            + firstOf(columns, QStringLiteral("f"), {"ZPARENT"}) + " FROM ZICCLOUDSYNCINGOBJECT f WHERE f.Z_ENT = "
            + QString::number(entities.value(QStringLiteral("ICFolder")));
    // Recently Deleted is a folder of type 1; ZMARKEDFORDELETION is set once the note leaves it
    // and waits for the sync to remove it.
    QString deleted = "COALESCE(" + firstOf(columns, QStringLiteral("n"), {"ZMARKEDFORDELETION"}) + ", 0) != 0";
    if (!folderRow.isEmpty() && columns.contains(QStringLiteral("ZFOLDERTYPE")))
        deleted += " OR COALESCE((SELECT f.ZFOLDERTYPE" + folderRow + "), 0) = 1";

    // The note's account relationship is one of ZACCOUNT, ZACCOUNT1, ... depending on the release;
    // the others belong to other entities. The one pointing at an account row is it.
    QString account = QStringLiteral("NULL");
    QStringList accountColumns;
    static const QRegularExpression kAccountColumn(QStringLiteral("^ZACCOUNT[0-9]*$"));
    for (const QString& column : columns)
        if (kAccountColumn.match(column).hasMatch())
            accountColumns << "n." + column;
    accountColumns.sort();
    if (entities.contains(QStringLiteral("ICAccount")) && columns.contains(QStringLiteral("ZNAME"))
        && !accountColumns.isEmpty())
        account = "(SELECT a.ZNAME FROM ZICCLOUDSYNCINGOBJECT a WHERE a.Z_ENT = "
            + QString::number(entities.value(QStringLiteral("ICAccount"))) + " AND a.Z_PK IN ("
            + accountColumns.join(", ") + ") ORDER BY a.Z_PK LIMIT 1)";

    QStringList data;
    const QSet<QString> dataColumns = tableColumns(db, QStringLiteral("ZICNOTEDATA"));
    if (dataColumns.contains(QStringLiteral("ZDATA"))) {
        if (dataColumns.contains(QStringLiteral("ZNOTE")))
            data << QStringLiteral("(SELECT d.ZDATA FROM ZICNOTEDATA d WHERE d.ZNOTE = n.Z_PK ORDER BY d.Z_PK LIMIT 1)");
        if (columns.contains(QStringLiteral("ZNOTEDATA")))
            data << QStringLiteral("(SELECT d.ZDATA FROM ZICNOTEDATA d WHERE d.Z_PK = n.ZNOTEDATA)");
    }
    const QString body = data.isEmpty() ? QStringLiteral("NULL")
                                        : data.size() == 1 ? data.first() : "COALESCE(" + data.join(", ") + ")";

    const QString n = QStringLiteral("n");
    layout.sql = "SELECT n.Z_PK, " + firstOf(columns, n, {"ZTITLE1", "ZTITLE"}) + ", "
        + firstOf(columns, n, {"ZMODIFICATIONDATE1", "ZMODIFICATIONDATE"}) + ", "
        + firstOf(columns, n, {"ZCREATIONDATE3", "ZCREATIONDATE1", "ZCREATIONDATE"}) + ", "
        + firstOf(columns, n, {"ZISPASSWORDPROTECTED"}) + ", (" + deleted + "), "
        + folder + ", " + account + ", " + body + " FROM ZICCLOUDSYNCINGOBJECT n WHERE n.Z_ENT = " + note
        + " ORDER BY 3 DESC";
    layout.countSql = "SELECT count(*) FROM ZICCLOUDSYNCINGOBJECT WHERE Z_ENT = " + note;

    QStringList attachmentEntities;
    for (const char* name : {"ICAttachment", "ICInlineAttachment"})
        if (entities.contains(QLatin1String(name)))
            attachmentEntities << QString::number(entities.value(QLatin1String(name)));
    const QString type = firstOf(columns, n, {"ZTYPEUTI", "ZTYPEUTI1"});
    if (!attachmentEntities.isEmpty() && columns.contains(QStringLiteral("ZIDENTIFIER")) && type != QLatin1String("NULL"))
        layout.attachmentSql = "SELECT n.ZIDENTIFIER, " + type + " FROM ZICCLOUDSYNCINGOBJECT n WHERE n.Z_ENT IN ("
            + attachmentEntities.join(", ") + ") AND n.ZIDENTIFIER IS NOT NULL";
    return layout;
}

// Rows of noteStoreLayout's statement.
class NoteStoreQuery : public CISQLiteQuery
{
public:
    explicit NoteStoreQuery(KdData* target) : m_pTarget(target) {}

    notestore::AttachmentTypes m_attachmentTypes;
    struct Folder {
        QString title;
        qint64 parent = 0;
    };
    QHash<qint64, Folder> m_folders;

    // "Home / Recipes": folders nest from iOS 11 on. A parent chain that loops or runs deeper
    // than anyone nests folders ends there.
    QString folderPath(qint64 key) const
    {
        const int kMaxDepth = 32;
        QStringList path;
        QSet<qint64> seen;
        for (auto it = m_folders.find(key); it != m_folders.end() && path.size() < kMaxDepth && !seen.contains(it.key());
             it = m_folders.find(it->parent)) {
            seen.insert(it.key());
            path.prepend(it->title);
        }
        return path.join(QStringLiteral(" / "));
    }

    bool handleRow(sqlite3_stmt* stmt) override
    {
        if (!m_pTarget)
            return true;
        KdNoteItem* item = KdNoteItem::createItem();
        item->setValue(columnText(stmt, 1), kTitleColumn);
        setDate(item, stmt, 2, kModifiedColumn);
        setDate(item, stmt, 3, kCreatedColumn);
        const QString folder = sqlite3_column_type(stmt, 6) == SQLITE_NULL ? QString()
                                                                          : folderPath(sqlite3_column_int64(stmt, 6));
        const QString account = columnText(stmt, 7);
        item->setValue(account.isEmpty() || folder.isEmpty() ? account + folder : account + " / " + folder,
                       kFolderColumn);
        // Recently Deleted, or removed and waiting for the sync.
        item->setFlag(sqlite3_column_int64(stmt, 5) != 0, KdAbstractItem::DeletedFlag);
        if (sqlite3_column_int64(stmt, 4) != 0) {
            // Encrypted with the user's note password: the bytes would read as garbage.
            item->setValue(QStringLiteral("(locked)"), kBodyColumn);
        } else if (sqlite3_column_type(stmt, 8) != SQLITE_NULL) {
            const QByteArray data(static_cast<const char*>(sqlite3_column_blob(stmt, 8)), sqlite3_column_bytes(stmt, 8));
            QString error;
            item->setValue(notestore::bodyText(data, &error, &m_attachmentTypes), kBodyColumn);
            if (!error.isEmpty())
                Log(kModule, 1, " Note %lld of NoteStore.sqlite: body not read: %s",
                    static_cast<long long>(sqlite3_column_int64(stmt, 0)), error.toUtf8().constData());
        }
        item->setSize(0);
        m_pTarget->append(item);
        return true;
    }

private:
    KdData* m_pTarget; // not owned
};

} // namespace

CNoteQuery::CNoteQuery(KdData* target) : m_pTarget(target), m_document(new QTextDocument)
{
    m_sqls << QStringLiteral("select ZTITLE,ZSUMMARY,ZMODIFICATIONDATE,ZCREATIONDATE,ZCONTENT from znote LEFT JOIN "
                             "ZNOTEBODY ON ZNOTE.ZBODY = ZNOTEBODY.Z_PK order by ZMODIFICATIONDATE desc")
           << QStringLiteral("select TITLE,SUMMARY,MODIFICATION_DATE,CREATION_DATE,DATA from note LEFT JOIN "
                             "NOTE_BODIES ON NOTE.ROWID = NOTE_BODIES.NOTE_ID order by MODIFICATION_DATE desc");
    m_countSqls << QStringLiteral("select count(*) from znote LEFT JOIN ZNOTEBODY ON ZNOTE.ZBODY = ZNOTEBODY.Z_PK")
                << QStringLiteral("select count(*) from note LEFT JOIN NOTE_BODIES ON NOTE.ROWID = NOTE_BODIES.NOTE_ID");
}

CNoteQuery::~CNoteQuery() = default;

bool CNoteQuery::handleRow(sqlite3_stmt* stmt)
{
    if (!m_pTarget)
        return true;
    KdNoteItem* item = KdNoteItem::createItem();
    item->setValue(columnText(stmt, 0), kTitleColumn);
    setDate(item, stmt, 2, kModifiedColumn);
    item->setValue(bodyText(columnText(stmt, 4)), 2);
    setDate(item, stmt, 3, kCreatedColumn);
    item->setSize(0);
    m_pTarget->append(item);
    return true;
}

namespace {

// Each div block becomes one line: blocks are joined by line breaks, and a block's own trailing
// break would otherwise add an empty line after it. The empty piece before the first block (and
// after the last) is no line of the note's.
QString blocksAsLines(const QString& html)
{
    QStringList pieces = html.split(QStringLiteral("<div>"), Qt::KeepEmptyParts, Qt::CaseSensitive);
    for (QString& piece : pieces) {
        piece.remove(QStringLiteral("</div>"), Qt::CaseSensitive);
        if (piece.endsWith(QLatin1String("<br>")))
            piece.chop(4);
    }
    while (pieces.size() > 1 && pieces.first().trimmed().isEmpty())
        pieces.removeFirst();
    while (pieces.size() > 1 && pieces.last().trimmed().isEmpty())
        pieces.removeLast();
    return pieces.join(QStringLiteral("<br>"));
}

} // namespace

QString CNoteQuery::plainBodyText(const QString& html)
{
    return html.isEmpty() ? QString() : MarkupReader(blocksAsLines(html)).plain();
}

QString CNoteQuery::bodyText(const QString& html)
{
    if (html.isEmpty())
        return QString();
    const MarkupReader reader(blocksAsLines(html));
    if (!reader.rich()) {
        Log(kModule, 1, " Note body of %lld characters too large or deeply nested for rich text: tags removed",
            static_cast<long long>(html.size()));
        return reader.plain();
    }
    m_document->setHtml(reader.markup());
    const QString text = m_document->toPlainText();
    m_document->clear();
    return text;
}

CNoteCollection::CNoteCollection(KdData* notes) : m_pData(notes) {}

void CNoteCollection::collect(const QString& backupDir, const QList<CManifestRecord*>&, const QString& fileSuffix)
{
    const QString home = QString::fromLatin1(kHomeDomain);
    QStringList paths;
    bool legacyFound = false;
    for (const char* relativePath : kNoteDatabases) {
        const QString path = databaseFile(backupDir, home, QLatin1String(relativePath), fileSuffix);
        if (!path.isEmpty()) {
            legacyFound = readableDatabase(path, QStringLiteral("notes"), QLatin1String(relativePath), {"ZNOTE", "note"});
            // An unreadable file has its line in `problems`; the query need not name the others.
            paths = legacyFound ? QStringList{path} : QStringList();
            break;
        }
        // Absent: named anyway, so that the query's log line says which file was looked for.
        paths << backupDataFile(backupDir, home, QLatin1String(relativePath), fileSuffix);
    }
    const QString store = databaseFile(backupDir, QLatin1String(kNoteStoreDomain), QLatin1String(kNoteStorePath), fileSuffix);
    const bool storeFound = !store.isEmpty()
        && readableDatabase(store, QStringLiteral("notes"), QLatin1String(kNoteStorePath), {"ZICCLOUDSYNCINGOBJECT"});
    if (!storeFound) {
        if (!paths.isEmpty())
            CNoteQuery(m_pData).run(paths, m_pProgress);
        return;
    }
    if (!legacyFound) {
        collectNoteStore(store, m_pProgress);
        return;
    }
    // Each file takes half of the range, whatever its number of notes.
    const int half = m_pProgress ? m_pProgress->range() / 2 : 100;
    for (int part = 0; part < 2; ++part) {
        CSubProgress sub(m_pProgress, part == 0 ? half : (m_pProgress ? m_pProgress->range() - half : 100));
        sub.initRange(100);
        if (part == 0)
            CNoteQuery(m_pData).run(paths, &sub);
        else
            collectNoteStore(store, &sub);
        if (!sub.finish())
            return;
    }
}

void CNoteCollection::collectNoteStore(const QString& path, CIProgressCallback* progress)
{
    NoteStoreLayout layout;
    NoteStoreQuery query(m_pData);
    {
        const evidencedb::SqlitePtr db(CISQLiteQuery::openReadOnly(path));
        if (!db) {
            m_problems << QStringLiteral("notes: %1 does not open").arg(QLatin1String(kNoteStorePath));
            return;
        }
        layout = noteStoreLayout(db.get());
        evidencedb::Statement types(db.get(), layout.attachmentSql.toUtf8());
        while (!layout.attachmentSql.isEmpty() && types.ok() && types.next())
            query.m_attachmentTypes.insert(QString::fromUtf8(types.text(0)), QString::fromUtf8(types.text(1)));
        evidencedb::Statement folders(db.get(), layout.folderSql.toUtf8());
        while (!layout.folderSql.isEmpty() && folders.ok() && folders.next())
            query.m_folders.insert(folders.int64(0), {QString::fromUtf8(folders.text(1)), folders.int64(2)});
    }
    if (!layout.problem.isEmpty()) {
        Log(kModule, 0, "Notes of %s not read: %s", path.toUtf8().constData(), layout.problem.toUtf8().constData());
        m_problems << QStringLiteral("notes: %1: %2").arg(QLatin1String(kNoteStorePath), layout.problem);
        return;
    }
    query.m_sqls << layout.sql;
    query.m_countSqls << layout.countSql;
    query.run({path}, progress);
}
