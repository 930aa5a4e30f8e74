#include "output.h"

#include "commandline.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImageWriter>
#include <QSaveFile>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kesu::presets {

namespace {

// The PNG writer maps quality 0..100 onto zlib's levels 9..0; 80 is level 1.
constexpr int fast_png = 80;

int write_stdout(const QByteArray &bytes)
{
    errno = 0;
    if (std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout) == size_t(bytes.size())
        && std::fflush(stdout) == 0)
        return success;
    return report_error(failure,
                        QStringLiteral("cannot write to standard output: %1")
                            .arg(QString::fromLocal8Bit(std::strerror(errno ? errno : EIO))));
}

// A device or a pipe keeps its identity: the bytes go into it as into any open file.
int write_in_place(const QString &path, const QByteArray &bytes)
{
    QFile out(path);
    if (out.open(QIODevice::WriteOnly | QIODevice::Unbuffered) && out.write(bytes) == bytes.size())
        return success;
    return report_error(failure,
                        QStringLiteral("cannot write %1: %2").arg(path, out.errorString()));
}

int write_atomically(const QString &path, const QByteArray &bytes)
{
    QSaveFile out(path);
    if (out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size() && out.commit())
        return success;
    return report_error(failure,
                        QStringLiteral("cannot write %1: %2").arg(path, out.errorString()));
}

} // namespace

int write_output(const QString &path, const QByteArray &bytes)
{
    if (path == QLatin1String("-"))
        return write_stdout(bytes);
    const QFileInfo info(path);
    if (info.exists() && !info.isFile())
        return write_in_place(path, bytes);
    return write_atomically(path, bytes);
}

QByteArray picture_format(const QString &path)
{
    const QByteArray suffix = QFileInfo(path).suffix().toLower().toUtf8();
    if (path == QLatin1String("-") || suffix.isEmpty())
        return QByteArrayLiteral("png");
    const QList<QByteArray> known = QImageWriter::supportedImageFormats();
    if (known.contains(suffix))
        return suffix;
    QStringList names;
    for (const QByteArray &format : known)
        names << QString::fromLatin1(format);
    report_error(usage_error,
                 QStringLiteral("cannot write pictures of type .%1; the types known "
                                "are %2")
                     .arg(QString::fromUtf8(suffix), names.join(QStringLiteral(", "))));
    return {};
}

int write_picture(const QImage &image, const QByteArray &format, const QString &path)
{
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, format);
    // Pictures of flat colours shrink nearly as well at the fastest zlib level, in a fraction of
    // the time.
    if (format == "png")
        writer.setQuality(fast_png);
    if (!writer.write(image))
        return report_error(failure,
                            QStringLiteral("cannot encode %1 as %2: %3")
                                .arg(path, QString::fromLatin1(format), writer.errorString()));
    return write_output(path, bytes);
}

} // namespace kesu::presets
