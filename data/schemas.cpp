#include "ibr/schemas.h"

#include <QFile>

#include <sqlite3.h>

// Qt resources in a static library need explicit registration before first use.
static void ensureSchemaResources()
{
    static const bool done = [] {
        Q_INIT_RESOURCE(ios_schemas);
        return true;
    }();
    (void)done;
}

namespace ibr {

QString iosSchema(int major, const QString& database)
{
    ensureSchemaResources();
    QFile f(QStringLiteral(":/schemas/ios%1/%2.sql").arg(major).arg(database));
    if (!f.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromUtf8(f.readAll());
}

QList<int> iosSchemaVersions(const QString& database)
{
    QList<int> out;
    for (int v = 5; v <= 18; ++v)
        if (!iosSchema(v, database).isEmpty())
            out << v;
    return out;
}

QStringList iosSchemaStatements(int major, const QString& database)
{
    // sqlite3_complete knows where a statement ends, triggers' inner ';' included.
    QStringList out;
    QString cur;
    const QStringList lines = iosSchema(major, database).split(QLatin1Char('\n'));
    for (const QString& line : lines) {
        // Blank lines and the comment naming each file's source stay out of the statements.
        if (cur.isEmpty() && (line.trimmed().isEmpty() || line.startsWith(QLatin1String("--"))))
            continue;
        cur += line + QLatin1Char('\n');
        if (sqlite3_complete(cur.toUtf8().constData())) {
            out << cur.trimmed();
            cur.clear();
        }
    }
    if (!cur.trimmed().isEmpty())
        out << cur.trimmed();
    return out;
}

} // namespace ibr
