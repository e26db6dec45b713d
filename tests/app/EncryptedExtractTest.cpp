// Encrypted backups through the command: the same output as the unencrypted twin, the password
// from each source, clear refusals, and no decrypted file left in the temporary folder.
#include <gtest/gtest.h>

#include <plist/plist.h>

#include <QDir>
#include <QDirIterator>
#include <QTemporaryDir>

#include <functional>

#include "AppSample.h"

using appsample::extract;
using testsupport::runCli;

namespace {

// Every output file by relative path, the backup's folder name taken out of the texts.
QMap<QString, QByteArray> outputs(const QString& out, const QString& backup)
{
    QMap<QString, QByteArray> files;
    for (QDirIterator it(out, QDir::Files, QDirIterator::Subdirectories); it.hasNext();) {
        const QString path = it.next();
        files.insert(QDir(out).relativeFilePath(path), testsupport::readFile(path).replace(backup.toUtf8(), "BACKUP"));
    }
    return files;
}

// An iOS 17 sample sealed with the password "right".
QString sealedDemo(const QTemporaryDir& dir)
{
    sample::DemoOptions options;
    options.iosMajor = 17;
    options.password = "right";
    const QString sealed = dir.filePath(QStringLiteral("sealed"));
    return sample::writeDemoBackup(sealed, options) ? sealed : QString();
}

// Rewrites the backup's Manifest.plist after `edit` changed its root.
bool editManifest(const QString& backup, const std::function<void(plist_t)>& edit)
{
    const QString manifest = QDir(backup).filePath(QStringLiteral("Manifest.plist"));
    const QByteArray bytes = testsupport::readFile(manifest);
    plist_t root = nullptr;
    plist_from_bin(bytes.constData(), uint32_t(bytes.size()), &root);
    if (!root)
        return false;
    edit(root);
    char* bin = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &bin, &length);
    plist_free(root);
    const bool written = testsupport::writeFile(manifest, QByteArray(bin, int(length)));
    free(bin);
    return written;
}

} // namespace

TEST(EncryptedExtract, BothIndexGenerationsGiveWhatTheirUnencryptedTwinGives)
{
    for (int ios : {8, 17}) {
        QTemporaryDir dir;
        const QString tmp = dir.filePath(QStringLiteral("tmp"));
        ASSERT_TRUE(QDir().mkpath(tmp));
        sample::DemoOptions options;
        options.iosMajor = ios;
        const QString plain = dir.filePath(QStringLiteral("plain")), sealed = dir.filePath(QStringLiteral("sealed"));
        ASSERT_TRUE(sample::writeDemoBackup(plain, options));
        options.password = "pässword";
        ASSERT_TRUE(sample::writeDemoBackup(sealed, options));
        ASSERT_TRUE(testsupport::writeFile(dir.filePath(QStringLiteral("pw")), "pässword\n"));
        const QStringList args = {QStringLiteral("--format"), QStringLiteral("json,csv"), QStringLiteral("--export-files")};
        const QStringList password = {QStringLiteral("--password-file"), dir.filePath(QStringLiteral("pw"))};

        const auto a = extract(plain, dir.filePath(QStringLiteral("a")), args, {{QStringLiteral("TMPDIR"), tmp}});
        const auto b = extract(sealed, dir.filePath(QStringLiteral("b")), args + password, {{QStringLiteral("TMPDIR"), tmp}});
        ASSERT_EQ(a.exitCode, 0) << a.err.constData();
        ASSERT_EQ(b.exitCode, 0) << b.err.constData();
        const auto wanted = outputs(dir.filePath(QStringLiteral("a")), plain);
        const auto got = outputs(dir.filePath(QStringLiteral("b")), sealed);
        EXPECT_GT(wanted.size(), 20) << ios;
        EXPECT_EQ(got.keys(), wanted.keys()) << ios;
        for (auto it = wanted.constBegin(); it != wanted.constEnd(); ++it)
            EXPECT_TRUE(got.value(it.key()) == it.value()) << ios << " " << it.key().toStdString();
        EXPECT_EQ(QDir(tmp).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList()) << ios;

        // A report without exported copies links none of the encrypted data files, and says why.
        const auto html = extract(sealed, dir.filePath(QStringLiteral("c")),
                                  password + QStringList{QStringLiteral("--format"), QStringLiteral("html"), QStringLiteral("--categories"),
                                                         QStringLiteral("camera_roll")});
        ASSERT_EQ(html.exitCode, 0) << html.err.constData();
        const QByteArray page = testsupport::readFile(dir.filePath(QStringLiteral("c/report/camera_roll.html")));
        EXPECT_FALSE(page.contains("\"href\"")) << ios;
        EXPECT_TRUE(page.contains("--export-files writes readable copies")) << ios;

        // The environment gives it too; the index of iOS 10 on is listed only with it.
        const auto files = runCli({QStringLiteral("files"), sealed}, {{QStringLiteral("IBREADER_PASSWORD"), QStringLiteral("pässword")}});
        EXPECT_EQ(files.exitCode, 0) << files.err.constData();
        EXPECT_TRUE(files.out.contains("Library/SMS/sms.db")) << ios;
    }
}

