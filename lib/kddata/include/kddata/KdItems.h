#pragma once

#include <QString>

#include "kddata/KdAbstractItem.h"
#include "kddata/KdDataGlobal.h"

class KdContactPrivate;
class KdSMSChatGroup;

// Item classes of the categories. Each is created on the heap by createItem() and belongs to the
// caller until it is added to a container.

// Columns: 0 name, 1 organization, 2 phones, 3 e-mails, 4 web addresses.
class KDDATA_API KdContactItem : public KdAbstractItem
{
public:
    static KdContactItem* createItem();
    ~KdContactItem() override;
    ItemType itemType() const override { return ContactItem; }

    // Takes ownership; a previous, different detail is deleted.
    void setDetailContent(KdContactPrivate* detail);
    KdContactPrivate* detailContent() const;

protected:
    KdContactItem();

private:
    KdContactPrivate* m_pDetail = nullptr;
};

// One conversation. Columns: 0 participant names, 1 phone numbers, 2 e-mail addresses.
class KDDATA_API KdSMSItem : public KdAbstractItem
{
public:
    static KdSMSItem* createItem();
    ~KdSMSItem() override;
    ItemType itemType() const override { return SMSItem; }

    // Takes ownership; a previous, different detail is deleted.
    void setDetailContent(KdSMSChatGroup* group);
    KdSMSChatGroup* detailContent() const;

protected:
    KdSMSItem();

private:
    KdSMSChatGroup* m_pDetail = nullptr;
};

// Columns: 0 contact name, 1 number, 2 date, 3 call type, 4 duration or outcome.
class KDDATA_API KdCallHistoryItem : public KdAbstractItem
{
public:
    static KdCallHistoryItem* createItem();
    ItemType itemType() const override { return CallHistoryItem; }

protected:
    KdCallHistoryItem() = default;
};

// Columns: 0 title, 1 location, 2 start, 3 end, 4 description.
class KDDATA_API KdCalendarItem : public KdAbstractItem
{
public:
    static KdCalendarItem* createItem();
    ItemType itemType() const override { return CalendarItem; }

protected:
    KdCalendarItem() = default;
};

// Columns: 0 title, 1 list, 2 status, 3 due date, 4 location, 5 priority, 6 notes.
class KDDATA_API KdReminderItem : public KdAbstractItem
{
public:
    static KdReminderItem* createItem();
    ItemType itemType() const override { return ReminderItem; }

protected:
    KdReminderItem() = default;
};

// Columns: 0 title, 1 modification date, 2 plain-text body, 3 creation date, 4 account and folder
// ("iCloud / Recipes"). Notes in Recently Deleted carry the deleted flag.
class KDDATA_API KdNoteItem : public KdAbstractItem
{
public:
    static KdNoteItem* createItem();
    ItemType itemType() const override { return NoteItem; }

protected:
    KdNoteItem() = default;
};

// Columns: 0 title, 1 address; the group (folder, "Reading List", "History") is shown as column 2.
class KDDATA_API KdSafariBookmarkItem : public KdAbstractItem
{
public:
    static KdSafariBookmarkItem* createItem();
    ItemType itemType() const override { return SafariBookmarkItem; }

    void setBookmarkGroup(const QString& group);
    QString bookmarkGroup() const;

protected:
    KdSafariBookmarkItem() = default;

private:
    QString m_group;
};

// A file on disk (a data file inside the backup, or a copy). Column 0 is its display name; the
// model shows the size (column 1) and the path (column 2) when those columns hold no text.
class KDDATA_API KdFileItem : public KdAbstractItem
{
public:
    static KdFileItem* createItem();
    ItemType itemType() const override { return FileItem; }

    void setFilePath(const QString& path);
    QString filePath() const;
    // The file's own path on the device and its modification time there (Unix seconds, 0 when
    // unknown): what an exported copy is named after and stamped with.
    void setDevicePath(const QString& path);
    QString devicePath() const;
    void setModifiedTime(qint64 unixSeconds);
    qint64 modifiedTime() const;
    // Where an export copied the file, relative to the output folder; empty when not copied.
    void setExportedPath(const QString& path);
    QString exportedPath() const;

protected:
    KdFileItem() = default;

private:
    QString m_filePath;
    QString m_devicePath;
    qint64 m_modified = 0;
    QString m_exported;
};

// A recording. Columns: 0 name, 1 size text (sort: bytes), 2 duration (sort: seconds).
class KDDATA_API KdVoiceMemoItem : public KdFileItem
{
public:
    static KdVoiceMemoItem* createItem();
    ItemType itemType() const override { return VoiceMemoItem; }

protected:
    KdVoiceMemoItem() = default;
};
