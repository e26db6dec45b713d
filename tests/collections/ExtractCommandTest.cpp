#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include "AddressBookSample.h"
#include "CollectionsFixture.h"
#include "SampleBackup.h"
#include "TestSupport.h"

// Runs the built command-line program end to end.
namespace {

QString program()
{
    return QStringLiteral(IBR_BINARY_DIR "/app/ibreader");
}

int run(const QStringList& args, QByteArray* out = nullptr)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::SeparateChannels);
    p.start(program(), args);
    if (!p.waitForFinished(120000))
        return -1;
    if (out)
        *out = p.readAllStandardOutput();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

QJsonObject readJson(const QString& path)
{
    return QJsonDocument::fromJson(testsupport::readFile(path)).object();
}

class ExtractCommandTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!QFileInfo(program()).isExecutable())
            GTEST_SKIP() << "the command-line program is not built";
        backupDir = dir.filePath(QStringLiteral("backup"));
        ASSERT_TRUE(sample::writeDemoBackup(backupDir));
    }
    QTemporaryDir dir;
    QString backupDir;
};

} // namespace

TEST_F(ExtractCommandTest, ContactsJsonHoldsEveryContactInNameOrderAndTheBackupIsUntouched)
{
    const auto before = testsupport::snapshotFolder(backupDir);
    const QString out = dir.filePath(QStringLiteral("out"));
    ASSERT_EQ(run({QStringLiteral("extract"), backupDir, QStringLiteral("--out"), out, QStringLiteral("--format"),
                   QStringLiteral("json,csv")}),
              0);
    EXPECT_EQ(testsupport::snapshotFolder(backupDir), before);
    EXPECT_TRUE(QFile::exists(out + QStringLiteral("/contacts.csv")));
    EXPECT_TRUE(QFile::exists(out + QStringLiteral("/messages.json"))); // every category has its file

    const QJsonObject contacts = readJson(out + QStringLiteral("/contacts.json"));
    EXPECT_EQ(contacts.value(QStringLiteral("category")).toString(), QStringLiteral("contacts"));
    QMap<QString, QJsonObject> byName;
    QStringList order;
    for (const QJsonValue v : contacts.value(QStringLiteral("items")).toArray()) {
        const QJsonObject item = v.toObject();
        if (item.value(QStringLiteral("deleted")).toBool())
            continue;
        const QJsonObject values = item.value(QStringLiteral("values")).toObject();
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
        ASSERT_TRUE(byName.contains(name)) << name.toStdString();
        QStringList phones, mails, urls, others;
        for (const sample::SampleValue& v : p.values)
            (v.property == 3 ? phones : v.property == 4 ? mails : v.property == 22 ? urls : others) << v.value;
        const QJsonObject values = byName.value(name);
        EXPECT_EQ(values.value(QStringLiteral("Phone Numbers")).toString(), phones.join(QStringLiteral("; "))) << name.toStdString();
        EXPECT_EQ(values.value(QStringLiteral("E-mail Addresses")).toString(), mails.join(QStringLiteral("; "))) << name.toStdString();
        EXPECT_EQ(values.value(QStringLiteral("Web Addresses")).toString(), urls.join(QStringLiteral("; "))) << name.toStdString();
    }
    EXPECT_EQ(order.size(), live);
    // Root collation whatever the environment's locale: case and accents do not sort last.
    EXPECT_EQ(order.first(), QStringLiteral("Acme Corporation"));
    EXPECT_LT(order.indexOf(QStringLiteral("Émilie Dubois")), order.indexOf(QStringLiteral("Ethan Zhao")));
    EXPECT_LT(order.indexOf(QStringLiteral("anna Cole")), order.indexOf(QStringLiteral("Dr. John Quincy Appleseed Jr.")));
    EXPECT_EQ(order.last(), QStringLiteral("Zoë Ångström"));
}

TEST_F(ExtractCommandTest, CategoriesAndFormatsSelectTheFiles)
{
    const QString out = dir.filePath(QStringLiteral("sel"));
    QByteArray stdoutText;
    ASSERT_EQ(run({QStringLiteral("extract"), backupDir, QStringLiteral("--out"), out, QStringLiteral("--format=csv"),
                   QStringLiteral("--categories"), QStringLiteral("contacts,calls"), QStringLiteral("--json"),
                   QStringLiteral("--no-deleted")},
                  &stdoutText),
              0);
    QStringList files = QDir(out).entryList(QDir::Files, QDir::Name);
    EXPECT_EQ(files, (QStringList{QStringLiteral("calls.csv"), QStringLiteral("contacts.csv")}));
    const QJsonObject summary = QJsonDocument::fromJson(stdoutText).object();
    EXPECT_TRUE(summary.value(QStringLiteral("completed")).toBool());
    EXPECT_EQ(summary.value(QStringLiteral("categories")).toObject().value(QStringLiteral("contacts")).toObject()
                  .value(QStringLiteral("deleted")).toInt(),
              0);
    const QList<QByteArray> lines = testsupport::readFile(out + QStringLiteral("/contacts.csv")).split('\n');
    EXPECT_TRUE(lines.first().startsWith("Name,Organization,Phone Numbers,E-mail Addresses,Web Addresses,Deleted,File"));
}

TEST_F(ExtractCommandTest, BadArgumentsAreUsageErrors)
{
    const QString out = dir.filePath(QStringLiteral("bad"));
    EXPECT_EQ(run({QStringLiteral("extract"), backupDir}), 2);
    EXPECT_EQ(run({QStringLiteral("extract"), backupDir, QStringLiteral("--out"), out, QStringLiteral("--format"), QStringLiteral("xml")}), 2);
    EXPECT_EQ(run({QStringLiteral("extract"), backupDir, QStringLiteral("--out"), out, QStringLiteral("--categories"), QStringLiteral("nope")}), 2);
    EXPECT_EQ(run({QStringLiteral("extract"), backupDir, QStringLiteral("--out"), out, QStringLiteral("--bogus")}), 2);
    // Never write into the evidence.
    const auto before = testsupport::snapshotFolder(backupDir);
    EXPECT_EQ(run({QStringLiteral("extract"), backupDir, QStringLiteral("--out"), backupDir + QStringLiteral("/x")}), 2);
    EXPECT_EQ(testsupport::snapshotFolder(backupDir), before);
    EXPECT_EQ(run({QStringLiteral("extract"), dir.filePath(QStringLiteral("missing")), QStringLiteral("--out"), out}), 4);
}
