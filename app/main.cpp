#include "cli.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstring>

#include "Log.h"

static void printHelp()
{
    std::printf("ibreader - read iOS device backups and recover deleted records\n\ncommands:\n");
    for (const cli::Command& c : cli::commands())
        std::printf("  %-58s %s\n", c.usage, c.summary);
    std::printf("\noptions for every command:\n  --log-level N   write log lines up to level N to stderr (also $IBREADER_LOG_LEVEL)\n"
                "  --log-file F    write log lines to F instead\n");
}

int main(int argc, char** argv)
{
    // Images are decoded without a display.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);

    QString level;
    if (cli::takeOption(args, QStringLiteral("--log-level"), &level))
        ibrlog::setLevel(level.toInt());
    QString logFile;
    if (cli::takeOption(args, QStringLiteral("--log-file"), &logFile) && !ibrlog::setFile(logFile.toStdString())) {
        cli::printError(QStringLiteral("cannot open log file %1").arg(logFile));
        return cli::Failure;
    }

    if (args.isEmpty() || args.first() == QLatin1String("help") || args.first() == QLatin1String("--help")
        || args.first() == QLatin1String("-h")) {
        printHelp();
        return args.isEmpty() ? cli::Usage : cli::Ok;
    }
    const QString name = args.takeFirst();
    for (const cli::Command& c : cli::commands())
        if (name == QLatin1String(c.name))
            return c.run(args);
    cli::printError(QStringLiteral("unknown command '%1' (try 'ibreader help')").arg(name));
    return cli::Usage;
}
