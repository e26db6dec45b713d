#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

// Display text for a participant address of a message: the calling code of the participant's
// country is removed, then the contact index is searched exactly and, for numbers still in
// international or trunk form ("+..." or "0..."), by suffix.

// One row of the calling-code table, kept in ascending text order of the code; a country listed
// twice keeps its first code (va -> +379, xv -> +882).
struct CallingCode {
    const char* code;    // "+" and digits
    const char* country; // lower-case two-letter code as handle.country stores it
};

// `number` without the calling code of `country`; unchanged for e-mail addresses, numbers
// without a leading "+", unknown countries and numbers that do not start with the code.
QString stripCallingCode(const QString& number, const QString& country);

// The contact name for the address, or the stripped number when no key matches.
QString resolveAddress(const QString& number, const QString& country, const QStringList& names,
                       const QMap<QString, int>& index);
