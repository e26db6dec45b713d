#include <gtest/gtest.h>

#include <QCollator>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include "AddressBookSample.h"
#include "SampleBackup.h"
#include "TestSupport.h"

using testsupport::runCli;

// The collected contacts as the command-line program writes them, whatever its locale.
TEST(ExtractCommand, ContactsInRootCollationOrderWithTheirValues)
{
    QTemporaryDir dir;
    const QString backup = dir.filePath(QStringLiteral("backup")), out = dir.filePath(QStringLiteral("out"));
    ASSERT_TRUE(sample::writeDemoBackup(backup));
    const auto before = testsupport::snapshotFolder(backup);
    const testsupport::CliRun r = runCli({QStringLiteral("extract"), backup, QStringLiteral("--out"), out}, {{QStringLiteral("LC_ALL"), QStringLiteral("C")}});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_EQ(testsupport::snapshotFolder(backup), before);
    EXPECT_EQ(QDir(out).entryList(QDir::Files).size(), 12); // every category has its file

    QStringList names, expected;
    QMap<QString, QStringList> values;
    for (const QJsonValue v : QJsonDocument::fromJson(testsupport::readFile(out + QStringLiteral("/contacts.json")))[QStringLiteral("items")].toArray()) {
        if (v[QStringLiteral("deleted")].toBool())
            continue;
        const QJsonValue columns = v[QStringLiteral("values")];
        names << columns[QStringLiteral("Name")].toString();
        for (const char* column : {"Phone Numbers", "E-mail Addresses", "Web Addresses"})
            values[names.last()] << columns[QLatin1String(column)].toString();
    }
    for (const sample::SamplePerson& p : sample::addressBookPeople()) {
        if (p.deleted)
            continue;
        QString name = p.displayName().isEmpty() ? p.organization : p.displayName();
        name = name.isEmpty() ? QStringLiteral("No Name") : name;
        expected << name;
        QStringList byProperty[3];
        for (const sample::SampleValue& v : p.values)
            if (v.property == 3 || v.property == 4 || v.property == 22)
                byProperty[v.property == 3 ? 0 : v.property == 4 ? 1 : 2] << v.value;
        EXPECT_EQ(values.value(name), QStringList({byProperty[0].join(QStringLiteral("; ")), byProperty[1].join(QStringLiteral("; ")),
                                                   byProperty[2].join(QStringLiteral("; "))}))
            << name.toStdString();
    }
    const QCollator root(QLocale(QLocale::English, QLocale::UnitedStates));
    std::stable_sort(expected.begin(), expected.end(), root);
    EXPECT_EQ(names, expected); // case and accents do not sort last
}

TEST(ExtractCommand, SelectedCategoriesAndFormatsAndBadArguments)
{
    QTemporaryDir dir;
    const QString backup = dir.filePath(QStringLiteral("backup")), out = dir.filePath(QStringLiteral("out"));
    ASSERT_TRUE(sample::writeDemoBackup(backup));
    const testsupport::CliRun r = runCli({QStringLiteral("extract"), backup, QStringLiteral("--out"), out, QStringLiteral("--format=csv"),
                                          QStringLiteral("--categories"), QStringLiteral("contacts,calls"), QStringLiteral("--json"),
                                          QStringLiteral("--no-deleted")});
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    EXPECT_EQ(QDir(out).entryList(QDir::Files, QDir::Name), (QStringList{QStringLiteral("calls.csv"), QStringLiteral("contacts.csv")}));
    const QJsonObject summary = QJsonDocument::fromJson(r.out).object();
    EXPECT_TRUE(summary.value(QStringLiteral("completed")).toBool());
    EXPECT_EQ(summary[QStringLiteral("categories")][QStringLiteral("calls")][QStringLiteral("deleted")].toInt(-1), 0);

    const auto before = testsupport::snapshotFolder(backup);
    const QString bad = dir.filePath(QStringLiteral("bad"));
    const QStringList cases[] = {
        {},
        {QStringLiteral("--out"), bad, QStringLiteral("--format"), QStringLiteral("xml")},
        {QStringLiteral("--out"), bad, QStringLiteral("--categories"), QStringLiteral("nope")},
        {QStringLiteral("--out"), bad, QStringLiteral("--bogus")},
        {QStringLiteral("--out"), backup + QStringLiteral("/x")}, // never into the evidence
    };
    for (const QStringList& extra : cases)
        EXPECT_EQ(runCli(QStringList{QStringLiteral("extract"), backup} + extra).exitCode, 2) << extra.join(QLatin1Char(' ')).toStdString();
    EXPECT_EQ(testsupport::snapshotFolder(backup), before);
    EXPECT_EQ(runCli({QStringLiteral("extract"), dir.filePath(QStringLiteral("missing")), QStringLiteral("--out"), out}).exitCode, 4);
}
