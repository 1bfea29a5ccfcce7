#include "app/ImageCheck.h"

#include "head/KT4Head.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

QString ErrnoText(int Error)
{
    return QString::fromLocal8Bit(std::strerror(Error));
}

}  // namespace

QString FlashImageProblem(const QString& FileName)
{
    if (FileName.isEmpty())
        return "no file named";
    const QFileInfo info(FileName);
    if (info.isDir())
        return "a directory, not a file";
    // Opened the way the head model opens it, so that the cause is the one
    // that would have refused it (a missing file, a missing permission).
    const QByteArray path = QFile::encodeName(FileName);
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT)
            return info.isSymLink() ? "a link to a file that does not exist" : "no such file";
        if (error == EACCES)
            return "cannot be read: permission denied";
        return "cannot be opened: " + ErrnoText(error);
    }
    ::close(fd);
    if (!info.isFile())
        return "not a regular file (a device or a pipe)";
    QFile file(FileName);
    if (!file.open(QIODevice::ReadOnly))
        return "cannot be read: " + file.errorString();
    const QByteArray image = file.read(FlashImageSize + 1);
    if (file.error() != QFileDevice::NoError)
        return "cannot be read: " + file.errorString();
    if (image.isEmpty())
        return "the file is empty; a flash file has exactly 131072 bytes";
    if (image.size() != FlashImageSize) {
        const qint64 size = image.size() > FlashImageSize ? qMax<qint64>(info.size(), image.size()) : image.size();
        return QString("%1 bytes; a flash file has exactly %2").arg(size).arg(FlashImageSize);
    }
    const auto type = static_cast<unsigned char>(image[FlashTypeOffset]);
    if (type != 0x10)
        return QString("type byte 0x%1 at offset 0x%2; a KT4 head flash file has 0x10 there")
            .arg(QString::number(type, 16).toUpper().rightJustified(2, '0'),
                 QString::number(FlashTypeOffset, 16).toUpper());
    return QString();
}
