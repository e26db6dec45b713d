#include "kddata/KdData.h"

#include <QBrush>
#include <QCoreApplication>
#include <QDateTime>
#include <QFont>
#include <QGuiApplication>
#include <QCollator>
#include <algorithm>
#include <numeric>
#include <vector>

#include "kddata/CCommonUtils.h"
#include "contact/IBackupContact.h"
#include "kddata/KdItems.h"

namespace {

struct CategoryInfo {
    const char* machineName;
    const char* title;
    QList<const char*> columns;
};

// Indexed by KdData::Category.
const CategoryInfo& categoryInfo(int category)
{
    static const CategoryInfo kUnknown{"", "", {QT_TRANSLATE_NOOP("KdData", "Name")}};
    static const CategoryInfo kInfo[KdData::CategoryCount] = {
        {"camera_roll", QT_TRANSLATE_NOOP("KdData", "Camera Roll"),
         {QT_TRANSLATE_NOOP("KdData", "Name"), QT_TRANSLATE_NOOP("KdData", "Size"),
          QT_TRANSLATE_NOOP("KdData", "Path"), QT_TRANSLATE_NOOP("KdData", "Taken"),
          QT_TRANSLATE_NOOP("KdData", "Location")}},
        {"photo_stream", QT_TRANSLATE_NOOP("KdData", "Photo Stream"),
         {QT_TRANSLATE_NOOP("KdData", "Name"), QT_TRANSLATE_NOOP("KdData", "Size"),
          QT_TRANSLATE_NOOP("KdData", "Path")}},
        {"photo_library", QT_TRANSLATE_NOOP("KdData", "Photo Library"),
         {QT_TRANSLATE_NOOP("KdData", "Name"), QT_TRANSLATE_NOOP("KdData", "Size"),
          QT_TRANSLATE_NOOP("KdData", "Path")}},
        {"voice_memos", QT_TRANSLATE_NOOP("KdData", "Voice Memos"),
         {QT_TRANSLATE_NOOP("KdData", "Name"), QT_TRANSLATE_NOOP("KdData", "Size"),
          QT_TRANSLATE_NOOP("KdData", "Duration")}},
        {"messages", QT_TRANSLATE_NOOP("KdData", "Messages"),
         {QT_TRANSLATE_NOOP("KdData", "Participants"), QT_TRANSLATE_NOOP("KdData", "Phone Numbers"),
          QT_TRANSLATE_NOOP("KdData", "E-mail Addresses")}},
        {"message_attachments", QT_TRANSLATE_NOOP("KdData", "Message Attachments"),
         {QT_TRANSLATE_NOOP("KdData", "Name"), QT_TRANSLATE_NOOP("KdData", "Size"),
          QT_TRANSLATE_NOOP("KdData", "Path")}},
        {"contacts", QT_TRANSLATE_NOOP("KdData", "Contacts"),
         {QT_TRANSLATE_NOOP("KdData", "Name"), QT_TRANSLATE_NOOP("KdData", "Organization"),
          QT_TRANSLATE_NOOP("KdData", "Phone Numbers"), QT_TRANSLATE_NOOP("KdData", "E-mail Addresses"),
          QT_TRANSLATE_NOOP("KdData", "Web Addresses")}},
        {"calls", QT_TRANSLATE_NOOP("KdData", "Call History"),
         {QT_TRANSLATE_NOOP("KdData", "Name"), QT_TRANSLATE_NOOP("KdData", "Number"),
          QT_TRANSLATE_NOOP("KdData", "Date"), QT_TRANSLATE_NOOP("KdData", "Type"),
          QT_TRANSLATE_NOOP("KdData", "Duration")}},
        {"calendar", QT_TRANSLATE_NOOP("KdData", "Calendar"),
         {QT_TRANSLATE_NOOP("KdData", "Title"), QT_TRANSLATE_NOOP("KdData", "Location"),
          QT_TRANSLATE_NOOP("KdData", "Start"), QT_TRANSLATE_NOOP("KdData", "End"),
          QT_TRANSLATE_NOOP("KdData", "Description")}},
        {"reminders", QT_TRANSLATE_NOOP("KdData", "Reminders"),
         {QT_TRANSLATE_NOOP("KdData", "Title"), QT_TRANSLATE_NOOP("KdData", "List"),
          QT_TRANSLATE_NOOP("KdData", "Status"), QT_TRANSLATE_NOOP("KdData", "Due Date"),
          QT_TRANSLATE_NOOP("KdData", "Location"), QT_TRANSLATE_NOOP("KdData", "Priority"),
          QT_TRANSLATE_NOOP("KdData", "Notes")}},
        {"notes", QT_TRANSLATE_NOOP("KdData", "Notes"),
         {QT_TRANSLATE_NOOP("KdData", "Title"), QT_TRANSLATE_NOOP("KdData", "Modified"),
          QT_TRANSLATE_NOOP("KdData", "Content"), QT_TRANSLATE_NOOP("KdData", "Created"),
          QT_TRANSLATE_NOOP("KdData", "Folder")}},
        {"safari", QT_TRANSLATE_NOOP("KdData", "Safari"),
         {QT_TRANSLATE_NOOP("KdData", "Title"), QT_TRANSLATE_NOOP("KdData", "Address"),
          QT_TRANSLATE_NOOP("KdData", "Group"), QT_TRANSLATE_NOOP("KdData", "Visited")}},
    };
    if (category < 0 || category >= KdData::CategoryCount)
        return kUnknown;
    return kInfo[category];
}

bool isFileCategory(int category)
{
    return category == KdData::CameraRoll || category == KdData::PhotoStream || category == KdData::PhotoLibrary
        || category == KdData::MessageAttachments;
}

const int kFileSizeColumn = 1;
const int kFilePathColumn = 2;
const int kSafariGroupColumn = 2;

// Orders sort keys of mixed kinds: invalid first, then by the kind the two share; texts by the
// locale's collation.
int compareKeys(const QVariant& a, const QVariant& b)
{
    const bool av = a.isValid(), bv = b.isValid();
    if (!av || !bv)
        return int(av) - int(bv);
    const int at = a.typeId(), bt = b.typeId();
    if (at == QMetaType::QDateTime || bt == QMetaType::QDateTime) {
        const QDateTime da = a.toDateTime(), db = b.toDateTime();
        return da < db ? -1 : (db < da ? 1 : 0);
    }
    if (at == QMetaType::QString || bt == QMetaType::QString)
        return QString::localeAwareCompare(a.toString(), b.toString());
    if (at == QMetaType::Double || bt == QMetaType::Double || at == QMetaType::Float || bt == QMetaType::Float) {
        const double da = a.toDouble(), db = b.toDouble();
        return da < db ? -1 : (db < da ? 1 : 0);
    }
    if (at == QMetaType::ULongLong || bt == QMetaType::ULongLong) {
        const qulonglong ua = a.toULongLong(), ub = b.toULongLong();
        // A negative signed key sorts below every unsigned one.
        const bool an = at != QMetaType::ULongLong && a.toLongLong() < 0;
        const bool bn = bt != QMetaType::ULongLong && b.toLongLong() < 0;
        if (an != bn)
            return an ? -1 : 1;
        if (an)
            return a.toLongLong() < b.toLongLong() ? -1 : (b.toLongLong() < a.toLongLong() ? 1 : 0);
        return ua < ub ? -1 : (ub < ua ? 1 : 0);
    }
    const qlonglong la = a.toLongLong(), lb = b.toLongLong();
    return la < lb ? -1 : (lb < la ? 1 : 0);
}

} // namespace

