#include "contact/AddressBookLabels.h"

QString addressBookLabelText(const QString& stored)
{
    static const QString open = QStringLiteral("_$!<"), close = QStringLiteral(">!$_");
    if (stored.size() < open.size() + close.size() || !stored.startsWith(open) || !stored.endsWith(close))
        return stored;
    const QString inner = stored.mid(open.size(), stored.size() - open.size() - close.size());
    // Split camel case at a lower-to-upper step: "HomeFAX" -> "Home FAX".
    QString spaced;
    for (int i = 0; i < inner.size(); ++i) {
        if (i > 0 && inner[i].isUpper() && inner[i - 1].isLower())
            spaced += QLatin1Char(' ');
        spaced += inner[i];
    }
    return spaced.toLower();
}
