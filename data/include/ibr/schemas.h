#pragma once
#include <QString>
#include <QStringList>

namespace ibr {

// The CREATE statements a real device wrote for `database` (e.g. "sms.db") under iOS `major`
// (5..9); empty when that version's layout is not known.
QString iosSchema(int major, const QString& database);

// Versions for which a layout of `database` is known, ascending.
QList<int> iosSchemaVersions(const QString& database);

// The layout's statements one by one (CREATE TABLE/INDEX/TRIGGER), so a generator can leave
// out triggers that call functions only the device defines.
QStringList iosSchemaStatements(int major, const QString& database);

} // namespace ibr
