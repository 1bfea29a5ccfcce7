#pragma once
// JPEG pictures: decoding with libjpeg and the pictures the windows show.
//
// The pictures are embedded as Qt resources of this library:
//   ":/pictures/instrument.jpg"        the instrument, 57 x 73 (main window)
//   ":/pictures/instrument-large.jpg"  the instrument, 114 x 146 (about box)
//   ":/pictures/dock.jpg"              the docking station, 57 x 73 (main window)
//   ":/pictures/company.jpg"           the maker's logo, 100 x 40 (about box)
// A program registers them once with InitControlsResources().

#include <QByteArray>
#include <QImage>
#include <QPixmap>
#include <QSize>
#include <QString>

// Decodes a JPEG held in memory into an RGB image. Damaged data - not a JPEG,
// cut short, or data the decoder could only show by patching it - gives a null
// image; it never ends the program.
QImage DecodeJpeg(const QByteArray& Data);

// The JPEG picture at ResourcePath (or any file path), decoded and scaled to
// Size; a null pixmap when it cannot be read or decoded.
QPixmap LoadPicture(const QString& ResourcePath, QSize Size);

// Registers the embedded pictures; safe to call more than once.
void InitControlsResources();
