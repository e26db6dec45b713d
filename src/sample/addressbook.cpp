#include "AddressBookSample.h"
#include "SampleBackup.h"

#include <QBuffer>
#include <QColor>
#include <QHash>
#include <QImage>
#include <QPainter>
#include <QUuid>

#include <cstdlib>

#include <sqlite3.h>

#include "ibr/schemas.h"

namespace sample {

namespace {

const char kHome[] = "HomeDomain";
const char kAddressBookPath[] = "Library/AddressBook/AddressBook.sqlitedb";
const char kImagesPath[] = "Library/AddressBook/AddressBookImages.sqlitedb";

// Property codes of the address book.
enum { Phone = 3, Email = 4, Address = 5, Url = 22 };

SampleValue value(int property, const char* label, const QString& text)
{
    return SampleValue{property, QString::fromUtf8(label), text, {}};
}

SampleValue address(const char* label, const QString& street, const QString& city, const QString& zip,
                    const QString& country, const QString& code)
{
    SampleValue v{Address, QString::fromUtf8(label), QString(), {}};
    v.entries = {{QStringLiteral("Street"), street}, {QStringLiteral("City"), city}, {QStringLiteral("ZIP"), zip},
                 {QStringLiteral("Country"), country}, {QStringLiteral("CountryCode"), code}};
    return v;
}

// Stand-in for the device's own guid generator, so the layout's column defaults work.
void generateGuid(sqlite3_context* context, int, sqlite3_value**)
{
    const QByteArray guid = QUuid::createUuid().toByteArray(QUuid::WithoutBraces).toUpper();
    sqlite3_result_text(context, guid.constData(), guid.size(), SQLITE_TRANSIENT);
}

// Stand-in for the device's trigger helper: the value its triggers store is the one they pass.
void updateValueFromTrigger(sqlite3_context* context, int argc, sqlite3_value** argv)
{
    if (argc > 0)
        sqlite3_result_value(context, argv[0]);
}

bool exec(sqlite3* db, const QString& sql)
{
    return sqlite3_exec(db, sql.toUtf8().constData(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

class Insert
{
public:
    Insert(sqlite3* db, const char* sql) { sqlite3_prepare_v2(db, sql, -1, &m_stmt, nullptr); }
    ~Insert() { sqlite3_finalize(m_stmt); }
    bool ok() const { return m_stmt; }
    Insert& bind(int i, qint64 v)
    {
        sqlite3_bind_int64(m_stmt, i, v);
        return *this;
    }
    Insert& bind(int i, const QString& v, bool nullWhenEmpty = true)
    {
        if (v.isEmpty() && nullWhenEmpty) {
            sqlite3_bind_null(m_stmt, i);
        } else {
            const QByteArray u = v.toUtf8();
            sqlite3_bind_text(m_stmt, i, u.constData(), u.size(), SQLITE_TRANSIENT);
        }
        return *this;
    }
    Insert& bind(int i, const QByteArray& blob)
    {
        sqlite3_bind_blob(m_stmt, i, blob.constData(), blob.size(), SQLITE_TRANSIENT);
        return *this;
    }
    bool step()
    {
        const bool done = sqlite3_step(m_stmt) == SQLITE_DONE;
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
        return done;
    }

private:
    sqlite3_stmt* m_stmt = nullptr;
};

// Row id of `text` in a table of unique values (labels, entry keys), inserted when new.
qint64 uniqueValueId(sqlite3* db, const char* table, const QString& text, QHash<QString, qint64>& cache)
{
    if (cache.contains(text))
        return cache.value(text);
    Insert ins(db, QByteArray("insert into ") .append(table).append(" (value) values (?)").constData());
    if (!ins.ok() || !ins.bind(1, text, false).step())
        return -1;
    const qint64 id = sqlite3_last_insert_rowid(db);
    cache.insert(text, id);
    return id;
}

} // namespace

QString SamplePerson::displayName() const
{
    QStringList parts;
    for (const QString& p : {prefix, first, middle, last, suffix})
        if (!p.isEmpty())
            parts << p;
    return parts.join(QLatin1Char(' '));
}

QList<SamplePerson> addressBookPeople(int scale)
{
    QList<SamplePerson> people;

    SamplePerson john;
    john.prefix = QStringLiteral("Dr.");
    john.first = QStringLiteral("John");
    john.middle = QStringLiteral("Quincy");
    john.last = QStringLiteral("Appleseed");
    john.suffix = QStringLiteral("Jr.");
    john.organization = QStringLiteral("Orchard Growers Ltd.");
    john.jobTitle = QStringLiteral("Head Grower");
    john.nickname = QStringLiteral("Johnny");
    john.birthday = QStringLiteral("-504057600");
    john.note = QStringLiteral("Met at the harvest fair");
    john.values = {value(Phone, "_$!<Mobile>!$_", QStringLiteral("+1 (415) 555-0100")),
                   value(Phone, "_$!<Home>!$_", QStringLiteral("415-555-0199")),
                   value(Phone, "_$!<Work>!$_", QStringLiteral("+44 20 7946 0100")),
                   value(Email, "_$!<Home>!$_", QStringLiteral("john@example.com")),
                   value(Email, "_$!<Work>!$_", QStringLiteral("j.appleseed@orchard.example")),
                   value(Url, "_$!<HomePage>!$_", QStringLiteral("https://appleseed.example")),
                   value(Url, "_$!<Other>!$_", QStringLiteral("http://blog.example.org/john")),
                   address("_$!<Home>!$_", QStringLiteral("1 Infinite Loop"), QStringLiteral("Cupertino"),
                           QStringLiteral("95014"), QStringLiteral("United States"), QStringLiteral("us")),
                   address("_$!<Work>!$_", QStringLiteral("221B Baker Street"), QStringLiteral("London"),
                           QStringLiteral("NW1 6XE"), QStringLiteral("United Kingdom"), QStringLiteral("gb"))};
    john.thumbnail = true;
    people << john;

    SamplePerson emilie;
    emilie.first = QStringLiteral("Émilie");
    emilie.last = QStringLiteral("Dubois");
    emilie.values = {value(Phone, "_$!<Mobile>!$_", QStringLiteral("+33 6 12 34 56 78")),
                     value(Phone, "iPhone", QStringLiteral("01 23 45 67 89")),
                     value(Email, "_$!<Other>!$_", QStringLiteral("emilie@example.fr")),
                     value(Url, "_$!<HomePage>!$_", QStringLiteral("https://émilie.example.fr/atelier")),
                     address("_$!<Home>!$_", QStringLiteral("12 rue de l'Église"), QStringLiteral("Paris"),
                             QStringLiteral("75004"), QStringLiteral("France"), QStringLiteral("fr"))};
    emilie.thumbnail = true;
    people << emilie;

    SamplePerson oscar;
    oscar.first = QStringLiteral("Oscar");
    oscar.last = QStringLiteral("Deleted");
    oscar.deleted = true;
    oscar.values = {value(Phone, "_$!<Mobile>!$_", QStringLiteral("+1 (212) 555-0123")),
                    value(Email, "_$!<Home>!$_", QStringLiteral("oscar@example.com"))};
    people << oscar;

    SamplePerson emma;
    emma.first = QStringLiteral("emma");
    emma.last = QStringLiteral("Larsen");
    emma.values = {value(Phone, "_$!<Mobile>!$_", QStringLiteral("+45 20 12 34 56")),
                   value(Email, "_$!<Home>!$_", QStringLiteral("emma.larsen@example.dk")),
                   value(Email, "_$!<Work>!$_", QStringLiteral("emma@work.example.dk"))};
    people << emma;

    SamplePerson ethan;
    ethan.first = QStringLiteral("Ethan");
    ethan.last = QStringLiteral("Zhao");
    ethan.values = {value(Phone, "Shanghai office", QStringLiteral("+86 138 0013 8000")),
                    value(Phone, "_$!<Main>!$_", QStringLiteral("+8613900139000")),
                    value(Url, "_$!<Work>!$_", QStringLiteral("https://zhao.example.cn"))};
    people << ethan;

    SamplePerson greta;
    greta.first = QStringLiteral("Greta");
    greta.last = QStringLiteral("Gone");
    greta.deleted = true;
    greta.values = {value(Phone, "_$!<Home>!$_", QStringLiteral("+49 30 1234567"))};
    people << greta;

    SamplePerson zoe;
    zoe.first = QStringLiteral("Zoë");
    zoe.last = QStringLiteral("Ångström");
    zoe.values = {value(Phone, "_$!<Mobile>!$_", QStringLiteral("+46 70 123 45 67")),
                  value(Email, "_$!<Home>!$_", QStringLiteral("zoe@example.se")),
                  address("_$!<Home>!$_", QStringLiteral("Drottninggatan 5"), QStringLiteral("Stockholm"),
                          QStringLiteral("111 51"), QStringLiteral("Sweden"), QStringLiteral("se"))};
    zoe.fullSizeOnly = true;
    people << zoe;

    SamplePerson annaUpper;
    annaUpper.first = QStringLiteral("Anna");
    annaUpper.last = QStringLiteral("Berg");
    annaUpper.values = {value(Phone, "_$!<Mobile>!$_", QStringLiteral("(1) 2-3 4"))};
    people << annaUpper;

    SamplePerson annaLower;
    annaLower.first = QStringLiteral("anna");
    annaLower.last = QStringLiteral("Cole");
    annaLower.values = {value(Email, "", QStringLiteral("anna.cole@example.org"))};
    people << annaLower;

    SamplePerson acme;
    acme.kind = 1;
    acme.organization = QStringLiteral("Acme Corporation");
    acme.values = {value(Phone, "_$!<Main>!$_", QStringLiteral("800-555-0199")),
                   value(Url, "_$!<HomePage>!$_", QStringLiteral("https://acme.example.com"))};
    people << acme;

    SamplePerson nameless;
    nameless.values = {value(Phone, "_$!<Other>!$_", QStringLiteral("+1 555 0142")),
                       value(Email, "_$!<Other>!$_", QStringLiteral("unknown@example.net"))};
    people << nameless;



    for (int i = 1; i < scale; ++i) {
        for (int j = 0; j < 20; ++j) {
            const int n = (i - 1) * 20 + j + 1;
            SamplePerson p;
            p.first = QStringLiteral("Person");
            p.last = QStringLiteral("%1").arg(n, 4, 10, QLatin1Char('0'));
            p.values = {value(Phone, "_$!<Mobile>!$_", QStringLiteral("+1 (555) %1").arg(1000000 + n)),
                        value(Email, "_$!<Home>!$_", QStringLiteral("person%1@example.com").arg(n))};
            p.deleted = (n % 7) == 0;
            people << p;
        }
    }
    return people;
}

int nearestSchemaVersion(int major, const QString& database)
{
    int best = -1;
    for (int v : ibr::iosSchemaVersions(database))
        if (best < 0 || std::abs(v - major) < std::abs(best - major))
            best = v;
    return best;
}

bool createAddressBookTables(sqlite3* db, int iosMajor, const QString& database)
{
    const int version = nearestSchemaVersion(iosMajor, database);
    if (version < 0)
        return false;
    sqlite3_create_function_v2(db, "ab_generate_guid", 0, SQLITE_UTF8, nullptr, &generateGuid, nullptr, nullptr,
                               nullptr);
    sqlite3_create_function_v2(db, "ab_update_value_from_trigger", 3, SQLITE_UTF8, nullptr, &updateValueFromTrigger,
                               nullptr, nullptr, nullptr);
    if (database.startsWith(QLatin1String("AddressBookImages")))
        exec(db, QStringLiteral("PRAGMA page_size = 8192"));
    // A scratch file: durability buys nothing and costs a sync per statement.
    exec(db, QStringLiteral("PRAGMA synchronous = OFF"));
    // Builds of SQLite that zero deleted cells would leave nothing for recovery to find.
    exec(db, QStringLiteral("PRAGMA secure_delete = OFF"));
    if (!exec(db, QStringLiteral("BEGIN")))
        return false;
    for (const QString& statement : ibr::iosSchemaStatements(version, database)) {
        // SQLite makes this table itself; its full-text index needs the device's tokenizer (its
        // shadow tables are still created as plain tables).
        if (statement.startsWith(QLatin1String("CREATE TABLE sqlite_sequence"))
            || statement.startsWith(QLatin1String("CREATE VIRTUAL TABLE")))
            continue;
        if (!exec(db, statement)) {
            exec(db, QStringLiteral("ROLLBACK"));
            return false;
        }
    }
    return exec(db, QStringLiteral("COMMIT"));
}

bool insertPeople(sqlite3* db, const QList<SamplePerson>& people, bool withDeleted)
{
    if (!exec(db, QStringLiteral("BEGIN")))
        return false;
    Insert person(db, "insert into ABPerson (ROWID, First, Last, Middle, Organization, Kind, Birthday, JobTitle, "
                      "Nickname, Prefix, Suffix, Note, FirstSort, LastSort, CreationDate, ModificationDate, StoreID, "
                      "DisplayName) values (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, 0, ?)");
    Insert multi(db, "insert into ABMultiValue (UID, record_id, property, identifier, label, value) "
                     "values (?, ?, ?, ?, ?, ?)");
    Insert entry(db, "insert into ABMultiValueEntry (parent_id, key, value) values (?, ?, ?)");
    if (!person.ok() || !multi.ok() || !entry.ok())
        return false;
    QHash<QString, qint64> labels, keys;
    QList<qint64> toDelete;
    qint64 uid = 0;
    qint64 rowid = 0;
    const qint64 created = 480000000; // 2016-03-18
    for (const SamplePerson& p : people) {
        if (p.deleted && !withDeleted)
            continue;
        ++rowid;
        const QString sortKey = (p.last + QLatin1Char(' ') + p.first).trimmed();
        person.bind(1, rowid).bind(2, p.first).bind(3, p.last).bind(4, p.middle).bind(5, p.organization)
            .bind(6, qint64(p.kind)).bind(7, p.birthday).bind(8, p.jobTitle).bind(9, p.nickname).bind(10, p.prefix)
            .bind(11, p.suffix).bind(12, p.note).bind(13, (p.first + QLatin1Char(' ') + p.last).trimmed())
            .bind(14, sortKey).bind(15, created + rowid * 3600).bind(16, created + rowid * 7200)
            .bind(17, p.kind == 1 ? p.organization : QString());
        if (!person.step())
            return false;
        QHash<int, int> identifiers;
        for (const SampleValue& v : p.values) {
            ++uid;
            multi.bind(1, uid).bind(2, rowid).bind(3, qint64(v.property)).bind(4, qint64(identifiers[v.property]++));
            if (!v.label.isEmpty())
                multi.bind(5, uniqueValueId(db, "ABMultiValueLabel", v.label, labels));
            multi.bind(6, v.value);
            if (!multi.step())
                return false;
            for (const auto& part : v.entries) {
                entry.bind(1, uid).bind(2, uniqueValueId(db, "ABMultiValueEntryKey", part.first, keys))
                    .bind(3, part.second, false);
                if (!entry.step())
                    return false;
            }
        }
        if (p.deleted)
            toDelete << rowid;
    }
    for (qint64 id : toDelete) {
        exec(db, QStringLiteral("delete from ABMultiValueEntry where parent_id in "
                                "(select UID from ABMultiValue where record_id = %1)").arg(id));
        exec(db, QStringLiteral("delete from ABMultiValue where record_id = %1").arg(id));
        if (!exec(db, QStringLiteral("delete from ABPerson where ROWID = %1").arg(id)))
            return false;
    }
    return exec(db, QStringLiteral("COMMIT"));
}

QByteArray samplePortrait(int seed)
{
    QImage image(48, 48, QImage::Format_RGB32);
    image.fill(QColor::fromHsv((seed * 67) % 360, 160, 220));
    for (int y = 12; y < 36; ++y)
        for (int x = 12; x < 36; ++x)
            image.setPixel(x, y, qRgb((seed * 40) % 256, 90, 140));
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return png;
}

static bool writeAddressBook(SampleBackupWriter& writer, const DemoOptions& options)
{
    const QList<SamplePerson> people = addressBookPeople(options.scale);
    const QString home = QString::fromLatin1(kHome);
    const QString book = writer.addDatabase(home, QString::fromLatin1(kAddressBookPath), [&](sqlite3* db) {
        return createAddressBookTables(db, options.iosMajor, QStringLiteral("AddressBook.sqlitedb"))
               && insertPeople(db, people, options.withDeletedRows);
    });
    if (book.isEmpty())
        return false;

    const QString images = writer.addDatabase(home, QString::fromLatin1(kImagesPath), [&](sqlite3* db) {
        if (!createAddressBookTables(db, options.iosMajor, QStringLiteral("AddressBookImages.sqlitedb")))
            return false;
        Insert thumb(db, "insert into ABThumbnailImage (record_id, format, derived_from_format, data) "
                         "values (?, ?, 0, ?)");
        Insert full(db, "insert into ABFullSizeImage (record_id, crop_x, crop_y, crop_width, data) "
                        "values (?, 0, 0, 48, ?)");
        qint64 rowid = 0;
        for (const SamplePerson& p : people) {
            if (p.deleted && !options.withDeletedRows)
                continue;
            ++rowid;
            if (p.thumbnail) {
                // Two formats; the reader takes the smallest format number.
                if (!thumb.bind(1, rowid).bind(2, qint64(0)).bind(3, samplePortrait(int(rowid))).step()
                    || !thumb.bind(1, rowid).bind(2, qint64(2)).bind(3, samplePortrait(int(rowid) + 100)).step())
                    return false;
            }
            if (p.fullSizeOnly && !full.bind(1, rowid).bind(2, samplePortrait(int(rowid))).step())
                return false;
        }
        return true;
    });
    return !images.isEmpty();
}

static CategoryRegistrar reg("contacts", &writeAddressBook);

} // namespace sample
