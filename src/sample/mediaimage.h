#pragma once

// Ground truth for the media carver: a raw image of noise and zero runs with real pictures,
// videos and recordings planted at known offsets, some cut short, some split in two, and
// signatures followed by noise.

#include <QByteArray>
#include <QList>
#include <QString>

namespace sample {

struct PlantedMedia {
    QString extension;     // what a carver should name it (TIFF is "tif" in either byte order)
    qint64 offset = 0;
    qint64 size = 0;       // bytes at offset that belong to the file: the whole file when Intact,
    QByteArray bytes_sha1; // the part that survived otherwise; SHA-1 of those bytes
    enum Kind { Intact, Truncated, Fragmented, Decoy } kind = Intact;
};

// A raw image of `size` bytes: pseudo-random noise and zero runs, with real files of every one of
// the 17 kinds planted at known offsets (some twice), some truncated (cut by noise, and one by the
// image's end), some fragmented (their second half placed elsewhere), and decoys (a signature
// followed by noise). Deterministic for a seed; written in chunks, so any size fits in memory.
bool writeMediaImage(const QString& path, qint64 size, quint32 seed, QList<PlantedMedia>* truth, QString* why = nullptr);

} // namespace sample