TEST(EncryptedExtract, AWrongOrMissingPasswordEndsWithItsOwnCode)
{
    QTemporaryDir dir;
    const QString sealed = sealedDemo(dir);
    ASSERT_FALSE(sealed.isEmpty());
    const QString out = dir.filePath(QStringLiteral("out"));
    const auto wrong = extract(sealed, out, {}, {{QStringLiteral("IBREADER_PASSWORD"), QStringLiteral("wrong")}});
    EXPECT_EQ(wrong.exitCode, 6);
    EXPECT_TRUE(wrong.err.contains("wrong password")) << wrong.err.constData();
    const auto missing = extract(sealed, out);
    EXPECT_EQ(missing.exitCode, 6);
    EXPECT_TRUE(missing.err.contains("--password-file")) << missing.err.constData();
    EXPECT_FALSE(QDir(out).exists());
    // Described without a password; how many files its index lists is not known without one.
    const auto info = runCli({QStringLiteral("info"), sealed, QStringLiteral("--json")});
    EXPECT_EQ(info.exitCode, 0) << info.err.constData();
    EXPECT_TRUE(info.out.contains("\"encrypted\": true")) << info.out.constData();
    EXPECT_TRUE(info.out.contains("\"files\": null")) << info.out.constData();
    const auto text = runCli({QStringLiteral("info"), sealed});
    EXPECT_EQ(text.exitCode, 0) << text.err.constData();
    EXPECT_TRUE(text.out.contains("Files:           unknown (encrypted)\n")) << text.out.constData();
    const auto list = runCli({QStringLiteral("list"), QStringLiteral("--root"), dir.path(), QStringLiteral("--json")});
    EXPECT_EQ(list.exitCode, 0) << list.err.constData();
    EXPECT_TRUE(list.out.contains("\"files\": null")) << list.out.constData();

    // Without the index's key in Manifest.plist nothing can be read: said so, not extracted as empty.
    ASSERT_TRUE(editManifest(sealed, [](plist_t root) { plist_dict_remove_item(root, "ManifestKey"); }));
    const auto keyless = extract(sealed, out, {}, {{QStringLiteral("IBREADER_PASSWORD"), QStringLiteral("right")}});
    EXPECT_EQ(keyless.exitCode, 5);
    EXPECT_TRUE(keyless.err.contains("keeps no ManifestKey")) << keyless.err.constData();
}

// A class key of the keybag damaged: the password that opens the others is still right, and
// what only that class's key opens is named as skipped, the rest extracted.
TEST(EncryptedExtract, ADamagedClassKeyIsNotAWrongPassword)
{
    QTemporaryDir dir;
    const QString sealed = sealedDemo(dir);
    ASSERT_FALSE(sealed.isEmpty());
    const QString manifest = QDir(sealed).filePath(QStringLiteral("Manifest.plist"));
    ASSERT_TRUE(editManifest(sealed, [](plist_t root) {
        char* bag = nullptr;
        uint64_t length = 0;
        plist_get_data_val(plist_dict_get_item(root, "BackupKeyBag"), &bag, &length);
        QByteArray keybag(bag, qsizetype(length));
        free(bag);
        const qsizetype wrapped = keybag.indexOf("WPKY"); // the first class key's
        if (wrapped > 0)
            keybag[wrapped + 8] = char(keybag[wrapped + 8] ^ 1);
        plist_dict_set_item(root, "BackupKeyBag", plist_new_data(keybag.constData(), uint64_t(keybag.size())));
    }));
    const auto r = extract(sealed, dir.filePath(QStringLiteral("out")), {}, {{QStringLiteral("IBREADER_PASSWORD"), QStringLiteral("right")}});
    EXPECT_EQ(r.exitCode, 3) << r.err.constData();
    EXPECT_TRUE(r.err.contains("skipped: " + manifest.toUtf8() + ": the keybag's key of protection class 1 does not unwrap"))
        << r.err.constData();
    EXPECT_GT(appsample::json(dir.filePath(QStringLiteral("out/messages.json")))[QStringLiteral("count")].toInt(), 0);
}
