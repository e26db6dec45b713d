#pragma once

#include <QByteArray>
#include <QDir>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <vector>

#include "TestSupport.h"
#include "contact/IBackupContact.h"

namespace contacttest {

inline bool execAll(sqlite3* db, const QStringList& statements)
{
    for (const QString& s : statements)
        if (sqlite3_exec(db, s.toUtf8().constData(), nullptr, nullptr, nullptr) != SQLITE_OK)
            return false;
    return true;
}

// A reader released at the end of the scope.
class Reader
{
public:
    Reader() { InitBackupContact(&m_reader); }
    ~Reader() { UninitBackupContact(&m_reader); }
    IBackupContact* operator->() const { return m_reader; }
    IBackupContact* get() const { return m_reader; }

    const ContactRecordList* contacts(const QString& book, const QString& images = QString())
    {
        return static_cast<const ContactRecordList*>(m_reader->loadRecords(
            book.toUtf8().constData(), images.toUtf8().constData(), IBackupContact::Contacts, nullptr));
    }

    const SmsRecordList* messages(const QString& smsDb, const QString& book = QString(), PieceHook* hook = nullptr)
    {
        return static_cast<const SmsRecordList*>(m_reader->loadRecords(
            smsDb.toUtf8().constData(), book.toUtf8().constData(), IBackupContact::Messages, hook));
    }

private:
    IBackupContact* m_reader = nullptr;
};

inline std::vector<const addressbookdb*> records(const ContactRecordList* list)
{
    std::vector<const addressbookdb*> out;
    for (const addressbookdb* r = list ? list->first : nullptr; r && out.size() < 100000; r = r->next)
        out.push_back(r);
    return out;
}

inline QString str(const char* utf8)
{
    return utf8 ? QString::fromUtf8(utf8) : QString();
}

} // namespace contacttest
