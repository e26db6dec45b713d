#pragma once

// The carver over bytes already in memory, for the fuzzer: the same walk as carveImage.

#include "mediacarve/MediaCarver.h"

namespace mediacarve {

bool carveBuffer(const char* data, qint64 size, const QStringList& extensions, const QString& targetDir,
                 QList<CarvedFile>* found, const Progress& progress, QString* why);

} // namespace mediacarve
