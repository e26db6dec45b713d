#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "utility/SafeIo.h"
#include "TestSupport.h"

namespace {

std::string path(const QTemporaryDir& dir, const char* name)
{
    return QFile::encodeName(dir.filePath(QLatin1String(name))).toStdString();
}

QStringList entries(const QTemporaryDir& dir)
{
    return QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

} // namespace

TEST(OutputFile, NeverWritesThroughOrReplacesWhatIsNotARegularFile)
{
    QTemporaryDir dir;
    const std::string victim = path(dir, "victim");
    ASSERT_TRUE(testsupport::writeFile(dir.filePath(QStringLiteral("victim")), "evidence"));
    ASSERT_EQ(::symlink(victim.c_str(), path(dir, "link").c_str()), 0);
    ASSERT_EQ(::symlink(path(dir, "elsewhere").c_str(), path(dir, "dangling").c_str()), 0);
    ASSERT_EQ(::mkfifo(path(dir, "fifo").c_str(), 0600), 0);
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("folder")));

    struct Case {
        const char* name;
        ibrio::OutputFile::Mode mode;
        const char* expected;
    } cases[] = {
        {"link", ibrio::OutputFile::Replace, "is a symbolic link, not replaced"},
        {"dangling", ibrio::OutputFile::Replace, "is a symbolic link, not replaced"},
        {"fifo", ibrio::OutputFile::Replace, "is a FIFO, not replaced"},
        {"folder", ibrio::OutputFile::Replace, "is a folder, not replaced"},
        {"victim", ibrio::OutputFile::NoReplace, "already exists, not replaced"},
        {"link", ibrio::OutputFile::NoReplace, "already exists, not replaced"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(ibrio::writeFile(path(dir, c.name), "x", 1, c.mode, &error)) << c.name;
        EXPECT_NE(error.find(c.expected), std::string::npos) << c.name << ": " << error;
    }
    EXPECT_EQ(testsupport::readFile(dir.filePath(QStringLiteral("victim"))), QByteArray("evidence"));
    EXPECT_FALSE(QFile::exists(dir.filePath(QStringLiteral("elsewhere"))));
    // No temporary file is left behind by the refusals.
    EXPECT_EQ(entries(dir).size(), 5) << entries(dir).join(QLatin1Char(' ')).toStdString();

    std::string error;
    ASSERT_TRUE(ibrio::writeFile(path(dir, "victim"), "new", 3, ibrio::OutputFile::Replace, &error)) << error;
    EXPECT_EQ(testsupport::readFile(dir.filePath(QStringLiteral("victim"))), QByteArray("new"));
    ASSERT_TRUE(ibrio::copyFile(path(dir, "victim"), path(dir, "copy"), &error)) << error;
    EXPECT_EQ(testsupport::readFile(dir.filePath(QStringLiteral("copy"))), QByteArray("new"));
    EXPECT_FALSE(ibrio::copyFile(path(dir, "fifo"), path(dir, "copy2"), &error));
}

TEST(OutputFile, AFullDiskIsAnErrorAndLeavesNoPartialFile)
{
    QTemporaryDir dir;
    testsupport::SmallDisk disk(dir.filePath(QStringLiteral("disk")), 16 * 1024);
    if (!disk.mounted())
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    const std::string target = path(dir, "disk/out.json");
    const std::string big(64 * 1024, 'x');
    std::string error;
    EXPECT_FALSE(ibrio::writeFile(target, big.data(), big.size(), ibrio::OutputFile::Replace, &error));
    EXPECT_NE(error.find("No space left on device"), std::string::npos) << error;
    EXPECT_TRUE(QDir(dir.filePath(QStringLiteral("disk"))).isEmpty());
    // A file that fits is still written whole.
    EXPECT_TRUE(ibrio::writeFile(target, "{}", 2, ibrio::OutputFile::Replace, &error)) << error;
}

TEST(RegularFileReader, RefusesWhatIsNotARegularFileWithoutBlocking)
{
    QTemporaryDir dir;
    ASSERT_EQ(::mkfifo(path(dir, "fifo").c_str(), 0600), 0);
    ASSERT_EQ(::symlink("/dev/zero", path(dir, "zero").c_str()), 0);
    ASSERT_TRUE(testsupport::writeFile(dir.filePath(QStringLiteral("plain")), "12345"));
    ASSERT_EQ(::symlink(path(dir, "plain").c_str(), path(dir, "link").c_str()), 0);

    struct Case {
        const char* name;
        uint64_t max;
        bool ok;
    } cases[] = {{"fifo", 100, false}, {"zero", 100, false}, {"plain", 100, true},
                 {"link", 100, true},  {"plain", 4, false},  {"missing", 100, false}};
    for (const Case& c : cases) {
        std::string bytes, error;
        EXPECT_EQ(ibrio::readRegularFile(path(dir, c.name), c.max, &bytes, &error), c.ok) << c.name << " " << error;
        EXPECT_EQ(bytes, c.ok ? "12345" : "") << c.name;
    }
    std::string error;
    EXPECT_LT(ibrio::openAppendFile(path(dir, "fifo"), &error), 0);
    EXPECT_NE(error.find("FIFO"), std::string::npos) << error;
}

TEST(GuardedMapping, AFileThatShrinksReadsAsZerosInsteadOfKillingTheProcess)
{
    QTemporaryDir dir;
    const std::string file = path(dir, "db");
    const long page = ::sysconf(_SC_PAGESIZE);
    ASSERT_TRUE(testsupport::writeFile(dir.filePath(QStringLiteral("db")), QByteArray(int(page * 4), 'a')));
    const int fd = ::open(file.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    {
        ibrio::GuardedMapping map;
        ASSERT_TRUE(map.map(fd, size_t(page * 4)));
        EXPECT_EQ(map.data()[page * 3], 'a');
        ASSERT_EQ(::truncate(file.c_str(), page), 0);
        EXPECT_EQ(map.data()[0], 'a');
        EXPECT_EQ(map.data()[page * 3 + 5], 0);
        EXPECT_TRUE(map.shrunk());
    }
    ::close(fd);
}

TEST(Containment, PathsAreComparedWithTheirLinksResolved)
{
    QTemporaryDir dir;
    ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("backup/sub")));
    ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("backup2")));
    ASSERT_EQ(::symlink(path(dir, "backup").c_str(), path(dir, "alias").c_str()), 0);
    // Links to files not made yet: writing through them would create the file in the backup.
    ASSERT_EQ(::symlink(path(dir, "backup/new.log").c_str(), path(dir, "dangling").c_str()), 0);
    ASSERT_EQ(::symlink("../backup/sub/new.log", path(dir, "backup2/relative").c_str()), 0);
    ASSERT_EQ(::symlink("dangling", path(dir, "chained").c_str()), 0);
    ASSERT_EQ(::symlink("loop", path(dir, "loop").c_str()), 0);
    struct Case {
        const char* path;
        const char* folder;
        bool inside;
    } cases[] = {
        {"backup", "backup", true},
        {"backup/sub/new/file.log", "backup", true}, // not created yet
        {"alias/x.log", "backup", true},
        {"backup/../alias/sub", "backup", true},
        {"backup2/x", "backup", false}, // a shared prefix is no containment
        {"backup", "backup/sub", false},
        {"dangling", "backup", true},
        {"backup2/relative", "backup", true},
        {"chained", "backup", true},
        {"loop", "backup", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ibrio::isSameOrInside(path(dir, c.path), path(dir, c.folder)), c.inside) << c.path << " in " << c.folder;
}