KdData::KdData(int category, QObject* parent) : QAbstractTableModel(parent), m_category(category) {}

KdData::~KdData()
{
    qDeleteAll(m_items);
}

int KdData::category() const
{
    return m_category;
}

QString KdData::machineName() const
{
    return machineName(m_category);
}

QString KdData::title() const
{
    return title(m_category);
}

QString KdData::machineName(int category)
{
    return QLatin1String(categoryInfo(category).machineName);
}

QString KdData::title(int category)
{
    return QCoreApplication::translate("KdData", categoryInfo(category).title);
}

int KdData::categoryFromName(const QString& name)
{
    if (name.isEmpty())
        return -1;
    for (int c = 0; c < CategoryCount; ++c) {
        if (name == QLatin1String(categoryInfo(c).machineName))
            return c;
    }
    return -1;
}

void KdData::append(KdAbstractItem* item)
{
    if (!item || m_held.contains(item))
        return;
    const int row = m_items.size();
    beginInsertRows(QModelIndex(), row, row);
    m_items.append(item);
    m_held.insert(item);
    endInsertRows();
}

void KdData::prepend(KdAbstractItem* item)
{
    if (!item || m_held.contains(item))
        return;
    beginInsertRows(QModelIndex(), 0, 0);
    m_items.prepend(item);
    m_held.insert(item);
    endInsertRows();
}

