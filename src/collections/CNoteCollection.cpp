#include "CNoteCollection.h"

#include <QDir>
#include <QTextDocument>
#include <QUrl>
#include <QVariant>

#include <sqlite3.h>

#include "BackupFiles.h"
#include "kddata/CCommonUtils.h"
#include "kddata/KdData.h"
#include "kddata/KdItems.h"
#include "utility/Log.h"

namespace {

const char kModule[] = "iTunesBackup";
const char kHomeDomain[] = "HomeDomain";
// The older file first: a backup that holds both is read from it alone.
const char* const kNoteDatabases[] = {"Library/Notes/notes.db", "Library/Notes/notes.sqlite"};

// The rich-text parser's time grows with every tag times its nesting depth: 4000 nested lists
// take it seconds, 100000 nested tags minutes. Bodies beyond these bounds are read by
// plainMarkupText instead. One tag weighs about as much as 32 levels of depth.
const qsizetype kMaxRichTextChars = 2 * 1024 * 1024;
const qint64 kMaxRichTextWork = 4000000;
const qint64 kTagWork = 32;
const qsizetype kMaxEntityChars = 10; // "&#x10FFFF;"

// A note's markup may name files and addresses; showing it must never read them.
class NoteDocument : public QTextDocument
{
protected:
    QVariant loadResource(int, const QUrl&) override { return QVariant(); }
};

bool isHtmlSpace(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\n') || c == QLatin1Char('\r')
        || c == QLatin1Char('\f');
}

bool isTagNameChar(QChar c)
{
    return (c >= QLatin1Char('a') && c <= QLatin1Char('z')) || (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
        || (c >= QLatin1Char('0') && c <= QLatin1Char('9'));
}

// Lower-case name of the tag whose name starts at `from`; `end` receives where it stops.
QString tagName(const QString& html, qsizetype from, qsizetype* end)
{
    qsizetype i = from;
    while (i < html.size() && isTagNameChar(html.at(i)))
        ++i;
    *end = i;
    return html.mid(from, i - from).toLower();
}

qsizetype skipSpaces(const QString& html, qsizetype i)
{
    while (i < html.size() && html.at(i).isSpace())
        ++i;
    return i;
}

// A tag name as the rich-text parser reads it: up to white space, '>', '/', '<' or '='.
QString parserTagName(const QString& html, qsizetype from)
{
    qsizetype i = from;
    while (i < html.size()) {
        const QChar c = html.at(i);
        if (c.isSpace() || c == QLatin1Char('>') || c == QLatin1Char('/') || c == QLatin1Char('<')
            || c == QLatin1Char('='))
            break;
        ++i;
    }
    return html.mid(from, i - from).toLower();
}

// The parser's cost of a body, in one pass that stops past the bound. Every '<' it could take
// for a tag is counted; tags are open until closed (it closes some itself, so this errs high);
// a close tag without an open one of its name closes nothing, as in the parser.
qint64 richTextWork(const QString& html)
{
    static const QStringList kChildless = {"br", "img", "hr", "meta"};
    qint64 work = 0;
    QStringList open;
    const qsizetype n = html.size();
    for (qsizetype i = 0; i < n && work <= kMaxRichTextWork; ++i) {
        if (html.at(i) != QLatin1Char('<'))
            continue;
        qsizetype at = skipSpaces(html, i + 1);
        if (at < n && html.at(at) == QLatin1Char('!'))
            continue; // comments and declarations make no node
        work += kTagWork;
        if (at < n && html.at(at) == QLatin1Char('/')) {
            const QString name = parserTagName(html, skipSpaces(html, at + 1));
            const qsizetype match = open.lastIndexOf(name);
            work += open.size() - (match < 0 ? 0 : match);
            if (match >= 0)
                open.resize(match);
            continue;
        }
        const QString name = parserTagName(html, at);
        work += open.size();
        if (!kChildless.contains(name))
            open << name;
    }
    return work;
}

bool isBlockElement(const QString& name)
{
    static const QStringList kBlocks = {"p",  "div", "li", "tr", "ul", "ol", "table", "blockquote", "pre",
                                        "h1", "h2",  "h3", "h4", "h5", "h6"};
    return kBlocks.contains(name);
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

// Linear reading of bodies too costly for the rich-text parser: tags dropped, line breaks and
// blocks as new lines, white space collapsed, common entities resolved.
QString plainMarkupText(const QString& html)
{
    QString out;
    out.reserve(html.size());
    bool pendingSpace = false;
    auto newLine = [&](bool always) {
        pendingSpace = false;
        if (always || (!out.isEmpty() && !out.endsWith(QLatin1Char('\n'))))
            out += QLatin1Char('\n');
    };
    const qsizetype n = html.size();
    bool tagsLeft = true; // false once no '>' follows: the rest is text
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = html.at(i);
        if (c == QLatin1Char('<') && tagsLeft) {
            const qsizetype close = html.indexOf(QLatin1Char('>'), i + 1);
            if (close < 0) {
                tagsLeft = false;
            } else {
                const bool closing = i + 1 < n && html.at(i + 1) == QLatin1Char('/');
                qsizetype end = 0;
                const QString name = tagName(html, i + (closing ? 2 : 1), &end);
                if (name == QLatin1String("br"))
                    newLine(true);
                else if (isBlockElement(name))
                    newLine(false);
                i = close;
                continue;
            }
        }
        if (c == QLatin1Char('&')) {
            qsizetype semicolon = -1;
            for (qsizetype j = i + 1; j < n && j <= i + kMaxEntityChars && semicolon < 0; ++j)
                if (html.at(j) == QLatin1Char(';'))
                    semicolon = j;
            if (semicolon > i) {
                const QString decoded = decodeEntity(html.mid(i + 1, semicolon - i - 1));
                if (!decoded.isEmpty()) {
                    if (pendingSpace)
                        out += QLatin1Char(' ');
                    pendingSpace = false;
                    out += decoded;
                    i = semicolon;
                    continue;
                }
            }
        }
        if (isHtmlSpace(c)) {
            pendingSpace = !out.isEmpty() && !out.endsWith(QLatin1Char('\n'));
            continue;
        }
        if (pendingSpace)
            out += QLatin1Char(' ');
        pendingSpace = false;
        out += c;
    }
    return out;
}

} // namespace

CNoteQuery::CNoteQuery(KdData* target) : m_pTarget(target), m_document(new NoteDocument)
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
    item->setValue(columnText(stmt, 0), 0);
    // A missing date is shown as none rather than as the first second of 2001; one too large
    // for a calendar gives an invalid date, shown as none too.
    if (sqlite3_column_type(stmt, 2) != SQLITE_NULL) {
        const QDateTime modified = CCommonUtils::buildDateTimeBase2001(sqlite3_column_int64(stmt, 2));
        if (modified.isValid()) {
            item->setValue(CCommonUtils::datetimeToMinute(modified, true), 1);
            item->setSortValue(modified, 1);
        }
    }
    item->setValue(bodyText(columnText(stmt, 4)), 2);
    item->setSize(0);
    m_pTarget->append(item);
    return true;
}

