#pragma once

// Carves deleted pictures, videos and recordings out of a raw disk image by their signatures:
// one sequential pass, each candidate checked by walking its own structure to its end.

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

namespace mediacarve {

struct CarvedFile {
    QString localPath;   // the file written in the target folder
    QString devicePath;  // by kind: .../Media/DCIM/carved/<name>, recordings .../Media/Recordings/carved/<name>
    QString extension;   // lower case, one of supportedExtensions()
    qint64 offset = 0;   // where it starts in the image
    qint64 size = 0;     // bytes written
};

// Called with the bytes of the image scanned so far and the image's size; false stops the carving.
using Progress = std::function<bool(qint64 done, qint64 total)>;

// Carves every file of the given extensions out of the raw image into targetDir (which must exist),
// each as "<16 hex digits of its offset>.<ext>". False (with *why) only when the image cannot be read,
// the carving was stopped, or a carved file could not be written; files found before stay in *found
// and on disk.
bool carveImage(const QString& imagePath, const QStringList& extensions, const QString& targetDir,
                QList<CarvedFile>* found, const Progress& progress, QString* why);

// jpg png ico gif tif tiff bmp m4a mov 3gp m4v mp4 3g2 amr avi mpg wmv
QStringList supportedExtensions();

// A recording's length in whole seconds as its own bytes give it (an ISO media file's movie
// header, an AMR file's 20 ms frames); -1 when they do not.
int recordingSeconds(const QString& path);

} // namespace mediacarve