int KdData::count(int filter) const
{
    if (filter == UncertainItems)
        return int(std::count_if(m_items.cbegin(), m_items.cend(), [](const KdAbstractItem* it) { return it->isUncertain(); }));
    if (filter != DeletedItems && filter != LiveItems)
        return m_items.size();
    const int deleted = int(std::count_if(m_items.cbegin(), m_items.cend(),
                                          [](const KdAbstractItem* it) { return it->isDeleted(); }));
    return filter == DeletedItems ? deleted : m_items.size() - deleted;
}

KdAbstractItem* KdData::at(int i, bool deletedOnly) const
{
    if (i < 0 || i >= m_items.size())
        return nullptr;
    if (!deletedOnly)
        return m_items.at(i);
    int seen = 0;
    for (KdAbstractItem* it : m_items) {
        if (it->isDeleted() && seen++ == i)
            return it;
    }
    return nullptr;
}

int KdData::indexOf(const KdAbstractItem* item) const
{
    if (!item || !m_held.contains(item))
        return -1;
    return int(m_items.indexOf(const_cast<KdAbstractItem*>(item)));
}

KdAbstractItem* KdData::takeAt(int i)
{
    if (i < 0 || i >= m_items.size())
        return nullptr;
    beginRemoveRows(QModelIndex(), i, i);
    KdAbstractItem* item = m_items.takeAt(i);
    m_held.remove(item);
    endRemoveRows();
    return item;
}

void KdData::clear()
{
    beginResetModel();
    qDeleteAll(m_items);
    m_items.clear();
    m_held.clear();
    endResetModel();
}

void KdData::itemChanged(int i)
{
    if (i < 0 || i >= m_items.size())
        return;
    emit dataChanged(index(i, 0), index(i, columnCount() - 1));
}

QStringList KdData::columnTitles() const
{
    return columnTitles(m_category);
}

QStringList KdData::columnTitles(int category)
{
    QStringList titles;
    for (const char* c : categoryInfo(category).columns)
        titles << QCoreApplication::translate("KdData", c);
    return titles;
}

int KdData::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(m_items.size());
}

int KdData::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : int(categoryInfo(m_category).columns.size());
}

QString KdData::displayText(const KdAbstractItem* item, int column) const
{
    const QString text = item->value(column);
    if (!text.isEmpty())
        return text;
    if (isFileCategory(m_category)) {
        if (column == kFileSizeColumn)
            return CCommonUtils::sizeToString(qint64(item->size()));
        if (column == kFilePathColumn)
            if (auto* file = dynamic_cast<const KdFileItem*>(item))
                return file->filePath();
    }
    if (m_category == SafariBookmarks && column == kSafariGroupColumn)
        if (auto* bm = dynamic_cast<const KdSafariBookmarkItem*>(item))
            return bm->bookmarkGroup();
    return text;
}

QVariant KdData::sortKey(const KdAbstractItem* item, int column) const
{
    const QVariant key = item->sortValue(column);
    if (key.isValid())
        return key;
    if (isFileCategory(m_category) && column == kFileSizeColumn)
        return QVariant::fromValue<qulonglong>(item->size());
    return displayText(item, column);
}

