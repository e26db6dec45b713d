#include "ZuSettings.h"

#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QSettings>
#include <QStandardPaths>

struct ZuSettings::Private {
    mutable QMutex mutex; // the download thread saves while the caller's thread reads
    QString file;
    std::unique_ptr<QSettings> settings;

    QSettings* open()
    {
        if (!settings) {
            QFileInfo info(file);
            QDir().mkpath(info.absolutePath());
            settings = std::make_unique<QSettings>(file, QSettings::IniFormat);
        }
        return settings.get();
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
    return d->open()->value(key, defaultValue);
}

void ZuSettings::setApplicationParam(const QString& key, const QVariant& value)
{
    QMutexLocker lock(&d->mutex);
    QSettings* s = d->open();
    s->setValue(key, value);
    s->sync();
}

void ZuSettings::setStorageFile(const QString& path)
{
    QMutexLocker lock(&d->mutex);
    d->settings.reset();
    d->file = path.isEmpty() ? defaultSettingsFile() : path;
}

QString ZuSettings::storageFile() const
{
    QMutexLocker lock(&d->mutex);
    return d->file;
}
