#include <QFileInfo>

#include <cmath>
#include <cstdio>
#include <map>
#include <set>
#include <string>

#include "cli.h"
#include "sqlitecarve/Carver.h"

namespace {

const char kUsage[] = "recover-db DATABASE [--wal FILE] [--journal FILE] [--json]";

void appendJsonString(std::string& out, const std::string& s)
{
    static const char kHex[] = "0123456789abcdef";
    out += '"';
    for (unsigned char c : s) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                out += "\\u00";
                out += kHex[c >> 4];
                out += kHex[c & 15];
            } else {
                out += char(c);
            }
        }
    }
    out += '"';
}

std::string hex(const std::string& bytes)
{
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
    return out;
}

std::string realText(double v)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

// Invalid UTF-8 would make the JSON line unreadable; such bytes become U+FFFD.
std::string utf8Clean(const std::string& s)
{
    const QString q = QString::fromUtf8(s.data(), qsizetype(s.size()));
    return q.toUtf8().toStdString();
}

// Texts carved from a file may hold anything; on a terminal they are shown escaped.
std::string printable(const std::string& s)
{
    return cli::terminalText(QString::fromUtf8(s.data(), qsizetype(s.size()))).toUtf8().toStdString();
}

// {"table":...,"source":...,"page":...,"offset":...,"rowid":...,"values":[...],"lost":[...]}
std::string jsonLine(const sqlcarve::CarvedRow& row)
{
    std::string out = "{\"table\":";
    appendJsonString(out, utf8Clean(row.table));
    out += ",\"source\":\"";
    out += sqlcarve::sourceName(row.source);
    out += "\",\"page\":" + std::to_string(row.page) + ",\"offset\":" + std::to_string(row.offset) + ",\"rowid\":";
    out += row.rowid ? std::to_string(*row.rowid) : "null";
    out += ",\"values\":[";
    std::string lost;
    for (size_t i = 0; i < row.values.size(); ++i) {
        const sqlcarve::Value& v = row.values[i];
        if (i)
            out += ',';
        switch (v.kind) {
        case sqlcarve::Value::Kind::Null:
        case sqlcarve::Value::Kind::Lost:
            out += "null";
            break;
        case sqlcarve::Value::Kind::Integer:
            out += std::to_string(v.integer);
            break;
        case sqlcarve::Value::Kind::Real:
            out += std::isfinite(v.real) ? realText(v.real) : "null";
            break;
        case sqlcarve::Value::Kind::Text:
            appendJsonString(out, utf8Clean(v.bytes));
            break;
        case sqlcarve::Value::Kind::Blob:
            out += "{\"hex\":\"" + hex(v.bytes) + "\"}";
            break;
        }
        if (v.isLost())
            lost += (lost.empty() ? "" : ",") + std::to_string(i);
    }
    out += "],\"lost\":[" + lost + "]}";
    return out;
}

std::string textLine(const sqlcarve::CarvedRow& row)
{
    std::string out = printable(row.table) + "  " + sqlcarve::sourceName(row.source) + "  page " + std::to_string(row.page) + "  offset "
                      + std::to_string(row.offset) + "  rowid " + (row.rowid ? std::to_string(*row.rowid) : "?") + "\n   ";
    for (size_t i = 0; i < row.values.size(); ++i) {
        const sqlcarve::Value& v = row.values[i];
        out += i ? " | " : " ";
        switch (v.kind) {
        case sqlcarve::Value::Kind::Null: out += "NULL"; break;
        case sqlcarve::Value::Kind::Lost: out += "(lost)"; break;
        case sqlcarve::Value::Kind::Integer: out += std::to_string(v.integer); break;
        case sqlcarve::Value::Kind::Real: out += realText(v.real); break;
        case sqlcarve::Value::Kind::Text: out += printable(v.bytes); break;
        case sqlcarve::Value::Kind::Blob: out += "x'" + hex(v.bytes) + "'"; break;
        }
    }
    return out;
}

