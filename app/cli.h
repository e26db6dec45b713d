#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include "CIProgressCallback.h"

namespace cli {

// Exit codes, as `ibreader help` lists them. A run stopped by a signal exits with 128 + its
// number (130 for Ctrl-C, 143 for SIGTERM, 129 for SIGHUP).
enum ExitCode { Ok = 0, Failure = 1, Usage = 2, Incomplete = 3, NotABackup = 4, Unreadable = 5, Locked = 6, Cancelled = 130 };

using CommandFn = int (*)(QStringList args);
// The paths a command reads as evidence (backup folders, databases), from its arguments: log
// files and working folders may never lie inside them.
using EvidenceFn = QStringList (*)(QStringList args);

struct Command {
    const char* name;
    const char* usage;   // "list [--root DIR] [--json]"
    const char* summary; // one line for `ibreader help`
    CommandFn run;
    EvidenceFn evidence; // null: the command reads no evidence
    bool usesWorkFolder; // copies evidence into a working folder under the temporary folder
};

// Each command file registers itself: static cli::Registrar r{{"name", "usage", "summary", fn}};
struct Registrar {
    explicit Registrar(const Command& command);
};
const QList<Command>& commands();

// Removes "--name VALUE" (or "--name=VALUE") from args; false when absent. A missing VALUE
// sets *missingValue.
bool takeOption(QStringList& args, const QString& name, QString* value, bool* missingValue = nullptr);
bool takeFlag(QStringList& args, const QString& name);
// For a command's evidence function: the positional arguments, once the options that take a
// value (`valueOptions`) are removed, plus the values of `evidenceOptions`.
QStringList evidenceArguments(QStringList args, const QStringList& valueOptions,
                              const QStringList& evidenceOptions = QStringList());
// After options are taken: anything still starting with "--" is unknown.
bool rejectUnknownOptions(const QStringList& args, const char* usage);

int usageError(const char* usage, const QString& message = QString());
void printError(const QString& message); // "ibreader: <message>" on stderr

void printJson(const QJsonObject& object);
void printJson(const QJsonArray& array);
void printLine(const QString& text); // UTF-8 to stdout

// Text from evidence (names, paths, values) made safe to print on a terminal or in a
// tab-separated line: control characters become \xNN (tab \t, newline \n, return \r), a
// backslash \\, and the invisible direction overrides \u{NNNN}.
QString terminalText(const QString& text);

// SIGINT, SIGTERM and SIGHUP ask the work to stop: the progress callbacks answer false and the
// command ends on its normal path, cleaning up after itself. A second signal ends the program at
// once.
void installSignalHandlers();
bool interrupted();
int cancelledExitCode(); // 128 + the signal's number

// Progress bar on stderr when it is a terminal, silent otherwise; answers false once a stop
// signal arrived.
class TerminalProgress : public CIProgressCallback
{
public:
    explicit TerminalProgress(const QString& label);
    ~TerminalProgress();
    void initRange(int range) override;
    int range() override;
    bool progress(double step) override;
    bool finish() override;
    bool cancelled() const;
    void setLabel(const QString& label);

private:
    void draw(bool force);
    QString m_label;
    int m_range = 100;
    double m_done = 0.0;
    int m_lastPermille = -1;
    bool m_tty = false;
    bool m_drawn = false;
};

// Prints what a run could not do, one "ibreader: skipped: ..." line each, and returns the exit
// code for a run that otherwise ended normally (Incomplete when anything was skipped).
int reportSkipped(const QStringList& skipped);

} // namespace cli

class CiTunesBackup;

namespace cli {

// Parses FOLDER as a backup. On failure prints why (the first problem met: file, offset where
// known, reason) and returns NotABackup or Unreadable. On success returns Ok; when part of the
// index could not be read, the problem is appended to `skipped`, or without a list printed as a
// "skipped:" line with Incomplete returned.
int openBackup(const QString& folder, CiTunesBackup& backup, QStringList* skipped = nullptr);

// Encrypted backups: takes the password from `passwordFile` (its first line), else
// $IBREADER_PASSWORD, else asks on the terminal without echo; never from the command line, where
// other users could read it. Unlocks `backup` with it, decrypting an encrypted index in
// `workFolder`. Ok for a backup that is not encrypted; otherwise prints why and returns Locked
// (no password, or a wrong one), Unreadable (a keybag that cannot be used) or Cancelled.
int unlockBackup(CiTunesBackup& backup, const QString& passwordFile, const QString& workFolder);

// Whether `path` is `folder` or lies below it, links resolved.
bool isInside(const QString& path, const QString& folder);

} // namespace cli
