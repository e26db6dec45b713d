#include "cli.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>

#include "CiTunesBackup.h"
#include "utility/SafeIo.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace cli {

static QList<Command>& registry()
{
    static QList<Command> list;
    return list;
}

Registrar::Registrar(const Command& command)
{
    registry().append(command);
}

const QList<Command>& commands()
{
    return registry();
}

namespace {

QStringList g_taken; // options a command took: a second one is a repeat, not an unknown option

} // namespace

bool takeOption(QStringList& args, const QString& name, QString* value, bool* missingValue)
{
    if (!g_taken.contains(name))
        g_taken << name;
    const QString prefix = name + QLatin1Char('=');
    for (int i = 0; i < args.size(); ++i) {
        if (args[i] == name) {
            if (i + 1 >= args.size()) {
                if (missingValue)
                    *missingValue = true;
                args.removeAt(i);
                return false;
            }
            if (value)
                *value = args[i + 1];
            args.removeAt(i + 1);
            args.removeAt(i);
            return true;
        }
        if (args[i].startsWith(prefix)) {
            if (value)
                *value = args[i].mid(prefix.size());
            args.removeAt(i);
            return true;
        }
    }
    return false;
}

bool takeFlag(QStringList& args, const QString& name)
{
    return args.removeAll(name) > 0;
}

QStringList evidenceArguments(QStringList args, const QStringList& valueOptions, const QStringList& evidenceOptions)
{
    QStringList out;
    for (const QString& option : evidenceOptions) {
        QString value;
        while (takeOption(args, option, &value))
            out << value;
    }
    for (const QString& option : valueOptions)
        while (takeOption(args, option, nullptr))
            ;
    for (const QString& a : args)
        if (!a.startsWith(QLatin1String("--")))
            out << a;
    return out;
}

bool rejectUnknownOptions(const QStringList& args, const char* usage)
{
    for (const QString& a : args) {
        if (a.startsWith(QLatin1String("--"))) {
            const QString name = a.section(QLatin1Char('='), 0, 0);
            usageError(usage, g_taken.contains(name) ? QStringLiteral("%1 given more than once").arg(name)
                                                     : QStringLiteral("unknown option %1").arg(a));
            return true;
        }
    }
    return false;
}

int usageError(const char* usage, const QString& message)
{
    if (!message.isEmpty())
        printError(message);
    std::fprintf(stderr, "usage: ibreader %s\n", usage);
    return Usage;
}

void printError(const QString& message)
{
    std::fprintf(stderr, "ibreader: %s\n", message.toUtf8().constData());
}

void printJson(const QJsonObject& object)
{
    std::fputs(QJsonDocument(object).toJson(QJsonDocument::Indented).constData(), stdout);
}

void printJson(const QJsonArray& array)
{
    std::fputs(QJsonDocument(array).toJson(QJsonDocument::Indented).constData(), stdout);
}

void printLine(const QString& text)
{
    std::fputs(text.toUtf8().constData(), stdout);
    std::fputc('\n', stdout);
}

static volatile std::sig_atomic_t g_signal = 0;

static void onStopSignal(int signo)
{
    // A second stop will not wait for the work: the copies (decrypted ones too) go first.
    if (g_signal != 0) {
        ibrio::removeWorkFoldersNow();
        // Only write() is safe here. Whatever was being written stays as it was left.
        static const char kNote[] = "ibreader: stopped at once: files written so far may be incomplete\n";
        [[maybe_unused]] const ssize_t n = ::write(STDERR_FILENO, kNote, sizeof kNote - 1);
        _exit(128 + signo);
    }
    g_signal = signo;
}

void installSignalHandlers()
{
    struct sigaction action {};
    action.sa_handler = &onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signo : {SIGINT, SIGTERM, SIGHUP})
        sigaction(signo, &action, nullptr);
}

bool interrupted()
{
    return g_signal != 0;
}

int cancelledExitCode()
{
    return g_signal != 0 ? 128 + int(g_signal) : int(Cancelled);
}

