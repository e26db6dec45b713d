#pragma once

#include <QAbstractTableModel>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include "kddata/KdAbstractItem.h"
#include "kddata/KdDataGlobal.h"

class IBackupContact;

// The container of one category: a table model whose rows are the items (in container order)
// and whose columns are the category's columns. The container owns its items.
class KDDATA_API KdData : public QAbstractTableModel
{
    Q_OBJECT

public:
    // Category numbers, also the argument of KdBackup::getKdData.
    enum Category {
        CameraRoll = 0,
        PhotoStream = 1,
        PhotoLibrary = 2,
        VoiceMemos = 3,
        Messages = 4,
        MessageAttachments = 5,
        Contacts = 6,
        CallHistory = 7,
        Calendar = 8,
        Reminders = 9,
        Notes = 10,
        SafariBookmarks = 11,
        CategoryCount = 12
    };

    // Selection of count(): every item, only deleted items (flag 0 set), only live items; and of
    // the deleted, those a damaged database leaves live or deleted (flag 2 set).
    enum Filter { AllItems = 0, DeletedItems = 1, LiveItems = 2, UncertainItems = 3 };

    enum Role {
        SortRole = Qt::UserRole + 1, // the column's sort value, or its text when none was set
        DeletedRole,                 // bool: the item carries flag 0
        ItemRole,                    // the KdAbstractItem* as a quintptr
        FilePathRole,                // file items: the file path; "" otherwise
        SizeRole                     // the item's size() as qulonglong
    };

    explicit KdData(int category, QObject* parent = nullptr);
    ~KdData() override;

    int category() const;
    // Stable name for exporters ("contacts", "messages", ...); "" for an unknown category.
    QString machineName() const;
    // English title ("Contacts", "Camera Roll", ...).
    QString title() const;
    static QString machineName(int category);
    static QString title(int category);
    // -1 when the name is unknown.
    static int categoryFromName(const QString& machineName);

    // Take ownership. Null, and an item already held by this container, are ignored.
    void append(KdAbstractItem* item);
    // Puts the item first.
    void prepend(KdAbstractItem* item);

    // Number of items selected by `filter` (a Filter value; other values count every item).
    int count(int filter = AllItems) const;
    // Item i of the container, or, with deletedOnly, item i among the deleted items only;
    // null when i is out of range.
    KdAbstractItem* at(int i, bool deletedOnly = false) const;
    // Position in the container, or -1.
    int indexOf(const KdAbstractItem* item) const;
    // Removes item i and hands it to the caller; null when out of range.
    KdAbstractItem* takeAt(int i);
    // Deletes every item.
    void clear();
    // Tells views that item i changed after it was added.
    void itemChanged(int i);

    // Column headers of the category.
    QStringList columnTitles() const;
    static QStringList columnTitles(int category);

    // QAbstractItemModel
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    // Stable sort of the items by SortRole of `column`; dates, numbers and texts compare by kind.
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;

private:
    QString displayText(const KdAbstractItem* item, int column) const;
    QVariant sortKey(const KdAbstractItem* item, int column) const;

    int m_category;
    QList<KdAbstractItem*> m_items;
    QSet<const KdAbstractItem*> m_held;
};

// Contacts container; hands out the contact library's reader for the address book.
class KDDATA_API KdContactData : public KdData
{
    Q_OBJECT

public:
    explicit KdContactData(QObject* parent = nullptr);
    ~KdContactData() override;

    // Created on first use with InitBackupContact, released with the container; null when the
    // contact library gives none.
    IBackupContact* getContactReader();

private:
    IBackupContact* m_pReader = nullptr;
    bool m_readerTried = false;
};

// Messages container; hands out the contact library's reader for older message databases.
class KDDATA_API KdSMSData : public KdData
{
    Q_OBJECT

public:
    explicit KdSMSData(QObject* parent = nullptr);
    ~KdSMSData() override;

    // Created on first use with InitBackupContact, released with the container; null when the
    // contact library gives none.
    IBackupContact* getSMSReader();

private:
    IBackupContact* m_pReader = nullptr;
    bool m_readerTried = false;
};
