#include "KeyedArchive.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace {

plist_t dictItem(plist_t dict, const char* key)
{
    return dict && plist_get_node_type(dict) == PLIST_DICT ? plist_dict_get_item(dict, key) : nullptr;
}

} // namespace

KeyedArchive::KeyedArchive(const QByteArray& bytes) : m_plist(plistFromBytes(bytes, true, false))
{
    plist_t top = dictItem(m_plist.get(), "$top");
    m_objects = dictItem(m_plist.get(), "$objects");
    if (!top || !m_objects || plist_get_node_type(m_objects) != PLIST_ARRAY)
        return;
    plist_t rootRef = dictItem(top, "root");
    if (!rootRef && plist_get_node_type(top) == PLIST_DICT && plist_dict_get_size(top) == 1) {
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(top, &it);
        char* key = nullptr;
        plist_dict_next_item(top, it, &key, &rootRef);
        free(key);
        free(it);
    }
    const plist_t root = rootRef ? resolve(rootRef) : nullptr;
    m_root = root && plist_get_node_type(root) == PLIST_DICT ? root : nullptr;
}

plist_t KeyedArchive::resolve(plist_t node) const
{
    if (!node || plist_get_node_type(node) != PLIST_UID)
        return node;
    uint64_t index = 0;
    plist_get_uid_val(node, &index);
    if (!m_objects || index >= plist_array_get_size(m_objects))
        return nullptr;
    return plist_array_get_item(m_objects, uint32_t(index));
}

plist_t KeyedArchive::member(plist_t dict, const char* key) const
{
    return resolve(dictItem(dict, key));
}

bool KeyedArchive::integer(plist_t dict, const char* key, qint64* value) const
{
    const plist_t node = member(dict, key);
    switch (node ? plist_get_node_type(node) : PLIST_NONE) {
    case PLIST_UINT: {
        uint64_t v = 0;
        plist_get_uint_val(node, &v);
        *value = qint64(v); // negative numbers come back as their two's complement
        return true;
    }
    case PLIST_REAL: {
        double v = 0;
        plist_get_real_val(node, &v);
        if (!std::isfinite(v))
            return false;
        const double limit = double(std::numeric_limits<qint64>::max());
        *value = qint64(std::clamp(std::floor(v), -limit, limit));
        return true;
    }
    case PLIST_BOOLEAN: {
        uint8_t v = 0;
        plist_get_bool_val(node, &v);
        *value = v ? 1 : 0;
        return true;
    }
    default:
        return false;
    }
}

QString KeyedArchive::string(plist_t dict, const char* key) const
{
    return plistStringText(member(dict, key));
}

QByteArray KeyedArchive::data(plist_t dict, const char* key) const
{
    plist_t node = member(dict, key);
    if (node && plist_get_node_type(node) == PLIST_DICT)
        node = member(node, "NS.data");
    if (!node || plist_get_node_type(node) != PLIST_DATA)
        return QByteArray();
    char* bytes = nullptr;
    uint64_t length = 0;
    plist_get_data_val(node, &bytes, &length);
    QByteArray out(bytes, qsizetype(length));
    free(bytes);
    return out;
}

QString KeyedArchive::className(plist_t object) const
{
    return string(member(object, "$class"), "$classname");
}
