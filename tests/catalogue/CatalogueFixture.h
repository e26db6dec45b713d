#pragma once

#include <QDateTime>
#include <QMap>
#include <QString>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "CiTunesBackupManager.h"
#include "utility/Log.h"
#include "framework/ZuProductInfo.h"
#include "framework/ZuSettings.h"

// Every catalogue test runs against a settings file of its own, with no list address unless it
// sets one, and leaves no catalogue instance behind.
class CatalogueFixture : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_tmp.isValid());
        ZuSettings::instance()->setStorageFile(m_tmp.filePath(QStringLiteral("settings.ini")));
        ZuProductInfo::instance()->setConfigFile(m_tmp.filePath(QStringLiteral("product.ini")));
        setListAddress(QString());
        // Expected failure lines stay in the captured log instead of the test output.
        m_logLevel = ibrlog::level();
        ibrlog::setLevel(-1);
    }
    void TearDown() override
    {
        CiTunesBackupManager::releaseInstance();
        ZuProductInfo::instance()->clearOverrides();
        ibrlog::setLevel(m_logLevel);
    }

    static void setListAddress(const QString& base)
    {
        ZuProductInfo::instance()->setExtendParam(QStringLiteral("firmwareUrl"), base);
    }
    static QString savedList()
    {
        return ZuSettings::instance()->applicationParam(QStringLiteral("BackupParser/DeviceType")).toString();
    }
    static void saveList(const QString& text)
    {
        ZuSettings::instance()->setApplicationParam(QStringLiteral("BackupParser/DeviceType"), text);
    }

    QTemporaryDir m_tmp;
    int m_logLevel = 0;
};

// An XML device type list with string values.
inline QString deviceTypeList(const QMap<QString, QString>& names)
{
    QString body;
    for (auto it = names.constBegin(); it != names.constEnd(); ++it)
        body += QStringLiteral("\t<key>%1</key>\n\t<string>%2</string>\n").arg(it.key(), it.value());
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                          "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
                          "<plist version=\"1.0\">\n<dict>\n%1</dict>\n</plist>\n")
        .arg(body);
}
