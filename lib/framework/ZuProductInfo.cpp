#include "framework/ZuProductInfo.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QSettings>
#include <QStandardPaths>

struct ZuProductInfo::Private {
    mutable QMutex mutex;
    QMap<QString, QString> overrides;
    QString configFile;
};

static QString defaultProductConfig()
{
    const QByteArray env = qgetenv("IBREADER_PRODUCT_CONFIG");
    if (!env.isEmpty())
        return QString::fromLocal8Bit(env);
    QString base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    if (base.isEmpty())
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/ibreader/product.ini");
}

ZuProductInfo::ZuProductInfo() : d(new Private)
{
    d->configFile = defaultProductConfig();
}

ZuProductInfo::~ZuProductInfo() = default;

ZuProductInfo* ZuProductInfo::instance()
{
    static ZuProductInfo p;
    return &p;
}

QString ZuProductInfo::extendParam(const QString& key) const
{
    QMutexLocker lock(&d->mutex);
    auto it = d->overrides.constFind(key);
    if (it != d->overrides.constEnd())
        return it.value();
    const QByteArray env = qgetenv(("IBREADER_" + key.toUpper()).toUtf8().constData());
    if (!env.isNull())
        return QString::fromUtf8(env);
    if (QFile::exists(d->configFile)) {
        QSettings ini(d->configFile, QSettings::IniFormat);
        return ini.value(QStringLiteral("product/") + key).toString();
    }
    return QString();
}

void ZuProductInfo::setExtendParam(const QString& key, const QString& value)
{
    QMutexLocker lock(&d->mutex);
    d->overrides.insert(key, value);
}

void ZuProductInfo::clearOverrides()
{
    QMutexLocker lock(&d->mutex);
    d->overrides.clear();
}

void ZuProductInfo::setConfigFile(const QString& path)
{
    QMutexLocker lock(&d->mutex);
    d->configFile = path.isEmpty() ? defaultProductConfig() : path;
}
