#pragma once

// Property lists from evidence: bounded before the plist library sees them, read through
// helpers that never abort on odd nodes, and released by their owner.

#include <QByteArray>
#include <QString>

#include <memory>

#include <plist/plist.h>

// Real property lists are a few megabytes; anything larger is not read.
constexpr qint64 kMaxPlistFileBytes = 256 * 1024 * 1024;

struct PlistDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
// Owns a plist tree; freed when it goes out of scope.
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

// Dictionary look-ups that leave `target` unchanged when the key is missing.
void readPlistString(plist_t dict, const char* key, QString& target);
void readPlistBool(plist_t dict, const char* key, bool& target);
// A string node's text up to its first NUL; *isString is false (and the text empty) for any
// other node.
QString plistStringText(plist_t node, bool* isString = nullptr);

// Parses bytes as a binary property list, then as XML; null when neither gives a root, or when
// the tree it would expand to is too deep or too large.
plist_t plistFromBytes(const QByteArray& bytes, bool allowBinary = true, bool allowXml = true);
