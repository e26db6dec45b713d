#include "cli.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "utility/Log.h"
#include "AppDataFolder.h"
#include "workfolder.h"

static void printHelp()
{
    QString root;
    if (!defaultBackupRoot(&root))
        root = QStringLiteral("(no folder: give --root)");
    std::printf("ibreader - read iOS device backups and recover deleted records\n\ncommands:\n");
    for (const cli::Command& c : cli::commands())
        std::printf("  %s\n      %s\n", c.usage, c.summary);
    std::printf("\noptions for every command:\n  --verbose       write the trace (log lines up to level 1) to stderr; quiet otherwise\n"
                "  --log-level N   write log lines up to level N to stderr (also $IBREADER_LOG_LEVEL)\n"
                "  --log-file F    write log lines to F instead (also $IBREADER_LOG_FILE); never inside the evidence\n"
                "\nencrypted backups: the password comes from --password-file FILE (its first line), else\n"
                "$IBREADER_PASSWORD, else a prompt on the terminal; never from the command line. Decrypted files\n"
                "live only in the run's working folder and are removed when it ends, unless --keep-decrypted DIR\n"
                "asks for the decrypted databases.\n"
                "\nlist searches %s when no --root is given.\n"
                "\nexit codes:\n"
                "  0    done\n"
                "  1    failed (the reason is on stderr), including an output file that could not be written\n"
                "  2    wrong usage, or a log file or temporary folder inside the evidence\n"
                "  3    done, but part of the work was skipped: each \"skipped:\" line on stderr says what and why\n"
                "  4    not a backup folder (no such folder, or no Manifest.plist in it)\n"
                "  5    a backup that cannot be read (its Manifest.plist or file index), with the file and reason\n"
                "  6    an encrypted backup and no password, or a wrong one\n"
                "  130  stopped by Ctrl-C (143 by SIGTERM, 129 by SIGHUP); what was extracted until then is written\n",
                root.toUtf8().constData());
}

// Log files and working folders are written to, so they may never lie inside what the command
// reads as evidence.
static bool checkWritableLocations(const QString& logFile, const QStringList& evidence, bool usesWorkFolder)
{
    for (const QString& e : evidence) {
        if (!logFile.isEmpty() && cli::isInside(logFile, e)) {
            cli::printError(QStringLiteral("the log file %1 lies inside %2, which is read as evidence and never written")
                                .arg(logFile, e));
            return false;
        }
        if (usesWorkFolder && cli::isInside(QDir::tempPath(), e)) {
            cli::printError(QStringLiteral("the temporary folder %1 lies inside %2, which is read as evidence and never "
                                           "written; set TMPDIR to another folder")
                                .arg(QDir::tempPath(), e));
            return false;
        }
    }
    return true;
}

int main(int argc, char** argv)
{
#ifdef __GLIBC__
    // A fixed threshold: large scratch arrays are mapped and handed back when freed. The sliding
    // default moves blocks up to 32 MB into the heap after the first big free, where freed room
    // lingers (about 30 MB more at the peak of a 240 MB database's scan).
    mallopt(M_MMAP_THRESHOLD, 4 << 20);
#endif
    // Images are decoded without a display.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QCoreApplication app(argc, argv);
    // Qt's own complaints (a carved picture cut short, say) belong in the trace, not among the
    // results on a user's terminal.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
        Log("Qt", type == QtFatalMsg ? 0 : 1, "%s", text.toLocal8Bit().constData());
        if (type == QtFatalMsg)
            std::abort();
    });
    cli::installSignalHandlers();
    QStringList args = app.arguments().mid(1);

    QString level;
    bool levelMissing = false, fileMissing = false, levelNumber = true;
    const bool levelGiven = cli::takeOption(args, QStringLiteral("--log-level"), &level, &levelMissing);
    const bool verbose = cli::takeFlag(args, QStringLiteral("--verbose"));
    QString logFile = qEnvironmentVariable("IBREADER_LOG_FILE");
    cli::takeOption(args, QStringLiteral("--log-file"), &logFile, &fileMissing);
    const int levelValue = level.toInt(&levelNumber);
    if (levelMissing || fileMissing || (levelGiven && (!levelNumber || levelValue < 0))) {
        cli::printError(levelMissing || (levelGiven && !fileMissing)
                            ? QStringLiteral("--log-level takes a level, a number from 0 (errors) up")
                            : QStringLiteral("--log-file takes a file name"));
        return cli::Usage;
    }
    // Quiet unless asked: a user sees progress, results and what was skipped; the trace goes to a
    // log file, or to stderr with --verbose or a level.
    if (levelGiven)
        ibrlog::setLevel(levelValue);
    else if (verbose)
        ibrlog::setLevel(1);
    else if (logFile.isEmpty() && !qEnvironmentVariableIsSet("IBREADER_LOG_LEVEL"))
        ibrlog::setLevel(-1);

    if (args.isEmpty() || args.first() == QLatin1String("help") || args.first() == QLatin1String("--help")
        || args.first() == QLatin1String("-h")) {
        printHelp();
        return args.isEmpty() ? cli::Usage : cli::Ok;
    }
    const QString name = args.takeFirst();
    for (const cli::Command& c : cli::commands()) {
        if (name != QLatin1String(c.name))
            continue;
        // A command's own help: its usage line and what it does.
        if (args.size() == 1 && (args.first() == QLatin1String("--help") || args.first() == QLatin1String("-h"))) {
            std::printf("usage: ibreader %s\n    %s\n", c.usage, c.summary);
            return cli::Ok;
        }
        const QStringList evidence = c.evidence ? c.evidence(args) : QStringList();
        if (!checkWritableLocations(logFile, evidence, c.usesWorkFolder))
            return cli::Usage;
        std::string why;
        if (!logFile.isEmpty() && !ibrlog::setFile(QFile::encodeName(logFile).toStdString(), &why)) {
            cli::printError(QStringLiteral("cannot open the log file: %1").arg(QString::fromLocal8Bit(why.c_str())));
            return cli::Failure;
        }
        cli::removeStaleWorkFolders(evidence);
        const int code = c.run(args);
        // A full disk or closed pipe under stdout is a failed run, not a silent short listing.
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            cli::printError(QStringLiteral("cannot write the output: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
            return code == cli::Ok || code == cli::Incomplete ? int(cli::Failure) : code;
        }
        return code;
    }
    cli::printError(QStringLiteral("unknown command '%1' (try 'ibreader help')").arg(name));
    return cli::Usage;
}
