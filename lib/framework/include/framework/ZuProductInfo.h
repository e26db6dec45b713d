#pragma once

#include <QMap>
#include <QString>
#include <memory>

// Product parameters such as "firmwareUrl". Read, in this order of precedence, from
// setExtendParam, the environment (IBREADER_<KEY> with the key in upper case, e.g.
// IBREADER_FIRMWAREURL), and the product configuration file ($IBREADER_PRODUCT_CONFIG, or
// "<config>/ibreader/product.ini"; key=value lines in section [product]).
class ZuProductInfo
{
public:
    static ZuProductInfo* instance();

    QString extendParam(const QString& key) const;
    void setExtendParam(const QString& key, const QString& value);
    void clearOverrides();

    // Reads parameters from an INI file instead of the default location.
    void setConfigFile(const QString& path);

private:
    ZuProductInfo();
    ~ZuProductInfo();
    struct Private;
    std::unique_ptr<Private> d;
};
