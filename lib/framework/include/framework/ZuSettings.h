#pragma once

#include <QString>
#include <QVariant>
#include <memory>

class QSettings;

// Application parameters, persisted across runs. Stored as an INI file in the user's config
// folder ("<config>/ibreader/ibreader.ini"), or in the file named by $IBREADER_SETTINGS or
// setStorageFile (tests point it at a temporary folder). Safe to use from several threads.
class ZuSettings
{
public:
    static ZuSettings* instance();

    QVariant applicationParam(const QString& key, const QVariant& defaultValue = QVariant()) const;
    void setApplicationParam(const QString& key, const QVariant& value);

    // Where the parameters live; a new path is used from the next call on.
    void setStorageFile(const QString& path);
    QString storageFile() const;

private:
    ZuSettings();
    ~ZuSettings();
    struct Private;
    std::unique_ptr<Private> d;
};