QVariant KdData::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.parent().isValid() || index.row() >= m_items.size()
        || index.column() >= columnCount())
        return QVariant();
    const KdAbstractItem* item = m_items.at(index.row());
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        return displayText(item, index.column());
    case SortRole:
        return sortKey(item, index.column());
    case DeletedRole:
        return item->isDeleted();
    case ItemRole:
        return QVariant::fromValue<quintptr>(reinterpret_cast<quintptr>(item));
    case FilePathRole:
        if (auto* file = dynamic_cast<const KdFileItem*>(item))
            return file->filePath();
        return QString();
    case SizeRole:
        return QVariant::fromValue<qulonglong>(item->size());
    case Qt::ForegroundRole:
        if (item->isDeleted())
            return QBrush(QColor(Qt::red));
        return QVariant();
    case Qt::FontRole:
        if (item->isDeleted()) {
            QFont font;
            font.setItalic(true);
            return font;
        }
        return QVariant();
    default:
        return QVariant();
    }
}

QVariant KdData::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return QAbstractTableModel::headerData(section, orientation, role);
    const QStringList titles = columnTitles();
    if (section < 0 || section >= titles.size())
        return QVariant();
    return titles.at(section);
}

void KdData::sort(int column, Qt::SortOrder order)
{
    if (column < 0 || column >= columnCount() || m_items.size() < 2)
        return;
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);

    const int n = int(m_items.size());
    QVector<QVariant> keys;
    keys.reserve(n);
    bool allText = true;
    for (const KdAbstractItem* it : std::as_const(m_items)) {
        keys.append(sortKey(it, column));
        allText = allText && (!keys.constLast().isValid() || keys.constLast().typeId() == QMetaType::QString);
    }
    // perm[newRow] = oldRow
    QVector<int> perm(n);
    std::iota(perm.begin(), perm.end(), 0);
    const bool ascending = order == Qt::AscendingOrder;
    if (allText) {
        // Collation keys once per item: comparing texts one pair at a time is several times slower.
        QCollator collator;
        std::vector<QCollatorSortKey> textKeys;
        textKeys.reserve(n);
        for (const QVariant& k : std::as_const(keys))
            textKeys.push_back(collator.sortKey(k.toString()));
        std::stable_sort(perm.begin(), perm.end(), [&](int a, int b) {
            const int c = textKeys[a].compare(textKeys[b]);
            return ascending ? c < 0 : c > 0;
        });
    } else {
        std::stable_sort(perm.begin(), perm.end(), [&](int a, int b) {
            const int c = compareKeys(keys[a], keys[b]);
            return ascending ? c < 0 : c > 0;
        });
    }

    const QList<KdAbstractItem*> old = m_items;
    QVector<int> newRowOf(n);
    for (int i = 0; i < n; ++i) {
        m_items[i] = old.at(perm[i]);
        newRowOf[perm[i]] = i;
    }
    const QModelIndexList before = persistentIndexList();
    if (!before.isEmpty()) {
        QModelIndexList after;
        after.reserve(before.size());
        for (const QModelIndex& idx : before)
            after << index(newRowOf.value(idx.row()), idx.column());
        changePersistentIndexList(before, after);
    }
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

KdContactData::KdContactData(QObject* parent) : KdData(Contacts, parent) {}

KdContactData::~KdContactData()
{
    if (m_pReader)
        UninitBackupContact(&m_pReader);
}

IBackupContact* KdContactData::getContactReader()
{
    if (!m_pReader && !m_readerTried) {
        m_readerTried = true;
        InitBackupContact(&m_pReader);
    }
    return m_pReader;
}

KdSMSData::KdSMSData(QObject* parent) : KdData(Messages, parent) {}

KdSMSData::~KdSMSData()
{
    if (m_pReader)
        UninitBackupContact(&m_pReader);
}

IBackupContact* KdSMSData::getSMSReader()
{
    if (!m_pReader && !m_readerTried) {
        m_readerTried = true;
        InitBackupContact(&m_pReader);
    }
    return m_pReader;
}
