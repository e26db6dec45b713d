#include "kddata/KdItems.h"

#include "kddata/KdContactPrivate.h"
#include "kddata/KdSMSChatGroup.h"

KdContactItem::KdContactItem() = default;

KdContactItem::~KdContactItem()
{
    delete m_pDetail;
}

KdContactItem* KdContactItem::createItem()
{
    return new KdContactItem;
}

void KdContactItem::setDetailContent(KdContactPrivate* detail)
{
    if (detail == m_pDetail)
        return;
    delete m_pDetail;
    m_pDetail = detail;
}

KdContactPrivate* KdContactItem::detailContent() const
{
    return m_pDetail;
}

KdSMSItem::KdSMSItem() = default;

KdSMSItem::~KdSMSItem()
{
    delete m_pDetail;
}

KdSMSItem* KdSMSItem::createItem()
{
    return new KdSMSItem;
}

void KdSMSItem::setDetailContent(KdSMSChatGroup* group)
{
    if (group == m_pDetail)
        return;
    delete m_pDetail;
    m_pDetail = group;
}

KdSMSChatGroup* KdSMSItem::detailContent() const
{
    return m_pDetail;
}

KdCallHistoryItem* KdCallHistoryItem::createItem()
{
    return new KdCallHistoryItem;
}

KdCalendarItem* KdCalendarItem::createItem()
{
    return new KdCalendarItem;
}

KdReminderItem* KdReminderItem::createItem()
{
    return new KdReminderItem;
}

KdNoteItem* KdNoteItem::createItem()
{
    return new KdNoteItem;
}

KdSafariBookmarkItem* KdSafariBookmarkItem::createItem()
{
    return new KdSafariBookmarkItem;
}

void KdSafariBookmarkItem::setBookmarkGroup(const QString& group)
{
    m_group = group;
}

QString KdSafariBookmarkItem::bookmarkGroup() const
{
    return m_group;
}

KdFileItem* KdFileItem::createItem()
{
    return new KdFileItem;
}

void KdFileItem::setFilePath(const QString& path)
{
    m_filePath = path;
}

QString KdFileItem::filePath() const
{
    return m_filePath;
}

void KdFileItem::setDevicePath(const QString& path)
{
    m_devicePath = path;
}

QString KdFileItem::devicePath() const
{
    return m_devicePath;
}

void KdFileItem::setModifiedTime(qint64 unixSeconds)
{
    m_modified = unixSeconds;
}

qint64 KdFileItem::modifiedTime() const
{
    return m_modified;
}

void KdFileItem::setExportedPath(const QString& path)
{
    m_exported = path;
}

QString KdFileItem::exportedPath() const
{
    return m_exported;
}

KdVoiceMemoItem* KdVoiceMemoItem::createItem()
{
    return new KdVoiceMemoItem;
}
