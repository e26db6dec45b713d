#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

class KdData;

// Names of the contacts that have an address, and address -> position in `names`. Keys are
// e-mail addresses as stored and phone numbers without "-", " ", "(" and ")". Appends to both
// (neither is emptied); a key met again points at the later contact. Null `contacts` is a no-op.
void buildContactIndex(KdData* contacts, QStringList* names, QMap<QString, int>* index);

// A phone number as the index keys it.
QString contactIndexPhoneKey(const QString& phone);