QString CNoteQuery::bodyText(const QString& html)
{
    if (html.isEmpty())
        return QString();
    // Each div block becomes one line: blocks are joined by line breaks, and a block's own
    // trailing break would otherwise add an empty line after it.
    QStringList pieces = html.split(QStringLiteral("<div>"), Qt::KeepEmptyParts, Qt::CaseSensitive);
    for (QString& piece : pieces) {
        piece.remove(QStringLiteral("</div>"), Qt::CaseSensitive);
        if (piece.endsWith(QLatin1String("<br>")))
            piece.chop(4);
    }
    const QString joined = pieces.join(QStringLiteral("<br>"));
    if (joined.size() > kMaxRichTextChars || richTextWork(joined) > kMaxRichTextWork) {
        Log(kModule, 1, " Note body of %lld characters too large or deeply nested for rich text: tags removed",
            static_cast<long long>(html.size()));
        return plainMarkupText(joined);
    }
    m_document->setHtml(joined);
    const QString text = m_document->toPlainText();
    m_document->clear();
    return text;
}

CNoteCollection::CNoteCollection(KdData* notes) : m_pData(notes) {}

void CNoteCollection::collect(const QString& backupDir, const QList<CManifestRecord*>&, const QString& fileSuffix)
{
    const QString home = QString::fromLatin1(kHomeDomain);
    QStringList paths;
    for (const char* relativePath : kNoteDatabases) {
        const QString path = databaseFile(backupDir, home, QLatin1String(relativePath), fileSuffix);
        if (!path.isEmpty()) {
            paths << path;
            break;
        }
        // Absent: named anyway, so that the query's log line says which file was looked for.
        paths << QDir(backupDir).absoluteFilePath(backupFileName(home, QLatin1String(relativePath)) + fileSuffix);
    }
    CNoteQuery(m_pData).run(paths, m_pProgress);
}
