// Media carver on a generated raw image: speed against one plain read of the image, peak memory,
// recall and precision; then foremost and scalpel on the same image when they are installed.
//
//   bench_mediacarve                      2 GB image (IBR_BENCH_IMAGE_MB, default 2048), built once
//                                         into the cache folder (IBR_BENCH_CACHE, default <build>/bench-cache)
//   IBR_BENCH_OTHERS=0 bench_mediacarve   without foremost and scalpel
//   bench_mediacarve --carve-only IMG DIR what the child that measures peak memory runs
//
// Carved files go to a folder on tmpfs when there is one: every file is flushed to disk when it is
// written, and on a disk that costs milliseconds a file, which would measure the disk.
// Recall: intact planted files carved byte-identical. Precision: carved files that are a planted
// file or the start of one that was cut, over all carved files. Both by hashing what each tool
// wrote, so all tools are scored alike.

#include "mediacarve/MediaCarver.h"
#include "mediaimage.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QString cacheDir()
{
    if (const char* dir = std::getenv("IBR_BENCH_CACHE"))
        return QString::fromLocal8Bit(dir);
#ifdef IBR_BINARY_DIR
    return QStringLiteral(IBR_BINARY_DIR "/bench-cache");
#else
    return QDir::tempPath() + QStringLiteral("/ibreader-bench-cache");
#endif
}

bool saveTruth(const QString& path, const QList<sample::PlantedMedia>& truth)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QTextStream out(&f);
    for (const sample::PlantedMedia& t : truth)
        out << int(t.kind) << ' ' << (t.extension.isEmpty() ? QStringLiteral("-") : t.extension) << ' ' << t.offset << ' '
            << t.size << ' ' << t.bytes_sha1.toHex() << '\n';
    return true;
}

bool loadTruth(const QString& path, QList<sample::PlantedMedia>* truth)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return false;
    QTextStream in(&f);
    while (!in.atEnd()) {
        const QStringList p = in.readLine().split(QLatin1Char(' '));
        if (p.size() != 5)
            continue;
        sample::PlantedMedia t;
        t.kind = sample::PlantedMedia::Kind(p[0].toInt());
        t.extension = p[1] == QLatin1String("-") ? QString() : p[1];
        t.offset = p[2].toLongLong();
        t.size = p[3].toLongLong();
        t.bytes_sha1 = QByteArray::fromHex(p[4].toLatin1());
        truth->append(t);
    }
    return !truth->isEmpty();
}

double seconds(const QElapsedTimer& t) { return double(t.nsecsElapsed()) / 1e9; }

// One plain sequential read of the image, as `cat IMG > /dev/null` does it.
double plainRead(const QString& image)
{
    const int fd = ::open(QFile::encodeName(image).constData(), O_RDONLY);
    if (fd < 0)
        return -1;
    std::vector<char> buffer(8 << 20);
    QElapsedTimer t;
    t.start();
    while (::read(fd, buffer.data(), buffer.size()) > 0) {
    }
    const double s = seconds(t);
    ::close(fd);
    return s;
}

int carveOnly(const char* image, const char* dir)
{
    QList<mediacarve::CarvedFile> found;
    QString why;
    const bool ok = mediacarve::carveImage(QString::fromLocal8Bit(image), mediacarve::supportedExtensions(),
                                           QString::fromLocal8Bit(dir), &found, {}, &why);
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    std::printf("%ld %d\n", ru.ru_maxrss, int(found.size()));
    if (!ok)
        std::fprintf(stderr, "%s\n", qPrintable(why));
    return ok ? 0 : 1;
}

struct Score {
    int carved = 0, correct = 0, recalled = 0, intact = 0;
    QStringList wrong; // a few files that are neither, for a look
};

