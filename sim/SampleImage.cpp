#include "sim/SampleImage.h"

#include <QSaveFile>

namespace SampleImage {

namespace {

// FNV-1a over the texts, so that images of different versions differ throughout.
quint32 seedFrom(const QByteArray& text)
{
    quint32 hash = 2166136261u;
    for (char c : text) {
        hash = (hash ^ static_cast<quint8>(c)) * 16777619u;
    }
    return hash == 0 ? 1 : hash;
}

// xorshift32: small, fast and the same on every machine.
quint32 nextRandom(quint32& state)
{
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

QByteArray fitted(const QByteArray& text, int length)
{
    return text.left(length).leftJustified(length, ' ');
}

} // namespace

quint16 pageChecksum(const QByteArray& page)
{
    quint32 sum = 0;
    for (char c : page) {
        sum += static_cast<quint8>(c);
    }
    return static_cast<quint16>(sum & 0xFFFF);
}

QByteArray make(const QByteArray& version, const QByteArray& date)
{
    QByteArray image(ImageSize, Qt::Uninitialized);
    quint32 state = seedFrom(version + '|' + date);
    for (int i = 0; i < ImageSize; ++i) {
        image[i] = static_cast<char>(nextRandom(state) >> 24);
    }
    image.replace(DateOffset, DateLength, fitted(date, DateLength));
    image.replace(VersionOffset, VersionLength, fitted(version, VersionLength));
    image[TypeOffset] = TypeByte;
    return image;
}

QByteArray versionOf(const QByteArray& image)
{
    return image.mid(VersionOffset, VersionLength);
}

bool writeFile(const QString& fileName, const QByteArray& data, QString* error)
{
    QSaveFile file(fileName);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit()) {
        if (error) {
            *error = QStringLiteral("cannot write %1: %2").arg(fileName, file.errorString());
        }
        return false;
    }
    return true;
}

} // namespace SampleImage