int runRecoverDb(QStringList args)
{
    QString wal, journal;
    bool missing = false;
    const bool haveWal = cli::takeOption(args, QStringLiteral("--wal"), &wal, &missing);
    const bool haveJournal = cli::takeOption(args, QStringLiteral("--journal"), &journal, &missing);
    const bool json = cli::takeFlag(args, QStringLiteral("--json"));
    if (missing)
        return cli::usageError(kUsage, QStringLiteral("an option needs a FILE"));
    if (cli::rejectUnknownOptions(args, kUsage))
        return cli::Usage;
    if (args.size() != 1)
        return cli::usageError(kUsage);
    const QString database = args.first();
    if (!QFileInfo(database).isFile()) {
        cli::printError(QStringLiteral("%1: no such file").arg(database));
        return cli::Failure;
    }
    for (const QString& f : {wal, journal}) {
        if (!f.isEmpty() && !QFileInfo(f).isFile()) {
            cli::printError(QStringLiteral("%1: no such file").arg(f));
            return cli::Failure;
        }
    }

    cli::TerminalProgress bar(QStringLiteral("Scanning"));
    bar.initRange(1000);
    double reported = 0;
    sqlcarve::Options opt;
    if (haveWal)
        opt.walPath = wal.toStdString();
    if (haveJournal)
        opt.journalPath = journal.toStdString();
    opt.progress = [&](double done, double total) {
        const double now = total > 0 ? done / total * 1000 : 0;
        const bool go = bar.progress(now - reported);
        reported = now;
        return go;
    };
    // Each table's column names go out before its first row: a line of their own in JSON
    // ({"table":...,"columns":[...]}), a header in text.
    std::map<std::string, std::vector<std::string>> columns;
    opt.onTables = [&](const std::vector<sqlcarve::Table>& tables) {
        for (const sqlcarve::Table& t : tables)
            for (const sqlcarve::Column& c : t.columns)
                columns[t.name].push_back(c.name);
    };
    std::set<std::string> named;
    // Rows arrive once the scan is over, so they can go straight out.
    opt.onRow = [&](const sqlcarve::CarvedRow& row) {
        if (named.insert(row.table).second) {
            const std::vector<std::string>& names = columns[row.table];
            std::string header;
            if (json) {
                header = "{\"table\":";
                appendJsonString(header, utf8Clean(row.table));
                header += ",\"columns\":[";
                for (size_t i = 0; i < names.size(); ++i) {
                    header += i ? "," : "";
                    appendJsonString(header, utf8Clean(names[i]));
                }
                header += "]}";
            } else {
                header = "columns of " + printable(row.table) + ":";
                for (size_t i = 0; i < names.size(); ++i)
                    header += (i ? " | " : " ") + printable(names[i]);
            }
            std::fputs(header.c_str(), stdout);
            std::fputc('\n', stdout);
        }
        const std::string line = json ? jsonLine(row) : textLine(row);
        std::fputs(line.c_str(), stdout);
        std::fputc('\n', stdout);
    };
    const sqlcarve::Result result = sqlcarve::carveFile(database.toStdString(), opt);
    bar.finish();
    if (result.cancelled)
        return cli::cancelledExitCode();
    if (!result.ok) {
        cli::printError(QStringLiteral("%1: not a SQLite database").arg(database));
        return cli::Failure;
    }
    for (const std::string& w : result.warnings)
        std::fprintf(stderr, "ibreader: %s: %s\n", cli::terminalText(database).toUtf8().constData(), printable(w).c_str());
    QStringList skipped;
    for (const std::string& u : result.unread)
        skipped << QString::fromUtf8(u.c_str());
    if (!json)
        std::fprintf(stderr, "%llu deleted records recovered\n", static_cast<unsigned long long>(result.rowCount));
    return cli::reportSkipped(skipped);
}

// The database and every companion file SQLite or a later scan could take for its own.
QStringList recoverDbEvidence(QStringList args)
{
    QStringList files = cli::evidenceArguments(args, {}, {QStringLiteral("--wal"), QStringLiteral("--journal")});
    const QStringList given = files;
    for (const QString& f : given)
        files << f + QStringLiteral("-wal") << f + QStringLiteral("-shm") << f + QStringLiteral("-journal");
    return files;
}

const cli::Registrar recoverDbCommand{{"recover-db", kUsage, "print the deleted records still inside a SQLite database",
                                        &runRecoverDb, &recoverDbEvidence, false}};

} // namespace