QString terminalText(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == '\\') {
            out += QLatin1String("\\\\");
        } else if (u == '\t') {
            out += QLatin1String("\\t");
        } else if (u == '\n') {
            out += QLatin1String("\\n");
        } else if (u == '\r') {
            out += QLatin1String("\\r");
        } else if (u < 0x20 || (u >= 0x7F && u <= 0x9F)) {
            out += QStringLiteral("\\x%1").arg(uint(u), 2, 16, QLatin1Char('0'));
        } else if ((u >= 0x202A && u <= 0x202E) || (u >= 0x2066 && u <= 0x2069) || u == 0x200E || u == 0x200F) {
            out += QStringLiteral("\\u{%1}").arg(uint(u), 4, 16, QLatin1Char('0'));
        } else {
            out += c;
        }
    }
    return out;
}

int reportSkipped(const QStringList& skipped)
{
    for (const QString& line : skipped)
        printError(QStringLiteral("skipped: %1").arg(terminalText(line)));
    return skipped.isEmpty() ? Ok : Incomplete;
}

bool isInside(const QString& path, const QString& folder)
{
    return ibrio::isSameOrInside(QFile::encodeName(path).toStdString(), QFile::encodeName(folder).toStdString());
}

int openBackup(const QString& folder, CiTunesBackup& backup, QStringList* skipped)
{
    const QFileInfo info(folder);
    if (!info.isDir()) {
        if (!info.exists())
            printError(QStringLiteral("%1: no such folder").arg(terminalText(folder)));
        else // people often pick a file of the backup, its Manifest.plist say
            printError(QStringLiteral("%1 is a file, not a backup folder: give the folder that holds Manifest.plist%2")
                           .arg(terminalText(folder), info.fileName().startsWith(QLatin1String("Manifest."))
                                                          ? QStringLiteral(" (%1)").arg(terminalText(info.absolutePath()))
                                                          : QString()));
        return NotABackup;
    }
    if (!backup.parseFromPath(QDir(folder).absolutePath())) {
        const bool notOne = backup.parseFailure() == CiTunesBackup::NotABackup;
        printError(QStringLiteral("%1 is not %2: %3")
                       .arg(terminalText(folder),
                            notOne ? QStringLiteral("a backup folder") : QStringLiteral("a readable backup"),
                            terminalText(backup.parseProblem())));
        return notOne ? NotABackup : Unreadable;
    }
    if (backup.parseProblem().isEmpty())
        return Ok;
    if (skipped) {
        *skipped << backup.parseProblem();
        return Ok;
    }
    return reportSkipped({backup.parseProblem()});
}

namespace {

// A line typed on the terminal, not echoed. Empty (and *asked false) when there is no terminal.
QByteArray askPassword(const QString& prompt, bool* asked)
{
    *asked = false;
    if (!isatty(fileno(stdin)))
        return QByteArray();
    const int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty < 0)
        return QByteArray();
    *asked = true;
    const QByteArray text = prompt.toUtf8();
    (void)!::write(tty, text.constData(), size_t(text.size()));
    termios saved {};
    const bool quiet = tcgetattr(tty, &saved) == 0;
    if (quiet) {
        termios silent = saved;
        silent.c_lflag &= ~tcflag_t(ECHO);
        silent.c_lflag |= ECHONL;
        tcsetattr(tty, TCSAFLUSH, &silent);
    }
    QByteArray line;
    char c = 0;
    while (!interrupted() && line.size() < 4096) {
        // Polled, so that Ctrl-C ends the prompt although reads restart after a signal.
        pollfd ready{tty, POLLIN, 0};
        const int polled = ::poll(&ready, 1, 200);
        if (polled < 0 && errno != EINTR)
            break;
        if (polled <= 0)
            continue;
        const ssize_t n = ::read(tty, &c, 1);
        if (n <= 0 || c == '\n')
            break;
        line += c;
    }
    if (quiet)
        tcsetattr(tty, TCSAFLUSH, &saved);
    ::close(tty);
    if (line.endsWith('\r'))
        line.chop(1);
    return line;
}

} // namespace

