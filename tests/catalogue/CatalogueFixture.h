#pragma once

#include <QMap>
#include <QString>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include "CiTunesBackupManager.h"
#include "framework/ZuProductInfo.h"
#include "framework/ZuSettings.h"
#include "utility/Log.h"

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
        m_logLevel = ibrlog::level();
        ibrlog::setLevel(-1); // expected failure lines stay out of the test output
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
        body += QStringLiteral("<key>%1</key><string>%2</string>\n").arg(it.key(), it.value());
    return QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n%1</dict>\n</plist>\n")
        .arg(body);
}