// Scores every file under `folder` (but the tools' own reports) against the truth.
Score score(const QString& folder, const QString& image, const QList<sample::PlantedMedia>& truth)
{
    Score s;
    QHash<QByteArray, int> intactLeft; // SHA-1 -> planted copies not found yet
    QHash<QByteArray, bool> intactHashes;
    std::multimap<QByteArray, const sample::PlantedMedia*> cutByStart; // first 16 bytes -> cut files
    QFile img(image);
    img.open(QIODevice::ReadOnly);
    for (const sample::PlantedMedia& t : truth) {
        if (t.kind == sample::PlantedMedia::Intact) {
            ++intactLeft[t.bytes_sha1];
            intactHashes[t.bytes_sha1] = true;
            ++s.intact;
        } else if (t.kind != sample::PlantedMedia::Decoy && t.size >= 16) {
            img.seek(t.offset);
            cutByStart.emplace(img.read(16), &t);
        }
    }
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (QFileInfo(path).fileName() == QLatin1String("audit.txt"))
            continue;
        ++s.carved;
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly))
            continue;
        const QByteArray bytes = f.readAll();
        const QByteArray hash = QCryptographicHash::hash(bytes, QCryptographicHash::Sha1);
        if (intactHashes.contains(hash)) {
            ++s.correct;
            int& left = intactLeft[hash];
            if (left > 0) {
                --left;
                ++s.recalled;
            }
            continue;
        }
        // The start of a file that was cut: its bytes are the image's at the planted offset.
        bool prefix = false;
        const auto range = cutByStart.equal_range(bytes.left(16));
        for (auto c = range.first; c != range.second && !prefix && bytes.size() >= 16; ++c) {
            if (bytes.size() > c->second->size)
                continue;
            img.seek(c->second->offset);
            prefix = img.read(bytes.size()) == bytes;
        }
        s.correct += prefix;
        if (!prefix && s.wrong.size() < 5)
            s.wrong << QFileInfo(path).fileName() + QStringLiteral(" (%1 bytes)").arg(bytes.size());
    }
    return s;
}

struct Row {
    QString tool;
    double secs = -1;
    double rssMb = -1;
    Score score;
};

// Runs a tool under this program (--measure), which reports the tool's own peak memory.
bool timed(const QString& program, const QStringList& args, double* secs, double* rssMb)
{
    QElapsedTimer t;
    t.start();
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget(), QStringList{QStringLiteral("--measure"), program} + args);
    if (!p.waitForStarted() || !p.waitForFinished(-1))
        return false;
    *secs = seconds(t);
    for (const QByteArray& line : p.readAllStandardOutput().split('\n'))
        if (line.startsWith("@@rss "))
            *rssMb = line.mid(6).toDouble() / 1024.0;
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

