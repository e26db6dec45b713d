#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include "CIProgressCallback.h"

namespace cli {

enum ExitCode { Ok = 0, Failure = 1, Usage = 2, Cancelled = 130 };

using CommandFn = int (*)(QStringList args);

struct Command {
    const char* name;
    const char* usage;   // "list [--root DIR] [--json]"
    const char* summary; // one line for `ibreader help`
    CommandFn run;
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
// After options are taken: anything still starting with "--" is unknown.
bool rejectUnknownOptions(const QStringList& args, const char* usage);

int usageError(const char* usage, const QString& message = QString());
void printError(const QString& message); // "ibreader: <message>" on stderr

void printJson(const QJsonObject& object);
void printJson(const QJsonArray& array);
void printLine(const QString& text); // UTF-8 to stdout

// Progress bar on stderr when it is a terminal, silent otherwise; answers false once Ctrl-C was
// pressed (the first Ctrl-C asks the work to stop, a second one ends the program at once).
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

bool interrupted(); // Ctrl-C seen

} // namespace cli
