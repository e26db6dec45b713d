#pragma once

#include <QByteArray>
#include <QString>

// A keyed archive: a binary property list whose "$objects" array holds every value, with
// dictionaries that refer to each other by UID and a "$top" naming the root.
//
// Read in place rather than through the plist library: Manifest.db holds one archive per file,
// hundreds of thousands of them, and building then freeing a node tree for each cost ten times
// what SQLite takes to read the rows. Every look-up is bounds-checked against the bytes, so a
// hostile archive gives missing values, never a read outside it.
class KeyedArchive
{
public:
    // An object of the archive, by its number; -1 for none.
    using Node = qint64;

    explicit KeyedArchive(const QByteArray& bytes);

    bool isValid() const { return m_root >= 0; }
    // The object "$top" names as "root".
    Node root() const { return m_root; }
    // dict[key], with a UID resolved to its object; -1 when absent or not a dictionary.
    Node member(Node dict, const char* key) const;

    // dict[key] as a number (integers, reals and booleans); false when absent or of another kind.
    bool integer(Node dict, const char* key, qint64* value) const;
    QString string(Node dict, const char* key) const;
    // dict[key] as bytes: a data object, or the "NS.data" of an archived data object.
    QByteArray data(Node dict, const char* key) const;
    // The "$classname" of an archived object's class; empty when it has none.
    QString className(Node object) const;

private:
    struct Object {
        int type = -1;     // high nibble of the marker
        int low = 0;       // low nibble
        quint64 count = 0; // entries, bytes or characters
        quint64 payload = 0;
    };
    bool object(Node n, Object* o) const;
    bool uint(quint64 at, int width, quint64* value) const;
    bool ref(quint64 at, Node* n) const;
    Node resolve(Node n) const;
    Node dictValue(Node dict, const char* key) const;
    QString text(Node n) const;
    bool number(Node n, qint64* value) const;

    QByteArray m_bytes;
    int m_offsetSize = 0;
    int m_refSize = 0;
    quint64 m_objectCount = 0;
    quint64 m_table = 0;
    Node m_objects = -1; // the "$objects" array
    Node m_root = -1;
};