int measure(char** argv)
{
    const pid_t child = fork();
    if (child == 0) {
        execvp(argv[0], argv);
        _exit(127);
    }
    int status = 0;
    waitpid(child, &status, 0);
    rusage ru{};
    getrusage(RUSAGE_CHILDREN, &ru);
    std::printf("\n@@rss %ld\n", ru.ru_maxrss);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

QString scalpelConfig(const QString& dir)
{
    const QString path = dir + QStringLiteral("/scalpel.conf");
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    // Sizes are capped near the largest planted file of each kind: scalpel writes the cap for
    // every header it finds without a footer, and with generous caps it fills the disk.
    f.write("jpg  y 1000000 \\xff\\xd8\\xff \\xff\\xd9\n"
            "png  y 1000000 \\x89\\x50\\x4e\\x47\\x0d\\x0a\\x1a\\x0a \\x49\\x45\\x4e\\x44\\xae\\x42\\x60\\x82\n"
            "gif  y 20000 \\x47\\x49\\x46\\x38\\x37\\x61 \\x00\\x3b\n"
            "gif  y 20000 \\x47\\x49\\x46\\x38\\x39\\x61 \\x00\\x3b\n"
            "bmp  y 100000 BM??\\x00\\x00\\x00\n"
            "tif  y 10000 \\x49\\x49\\x2a\\x00\n"
            "tif  y 10000 \\x4D\\x4D\\x00\\x2A\n"
            "avi  y 60000 RIFF????AVI\n"
            "mp4  y 80000 ????ftyp\n"
            "wmv  y 10000 \\x30\\x26\\xB2\\x75\\x8E\\x66\\xCF\\x11\\xA6\\xD9\\x00\\xAA\\x00\\x62\\xCE\\x6C\n"
            "mpg  y 30000 \\x00\\x00\\x01\\xba \\x00\\x00\\x01\\xb9\n"
            "amr  y 5000 #!AMR\\x0a\n"
            "ico  y 10000 \\x00\\x00\\x01\\x00\n");
    return path;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::string(argv[1]) == "--carve-only")
        return carveOnly(argv[2], argv[3]);
    if (argc >= 3 && std::string(argv[1]) == "--measure")
        return measure(argv + 2);

    const qint64 mb = std::getenv("IBR_BENCH_IMAGE_MB") ? std::atoll(std::getenv("IBR_BENCH_IMAGE_MB")) : 2048;
    QDir().mkpath(cacheDir());
    const QString image = cacheDir() + QStringLiteral("/media-%1MB.img").arg(mb);
    const QString truthFile = image + QStringLiteral(".truth");
    QList<sample::PlantedMedia> truth;
    if (!QFileInfo::exists(image) || !loadTruth(truthFile, &truth)) {
        std::fprintf(stderr, "building %s ...\n", qPrintable(image));
        QString why;
        truth.clear();
        if (!sample::writeMediaImage(image, mb << 20, 1, &truth, &why) || !saveTruth(truthFile, truth)) {
            std::fprintf(stderr, "cannot build the image: %s\n", qPrintable(why));
            return 1;
        }
    }
    const qint64 bytes = QFileInfo(image).size();

    QTemporaryDir work(QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm/bench-mediacarve-XXXXXX")
                                                                 : QDir::tempPath() + QStringLiteral("/bench-mediacarve-XXXXXX"));
    plainRead(image); // brings the image into the page cache, as it is for every tool below
    Row read;
    read.tool = QStringLiteral("plain read");
    read.secs = plainRead(image);

    std::vector<Row> rows;
    {
        Row r;
        r.tool = QStringLiteral("mediacarve");
        const QString out = work.filePath(QStringLiteral("mediacarve"));
        QDir().mkpath(out);
        QElapsedTimer t;
        t.start();
        QProcess p;
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p.start(QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget(), {QStringLiteral("--carve-only"), image, out});
        p.waitForFinished(-1);
        r.secs = seconds(t);
        const QList<QByteArray> fields = p.readAllStandardOutput().trimmed().split(' ');
        r.rssMb = fields.size() == 2 ? fields[0].toDouble() / 1024.0 : -1;
        r.score = score(out, image, truth);
        if (!r.score.wrong.isEmpty())
            std::fprintf(stderr, "mediacarve, neither planted nor the start of a cut file: %s\n", qPrintable(r.score.wrong.join(QStringLiteral(", "))));
        rows.push_back(r);
    }
    const bool others = qEnvironmentVariable("IBR_BENCH_OTHERS") != QLatin1String("0");
    const QString foremost = others ? QStandardPaths::findExecutable(QStringLiteral("foremost")) : QString();
    if (!foremost.isEmpty()) {
        Row r;
        r.tool = QStringLiteral("foremost");
        const QString out = work.filePath(QStringLiteral("foremost"));
        if (timed(foremost, {QStringLiteral("-Q"), QStringLiteral("-t"), QStringLiteral("jpg,png,gif,bmp,avi,mov,mp4,wmv,mpg"),
                             QStringLiteral("-i"), image, QStringLiteral("-o"), out}, &r.secs, &r.rssMb))
            r.score = score(out, image, truth);
        rows.push_back(r);
    }
    const QString scalpel = others ? QStandardPaths::findExecutable(QStringLiteral("scalpel")) : QString();
    if (!scalpel.isEmpty()) {
        Row r;
        r.tool = QStringLiteral("scalpel");
        const QString out = work.filePath(QStringLiteral("scalpel"));
        if (timed(scalpel, {QStringLiteral("-c"), scalpelConfig(work.path()), QStringLiteral("-o"), out, image}, &r.secs, &r.rssMb))
            r.score = score(out, image, truth);
        rows.push_back(r);
    }

    int intact = 0, cut = 0, decoys = 0;
    for (const sample::PlantedMedia& t : truth) {
        intact += t.kind == sample::PlantedMedia::Intact;
        cut += t.kind == sample::PlantedMedia::Truncated || t.kind == sample::PlantedMedia::Fragmented;
        decoys += t.kind == sample::PlantedMedia::Decoy;
    }
    std::printf("image %s: %lld MB, %d intact, %d cut or split, %d decoys\n", qPrintable(image), bytes >> 20, intact, cut, decoys);
    std::printf("%-12s %9s %9s %12s %7s %9s %10s\n", "tool", "seconds", "MB/s", "peak RSS MB", "files", "recall", "precision");
    std::printf("%-12s %9.2f %9.0f %12s %7s %9s %10s\n", "plain read", read.secs, double(bytes >> 20) / read.secs, "-", "-", "-", "-");
    for (const Row& r : rows) {
        const Score& s = r.score;
        std::printf("%-12s %9.2f %9.0f %12.1f %7d %8.1f%% %9.1f%%\n", qPrintable(r.tool), r.secs, double(bytes >> 20) / r.secs, r.rssMb,
                    s.carved, s.intact ? 100.0 * s.recalled / s.intact : 0.0, s.carved ? 100.0 * s.correct / s.carved : 0.0);
    }
    return 0;
}
