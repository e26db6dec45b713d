#include "ContactIndex.h"

#include <QRegularExpression>

#include "kddata/KdContactPrivate.h"
#include "kddata/KdData.h"
#include "kddata/KdItems.h"

QString contactIndexPhoneKey(const QString& phone)
{
    static const QRegularExpression punctuation(QStringLiteral("[- ()]"));
    QString key = phone;
    return key.remove(punctuation);
}

void buildContactIndex(KdData* contacts, QStringList* names, QMap<QString, int>* index)
{
    if (!contacts || !names || !index)
        return;
    const int n = contacts->count(0);
    for (int i = 0; i < n; ++i) {
        KdAbstractItem* item = contacts->at(i, false);
        if (!item || item->itemType() != KdAbstractItem::ContactItem)
            continue;
        const KdContactPrivate* detail = static_cast<KdContactItem*>(item)->detailContent();
        if (!detail)
            continue;
        int position = -1;
        for (const KdContactProperty* property : detail->properties()) {
            if (!property)
                continue;
            const int type = property->propType();
            if (type != KdContactProperty::Email && type != KdContactProperty::Phone)
                continue;
            if (position < 0) {
                position = names->size();
                names->append(detail->contactName());
            }
            const QString value = property->propValue();
            index->insert(type == KdContactProperty::Email ? value : contactIndexPhoneKey(value), position);
        }
    }
}
