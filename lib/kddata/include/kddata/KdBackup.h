#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QVector>

#include "kddata/KdAbstractItem.h"
#include "kddata/KdContactPrivate.h"
#include "kddata/KdData.h"
#include "kddata/KdDataGlobal.h"
#include "kddata/KdItems.h"
#include "kddata/KdSMSChatGroup.h"

// What was extracted from one backup or device: one container per category and six descriptive
// properties. The backup owns its containers (and through them every item and detail).
class KDDATA_API KdBackup
{
public:
    enum Property {
        DeviceName = 0,
        BackupDate = 1, // text
        ProductVersion = 2,
        SerialNumber = 3,
        DeviceTypeName = 4,
        ITunesVersion = 5,
        PropertyCount = 6
    };

    KdBackup();
    ~KdBackup();
    KdBackup(const KdBackup&) = delete;
    KdBackup& operator=(const KdBackup&) = delete;

    KdContactData* getContact() const;
    KdSMSData* getMessage() const;
    KdData* getMessageAttachment() const;
    KdData* getCallHistory() const;
    KdData* getCalendar() const;
    KdData* getReminder() const;
    KdData* getNote() const;
    KdData* getSafariBookmark() const;
    KdData* getCamareRoll() const;
    KdData* getPhotoStream() const;
    KdData* getPhotoLibrary() const;
    KdData* getVoiceMemo() const;
    // By KdData::Category number; null out of range.
    KdData* getKdData(int category) const;

    // Index 0..5 (Property); other indexes are ignored / read as "".
    void setBackupProperty(const QString& value, int index);
    QString backupProperty(int index) const;
    // The backup's date to the second (BackupDate shows it to the minute); invalid when unknown.
    void setBackupDateTime(const QDateTime& when) { m_backupDateTime = when; }
    QDateTime backupDateTime() const { return m_backupDateTime; }

    // Every category number in presentation order: contacts, messages, message attachments,
    // calls, calendar, reminders, notes, safari, camera roll, photo stream, photo library,
    // voice memos. Pair with KdData::machineName for exporters.
    static QList<int> categories();

private:
    QVector<KdData*> m_data;
    QString m_properties[PropertyCount];
    QDateTime m_backupDateTime;
};
