#pragma once

#include <QString>

// The name a model is sold under ("iPhone 15 Pro") for its identifier ("iPhone16,1"); empty for
// an identifier the table does not know.
QString knownModelName(const QString& productType);
