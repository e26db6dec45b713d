#pragma once

// A read-only SQLite file layer over carved database images, so SQLite can query a database as
// the carver read it without opening (or copying) the evidence.

#include "sqlitecarve/Carver.h"

#include <memory>
#include <string>

namespace sqlrecovery::imagevfs {

extern const char kName[]; // the layer's name, for sqlite3_open_v2

// Makes `image` openable under the returned name (as "file:<name>?immutable=1") until remove().
std::string add(std::shared_ptr<const sqlcarve::Image> image);
void remove(const std::string& name);

} // namespace sqlrecovery::imagevfs
