#include "kddata/KdBackup.h"

KdBackup::KdBackup()
{
    m_data.resize(KdData::CategoryCount);
    for (int c = 0; c < KdData::CategoryCount; ++c) {
        if (c == KdData::Contacts)
            m_data[c] = new KdContactData;
        else if (c == KdData::Messages)
            m_data[c] = new KdSMSData;
        else
            m_data[c] = new KdData(c);
    }
}

KdBackup::~KdBackup()
{
    qDeleteAll(m_data);
}

KdContactData* KdBackup::getContact() const
{
    return static_cast<KdContactData*>(m_data[KdData::Contacts]);
}

KdSMSData* KdBackup::getMessage() const
{
    return static_cast<KdSMSData*>(m_data[KdData::Messages]);
}

KdData* KdBackup::getMessageAttachment() const
{
    return m_data[KdData::MessageAttachments];
}

KdData* KdBackup::getCallHistory() const
{
    return m_data[KdData::CallHistory];
}

KdData* KdBackup::getCalendar() const
{
    return m_data[KdData::Calendar];
}

KdData* KdBackup::getReminder() const
{
    return m_data[KdData::Reminders];
}

KdData* KdBackup::getNote() const
{
    return m_data[KdData::Notes];
}

KdData* KdBackup::getSafariBookmark() const
{
    return m_data[KdData::SafariBookmarks];
}

KdData* KdBackup::getCamareRoll() const
{
    return m_data[KdData::CameraRoll];
}

KdData* KdBackup::getPhotoStream() const
{
    return m_data[KdData::PhotoStream];
}

KdData* KdBackup::getPhotoLibrary() const
{
    return m_data[KdData::PhotoLibrary];
}

KdData* KdBackup::getVoiceMemo() const
{
    return m_data[KdData::VoiceMemos];
}

KdData* KdBackup::getKdData(int category) const
{
    if (category < 0 || category >= m_data.size())
        return nullptr;
    return m_data[category];
}

void KdBackup::setBackupProperty(const QString& value, int index)
{
    if (index >= 0 && index < PropertyCount)
        m_properties[index] = value;
}

QString KdBackup::backupProperty(int index) const
{
    if (index < 0 || index >= PropertyCount)
        return QString();
    return m_properties[index];
}

QList<int> KdBackup::categories()
{
    return {KdData::Contacts,       KdData::Messages,    KdData::MessageAttachments, KdData::CallHistory,
            KdData::Calendar,       KdData::Reminders,   KdData::Notes,              KdData::SafariBookmarks,
            KdData::CameraRoll,     KdData::PhotoStream, KdData::PhotoLibrary,       KdData::VoiceMemos};
}
