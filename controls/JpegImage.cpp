#include "controls/JpegImage.h"

#include <QFile>
#include <csetjmp>
#include <cstdio>
#include <jpeglib.h>

namespace {

// Pictures with more pixels than this are refused rather than allocated.
constexpr qint64 MaxPixels = 64LL * 1024 * 1024;

// The error manager: a fatal error jumps back to the decoder instead of ending
// the process; corrupt-data warnings are counted and make the picture a failure.
struct TErrorManager {
    jpeg_error_mgr Public;
    std::jmp_buf Jump;
};

[[noreturn]] void ErrorExit(j_common_ptr Info)
{
    std::longjmp(reinterpret_cast<TErrorManager*>(Info->err)->Jump, 1);
}

void EmitMessage(j_common_ptr Info, int Level)
{
    if (Level < 0)
        ++Info->err->num_warnings;  // trace messages (Level >= 0) are dropped
}

void OutputMessage(j_common_ptr) {}

// Everything the decoder changes lives here, outside the frame that calls
// setjmp, so that it is well defined after a jump back.
struct TDecoder {
    jpeg_decompress_struct Info;
    TErrorManager Error;
    QImage Image;
};

bool Decode(TDecoder& D, const QByteArray& Data)
{
    if (setjmp(D.Error.Jump))
        return false;
    jpeg_create_decompress(&D.Info);
    jpeg_mem_src(&D.Info, reinterpret_cast<const unsigned char*>(Data.constData()),
                 static_cast<unsigned long>(Data.size()));
    if (jpeg_read_header(&D.Info, TRUE) != JPEG_HEADER_OK)
        return false;
    D.Info.out_color_space = JCS_RGB;
    jpeg_start_decompress(&D.Info);
    if (D.Info.output_components != 3 || qint64(D.Info.output_width) * D.Info.output_height > MaxPixels)
        return false;
    D.Image = QImage(int(D.Info.output_width), int(D.Info.output_height), QImage::Format_RGB888);
    if (D.Image.isNull())
        return false;
    while (D.Info.output_scanline < D.Info.output_height) {
        JSAMPROW row = D.Image.scanLine(int(D.Info.output_scanline));
        jpeg_read_scanlines(&D.Info, &row, 1);
    }
    jpeg_finish_decompress(&D.Info);
    return D.Error.Public.num_warnings == 0;
}

}  // namespace

QImage DecodeJpeg(const QByteArray& Data)
{
    if (Data.isEmpty())
        return QImage();
    TDecoder decoder{};
    decoder.Info.err = jpeg_std_error(&decoder.Error.Public);
    decoder.Error.Public.error_exit = ErrorExit;
    decoder.Error.Public.emit_message = EmitMessage;
    decoder.Error.Public.output_message = OutputMessage;
    const bool good = Decode(decoder, Data);
    jpeg_destroy_decompress(&decoder.Info);  // also after a failed creation: it checks what exists
    return good ? decoder.Image : QImage();
}

QPixmap LoadPicture(const QString& ResourcePath, QSize Size)
{
    QFile file(ResourcePath);
    if (!file.open(QIODevice::ReadOnly))
        return QPixmap();
    QImage image = DecodeJpeg(file.readAll());
    if (image.isNull())
        return QPixmap();
    if (Size.isValid() && image.size() != Size)
        image = image.scaled(Size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return QPixmap::fromImage(image);
}

void InitControlsResources()
{
    static const bool registered = [] {
        Q_INIT_RESOURCE(pictures);
        return true;
    }();
    Q_UNUSED(registered);
}
