#include <gtest/gtest.h>

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include "AddressBookSample.h"
#include "SampleBackup.h"
#include "TestSupport.h"

// The collected contacts as the command-line program writes them.
namespace {

QStringList args(std::initializer_list<const char*> list)
{
    QStringList out;
    for (const char* a : list)
        out << QString::fromUtf8(a);
    return out;
}

class ExtractCommandTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        backupDir = dir.filePath(QStringLiteral("backup"));
        out = dir.filePath(QStringLiteral("out"));
        ASSERT_TRUE(sample::writeDemoBackup(backupDir));
    }
    QTemporaryDir dir;
    QString backupDir, out;
};

} // namespace

TEST_F(ExtractCommandTest, ContactsJsonHoldsEveryContactInNameOrderAndTheBackupIsUntouched)
{
    const auto before = testsupport::snapshotFolder(backupDir);
    const testsupport::CliRun r = testsupport::runCli(QStringList{QStringLiteral("extract"), backupDir, QStringLiteral("--out"), out});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_EQ(testsupport::snapshotFolder(backupDir), before);
    EXPECT_EQ(QDir(out).entryList(QDir::Files).size(), 12); // every category has its file

    const QJsonObject contacts = QJsonDocument::fromJson(testsupport::readFile(out + QStringLiteral("/contacts.json"))).object();
    QMap<QString, QJsonObject> byName;
    QStringList order;
    for (const QJsonValue v : contacts.value(QStringLiteral("items")).toArray()) {
        if (v[QStringLiteral("deleted")].toBool())
            continue;
        const QJsonObject values = v[QStringLiteral("values")].toObject();
        order << values.value(QStringLiteral("Name")).toString();
        byName.insert(order.last(), values);
    }
    int live = 0;
    for (const sample::SamplePerson& p : sample::addressBookPeople()) {
        if (p.deleted)
            continue;
        ++live;
        QString name = p.displayName();
        if (name.isEmpty())
            name = p.organization.isEmpty() ? QStringLiteral("No Name") : p.organization;
        QStringList phones, mails, urls, others;
        for (const sample::SampleValue& v : p.values)
            (v.property == 3 ? phones : v.property == 4 ? mails : v.property == 22 ? urls : others) << v.value;
        const QJsonObject values = byName.value(name);
        EXPECT_EQ(QStringList({values.value(QStringLiteral("Phone Numbers")).toString(),
                               values.value(QStringLiteral("E-mail Addresses")).toString(),
                               values.value(QStringLiteral("Web Addresses")).toString()}),
                  QStringList({phones.join(QStringLiteral("; ")), mails.join(QStringLiteral("; ")), urls.join(QStringLiteral("; "))}))
            << name.toStdString();
    }
    EXPECT_EQ(order.size(), live);
    // Root collation whatever the environment's locale: case and accents do not sort last.
    EXPECT_EQ(order.first(), QStringLiteral("Acme Corporation"));
    EXPECT_LT(order.indexOf(QStringLiteral("Émilie Dubois")), order.indexOf(QStringLiteral("Ethan Zhao")));
    EXPECT_LT(order.indexOf(QStringLiteral("anna Cole")), order.indexOf(QStringLiteral("Dr. John Quincy Appleseed Jr.")));
    EXPECT_EQ(order.last(), QStringLiteral("Zoë Ångström"));
}

TEST_F(ExtractCommandTest, CategoriesFormatsAndArguments)
{
    const testsupport::CliRun r = testsupport::runCli(QStringList{QStringLiteral("extract"), backupDir, QStringLiteral("--out"), out}
                                                      + args({"--format=csv", "--categories", "contacts,calls", "--json",
                                                              "--no-deleted"}));
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_EQ(QDir(out).entryList(QDir::Files, QDir::Name), (QStringList{QStringLiteral("calls.csv"), QStringLiteral("contacts.csv")}));
    const QJsonObject summary = QJsonDocument::fromJson(r.out).object();
    EXPECT_TRUE(summary.value(QStringLiteral("completed")).toBool());
    EXPECT_EQ(summary[QStringLiteral("categories")][QStringLiteral("calls")][QStringLiteral("deleted")].toInt(-1), 0);

    const auto before = testsupport::snapshotFolder(backupDir);
    const struct {
        QStringList extra;
        int exitCode;
    } cases[] = {
        {{}, 2},
        {args({"--out", "OUT", "--format", "xml"}), 2},
        {args({"--out", "OUT", "--categories", "nope"}), 2},
        {args({"--out", "OUT", "--bogus"}), 2},
        {args({"--out", "BACKUP/x"}), 2}, // never into the evidence
    };
    for (const auto& c : cases) {
        QStringList extra = c.extra;
        extra.replaceInStrings(QStringLiteral("OUT"), dir.filePath(QStringLiteral("bad"))).replaceInStrings(QStringLiteral("BACKUP"), backupDir);
        EXPECT_EQ(testsupport::runCli(QStringList{QStringLiteral("extract"), backupDir} + extra).exitCode, c.exitCode) << c.extra.join(QLatin1Char(' ')).toStdString();
    }
    EXPECT_EQ(testsupport::snapshotFolder(backupDir), before);
    EXPECT_EQ(testsupport::runCli({QStringLiteral("extract"), dir.filePath(QStringLiteral("missing")), QStringLiteral("--out"), out}).exitCode, 1);
}
