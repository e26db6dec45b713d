#pragma once

#include <QByteArray>
#include <QString>

#include "Plist.h"

// A keyed archive: a binary property list whose "$objects" array holds every value, with
// dictionaries that refer to each other by UID and a "$top" naming the root. Every look-up
// resolves references with bounds checks, so a hostile archive gives missing values, never a
// read outside the tree.
class KeyedArchive
{
public:
    explicit KeyedArchive(const QByteArray& bytes);

    bool isValid() const { return m_root != nullptr; }
    // The object "$top" names as "root" (or its only entry).
    plist_t root() const { return m_root; }
    // A UID's object; any other node as it is; null for a UID past the objects.
    plist_t resolve(plist_t node) const;
    // dict[key], resolved.
    plist_t member(plist_t dict, const char* key) const;

    // dict[key] as a number (integers, reals and booleans); false when absent or of another kind.
    bool integer(plist_t dict, const char* key, qint64* value) const;
    QString string(plist_t dict, const char* key) const;
    // dict[key] as bytes: a data node, or the "NS.data" of an archived data object.
    QByteArray data(plist_t dict, const char* key) const;
    // The "$classname" of an archived object's class; empty when it has none.
    QString className(plist_t object) const;

private:
    PlistPtr m_plist;
    plist_t m_objects = nullptr;
    plist_t m_root = nullptr;
};
