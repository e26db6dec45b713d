#include "framework/ZuSettings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QSettings>
#include <QStandardPaths>
#include <QVariantMap>

#include "utility/Log.h"
#include "utility/SafeIo.h"

namespace {

const char* const kModule = "ZuSettings";

// QSettings reads its file when created and again before each write: a FIFO there would block
// it forever, a device would feed it without end. A missing file is fine (created on write).
bool isUsableFile(const QString& file)
{
    const std::string kind = ibrio::irregularFileKind(QFile::encodeName(file).toStdString());
    if (kind.empty())
        return true;
    Log(kModule, 0, "Settings file %s is %s: settings are kept in memory for this run", file.toUtf8().constData(),
        kind.c_str());
    return false;
}

} // namespace

struct ZuSettings::Private {
    mutable QMutex mutex; // the download thread saves while the caller's thread reads
    QString file;
    std::unique_ptr<QSettings> settings;
    bool inMemory = false;
    QVariantMap memory; // used instead of the file when it is unusable

    // Null when the parameters are kept in memory.
    QSettings* open()
    {
        if (!settings && !inMemory) {
            if (!isUsableFile(file)) {
                inMemory = true;
                return nullptr;
            }
            QFileInfo info(file);
            QDir().mkpath(info.absolutePath());
            settings = std::make_unique<QSettings>(file, QSettings::IniFormat);
        }
        return settings.get();
    }

    // The file may have been replaced since it was opened; what was read from it stays.
    QSettings* openForWrite()
    {
        QSettings* s = open();
        if (!s || isUsableFile(file))
            return s;
        for (const QString& key : s->allKeys())
            memory.insert(key, s->value(key));
        settings.reset();
        inMemory = true;
        return nullptr;
    }

    void reset(const QString& path)
    {
        settings.reset();
        inMemory = false;
        memory.clear();
        file = path;
    }
};

static QString defaultSettingsFile()
{
    const QByteArray env = qgetenv("IBREADER_SETTINGS");
    if (!env.isEmpty())
        return QString::fromLocal8Bit(env);
    QString base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    if (base.isEmpty())
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/ibreader/ibreader.ini");
}

ZuSettings::ZuSettings() : d(new Private)
{
    d->file = defaultSettingsFile();
}

ZuSettings::~ZuSettings() = default;

ZuSettings* ZuSettings::instance()
{
    static ZuSettings s;
    return &s;
}

QVariant ZuSettings::applicationParam(const QString& key, const QVariant& defaultValue) const
{
    QMutexLocker lock(&d->mutex);
    if (QSettings* s = d->open())
        return s->value(key, defaultValue);
    return d->memory.value(key, defaultValue);
}

void ZuSettings::setApplicationParam(const QString& key, const QVariant& value)
{
    QMutexLocker lock(&d->mutex);
    QSettings* s = d->openForWrite();
    if (!s) {
        d->memory.insert(key, value);
        return;
    }
    s->setValue(key, value);
    s->sync();
}

void ZuSettings::setStorageFile(const QString& path)
{
    QMutexLocker lock(&d->mutex);
    d->reset(path.isEmpty() ? defaultSettingsFile() : path);
}

QString ZuSettings::storageFile() const
{
    QMutexLocker lock(&d->mutex);
    return d->file;
}
