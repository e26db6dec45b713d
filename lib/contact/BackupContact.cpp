#include "contact/IBackupContact.h"

#include <QString>

#include "AddressBookReader_p.h"
#include "CallHistoryReader_p.h"
#include "MessageReader_p.h"
#include "utility/Log.h"
#include "RecordArena_p.h"

namespace {

const char kModule[] = "BackupContact";

// One reader per container. Each kind has its own loader; the records of every load share the
// arena and stay valid until clearRecords() or the reader's release.
class CBackupContactReader : public IBackupContact
{
public:
    void clearRecords() override { m_arena.clear(); }

    void* loadRecords(const char* path, const char* secondPath, int kind, ContactLoadHook* hook) override
    {
        const QString first = QString::fromUtf8(path ? path : "");
        const QString second = QString::fromUtf8(secondPath ? secondPath : "");
        switch (kind) {
        case Contacts:
            return loadContacts(first, second);
        case Messages:
            return loadMessages(first, second, hook);
        case CallHistory:
            return contactdb::readCallHistory(m_arena, first, second);
        default:
            Log(kModule, 0, "Unknown record kind %d", kind);
            return nullptr;
        }
    }

    ~CBackupContactReader() override = default;

private:
    void* loadContacts(const QString& addressBook, const QString& images)
    {
        contactdb::AddressBookReader reader(m_arena);
        return reader.read(addressBook, images);
    }

    void* loadMessages(const QString& smsDb, const QString& addressBook, const PieceHook* hook)
    {
        contactdb::MessageReader reader(m_arena);
        return reader.read(smsDb, addressBook, hook);
    }

    contactdb::RecordArena m_arena;
};

} // namespace

CONTACT_API void InitBackupContact(IBackupContact** reader)
{
    if (reader)
        *reader = new CBackupContactReader;
}

CONTACT_API void UninitBackupContact(IBackupContact** reader)
{
    if (!reader || !*reader)
        return;
    delete *reader;
    *reader = nullptr;
}
