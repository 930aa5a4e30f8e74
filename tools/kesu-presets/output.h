#pragma once

// Where -o sends what a command makes: "-" is standard output; a path that exists and is not a
// regular file (a device, a pipe, a socket) is written directly, never replaced; a regular file
// is replaced atomically, so that a failed write leaves the old one whole.

#include <QByteArray>
#include <QImage>
#include <QString>

namespace kesu::presets {

// Writes bytes to path; failure, reported with the reason, when they did not all arrive.
int write_output(const QString &path, const QByteArray &bytes);

// The picture format an output path asks for by its extension, as QImageWriter names it: PNG
// for "-" and for a path without an extension; empty, after reporting a usage error, for an
// extension no image writer knows.
QByteArray picture_format(const QString &path);

// The picture encoded in format, written to path.
int write_picture(const QImage &image, const QByteArray &format, const QString &path);

} // namespace kesu::presets
