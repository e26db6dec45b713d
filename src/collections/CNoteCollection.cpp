#include "CNoteCollection.h"

#include <QDir>
#include <QTextDocument>

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
    const MarkupReader reader(pieces.join(QStringLiteral("<br>")));
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
    for (const char* relativePath : kNoteDatabases) {
        const QString path = databaseFile(backupDir, home, QLatin1String(relativePath), fileSuffix);
        if (!path.isEmpty()) {
            if (!readableDatabase(path, QStringLiteral("notes"), QLatin1String(relativePath), {"ZNOTE", "note"}))
                return;
            paths << path;
            break;
        }
        // Absent: named anyway, so that the query's log line says which file was looked for.
        paths << backupDataFile(backupDir, home, QLatin1String(relativePath), fileSuffix);
    }
    CNoteQuery(m_pData).run(paths, m_pProgress);
}
