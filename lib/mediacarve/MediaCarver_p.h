#pragma once

// The carver over bytes already in memory, for the fuzzer: the same walk as carveImage, with
// blocks small enough that inputs of a few kilobytes cross their edges.

#include "mediacarve/MediaCarver.h"

namespace mediacarve {

bool carveBuffer(const char* data, qint64 size, const QStringList& extensions, const QString& targetDir,
                 QList<CarvedFile>* found, const Progress& progress, QString* why, qint64 blockSize = 1 << 20);

} // namespace mediacarve
