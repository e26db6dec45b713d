#include "kddata/KdAbstractItem.h"

KdAbstractItem::KdAbstractItem() = default;

KdAbstractItem::~KdAbstractItem() = default;

void KdAbstractItem::setValue(const QString& text, int column)
{
    if (column < 0 || column >= MaxColumns)
        return;
    if (m_values.size() <= column)
        m_values.resize(column + 1);
    m_values[column] = text;
}

QString KdAbstractItem::value(int column) const
{
    if (column < 0 || column >= m_values.size())
        return QString();
    return m_values.at(column);
}

int KdAbstractItem::valueCount() const
{
    return qMax(m_values.size(), m_sortValues.size());
}

void KdAbstractItem::setSortValue(const QVariant& value, int column)
{
    if (column < 0 || column >= MaxColumns)
        return;
    if (m_sortValues.size() <= column)
        m_sortValues.resize(column + 1);
    m_sortValues[column] = value;
}

QVariant KdAbstractItem::sortValue(int column) const
{
    if (column < 0 || column >= m_sortValues.size())
        return QVariant();
    return m_sortValues.at(column);
}

void KdAbstractItem::setFlag(bool on, int flag)
{
    if (flag < 0 || flag >= MaxFlags)
        return;
    const quint32 bit = quint32(1) << flag;
    m_flags = on ? (m_flags | bit) : (m_flags & ~bit);
}

bool KdAbstractItem::flag(int flag) const
{
    if (flag < 0 || flag >= MaxFlags)
        return false;
    return (m_flags >> flag) & 1u;
}

void KdAbstractItem::setSize(quint64 size)
{
    m_size = size;
}

quint64 KdAbstractItem::size() const
{
    return m_size;
}
