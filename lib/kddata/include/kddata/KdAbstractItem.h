#pragma once

#include <QString>
#include <QVariant>
#include <QVector>

#include "kddata/KdDataGlobal.h"

// One row of a category container: a text per column, an optional sort key per column, flags and
// a byte size. An item belongs to the container it is added to; before that, to its creator.
class KDDATA_API KdAbstractItem
{
public:
    enum ItemType {
        ContactItem,
        SMSItem,
        CallHistoryItem,
        CalendarItem,
        ReminderItem,
        NoteItem,
        SafariBookmarkItem,
        FileItem,
        VoiceMemoItem
    };

    // Flag numbers for setFlag/flag. Flags 3..31 are free for callers.
    enum Flag { DeletedFlag = 0, PartialFlag = 1, UncertainFlag = 2 };
    static const int MaxFlags = 32;
    // Columns beyond this are refused by setValue/setSortValue (a guard against bogus indexes).
    static const int MaxColumns = 64;

    virtual ~KdAbstractItem();
    KdAbstractItem(const KdAbstractItem&) = delete;
    KdAbstractItem& operator=(const KdAbstractItem&) = delete;

    virtual ItemType itemType() const = 0;

    // Text of a column; a column never set reads as an empty text.
    void setValue(const QString& text, int column);
    QString value(int column) const;
    // Number of columns that hold a text or a sort value (highest set column + 1).
    int valueCount() const;

    // Sort key of a column (a QDateTime, an integer, ...); invalid QVariant when never set.
    void setSortValue(const QVariant& value, int column);
    QVariant sortValue(int column) const;

    // Flag 0 (DeletedFlag) marks data recovered from deleted records. Out-of-range flags are
    // ignored on set and read as false.
    void setFlag(bool on, int flag);
    bool flag(int flag) const;
    bool isDeleted() const { return flag(DeletedFlag); }
    // Flag 1 (PartialFlag): a recovered record newer data overwrote in part; it shows what
    // survived.
    bool isPartial() const { return flag(PartialFlag); }
    // Flag 2 (UncertainFlag): recovered from a page that no tree of a damaged database reaches;
    // the record may as well be live.
    bool isUncertain() const { return flag(UncertainFlag); }

    // Bytes of the file behind the item; 0 for records.
    void setSize(quint64 size);
    quint64 size() const;

protected:
    KdAbstractItem();

private:
    QVector<QString> m_values;
    QVector<QVariant> m_sortValues;
    quint32 m_flags = 0;
    quint64 m_size = 0;
};