int unlockBackup(CiTunesBackup& backup, const QString& passwordFile, const QString& workFolder)
{
    if (!backup.isEncrypted() || backup.isUnlocked())
        return Ok;
    QByteArray password;
    if (!passwordFile.isEmpty()) {
        std::string bytes, error;
        if (!ibrio::readRegularFile(QFile::encodeName(passwordFile).toStdString(), 65536, &bytes, &error)) {
            printError(QStringLiteral("password file: %1").arg(terminalText(QFile::decodeName(error.c_str()))));
            return Locked;
        }
        password = QByteArray::fromStdString(bytes);
        const qsizetype end = password.indexOf('\n');
        if (end >= 0)
            password.truncate(end);
        if (password.endsWith('\r'))
            password.chop(1);
    } else if (qEnvironmentVariableIsSet("IBREADER_PASSWORD")) {
        password = qgetenv("IBREADER_PASSWORD");
    } else {
        bool asked = false;
        password = askPassword(QStringLiteral("Password of the backup of %1: ").arg(terminalText(backup.rawDeviceName())), &asked);
        if (interrupted())
            return cancelledExitCode();
        if (!asked) {
            printError(QStringLiteral("%1 is encrypted: give its password with --password-file FILE or $IBREADER_PASSWORD")
                           .arg(terminalText(backup.path())));
            return Locked;
        }
    }
    if (password.isEmpty()) {
        printError(QStringLiteral("%1 is encrypted and the password given is empty").arg(terminalText(backup.path())));
        return Locked;
    }
    // The derivation takes seconds and reports nothing itself.
    const bool tty = isatty(fileno(stderr)) != 0;
    if (tty)
        std::fprintf(stderr, "Deriving the key from the password...");
    QString why;
    const CiTunesBackup::UnlockResult result = backup.unlock(password, workFolder, &why);
    if (tty)
        std::fprintf(stderr, "\r\033[K");
    password.fill('\0');
    if (result == CiTunesBackup::Unlocked)
        return Ok;
    if (result == CiTunesBackup::WrongPassword) {
        printError(QStringLiteral("wrong password for the encrypted backup %1").arg(terminalText(backup.path())));
        return Locked;
    }
    printError(QStringLiteral("%1 cannot be decrypted: %2").arg(terminalText(backup.path()), terminalText(why)));
    return Unreadable;
}

TerminalProgress::TerminalProgress(const QString& label) : m_label(label)
{
    m_tty = isatty(fileno(stderr)) != 0;
}

TerminalProgress::~TerminalProgress()
{
    if (m_drawn)
        std::fputc('\n', stderr);
}

void TerminalProgress::setLabel(const QString& label)
{
    m_label = label;
    draw(true);
}

void TerminalProgress::initRange(int range)
{
    m_range = range > 0 ? range : 1;
    m_done = 0.0;
    m_lastPermille = -1;
    draw(true);
}

int TerminalProgress::range()
{
    return m_range;
}

bool TerminalProgress::progress(double step)
{
    m_done += step;
    draw(false);
    return !interrupted();
}

bool TerminalProgress::finish()
{
    m_done = m_range;
    draw(true);
    return !interrupted();
}

bool TerminalProgress::cancelled() const
{
    return interrupted();
}

void TerminalProgress::draw(bool force)
{
    if (!m_tty)
        return;
    double f = m_done / double(m_range);
    if (f < 0) f = 0;
    if (f > 1) f = 1;
    const int permille = int(f * 1000);
    if (!force && permille == m_lastPermille)
        return;
    m_lastPermille = permille;
    const int width = 30;
    const int filled = int(f * width);
    QByteArray bar(filled, '#');
    bar += QByteArray(width - filled, '.');
    std::fprintf(stderr, "\r%-20.20s [%s] %5.1f%%", m_label.toUtf8().constData(), bar.constData(), f * 100.0);
    std::fflush(stderr);
    m_drawn = true;
}

} // namespace cli
