#pragma once

#include <QByteArray>
#include <QDir>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <vector>

#include "AddressBookSample.h"
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

// The nodes of a list from `first` on; capped, so that a looped list ends.
template <typename T>
std::vector<const T*> chain(const T* first)
{
    std::vector<const T*> out;
    for (const T* n = first; n && out.size() < 100000; n = n->next)
        out.push_back(n);
    return out;
}

inline std::vector<const addressbookdb*> records(const ContactRecordList* list)
{
    return chain(list ? list->first : nullptr);
}

// The database `name` of the address book's `iosMajor` layout in `dir`, with `sql` run on it.
inline QString makeBook(const QTemporaryDir& dir, int iosMajor, const QStringList& sql,
                        const QString& name = QStringLiteral("AddressBook.sqlitedb"))
{
    const QString path = dir.filePath(name);
    EXPECT_TRUE(testsupport::makeDatabase(
        path, {}, [&](sqlite3* db) { return sample::createAddressBookTables(db, iosMajor, name) && execAll(db, sql); }));
    return path;
}

inline QString str(const char* utf8)
{
    return utf8 ? QString::fromUtf8(utf8) : QString();
}

} // namespace contacttest
