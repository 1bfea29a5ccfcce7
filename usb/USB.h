#pragma once
// What the USB layer knows of USB itself: the device interface class GUID
// record that names a family of docks, the standard descriptors of a
// configuration (USB 2.0, chapter 9) and the walk over the configuration
// descriptor a device returns. Header-only apart from the walk, so that the
// simulator can describe its devices without the USB library.

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <vector>

// The platform's 16-byte GUID record: a 32-bit and two 16-bit fields, each
// little-endian, then 8 bytes.
struct TGUID {
    quint32 D1 = 0;
    quint16 D2 = 0;
    quint16 D3 = 0;
    quint8 D4[8] = {};

    QByteArray Bytes() const
    {
        QByteArray record(16, '\0');
        for (int i = 0; i < 4; ++i)
            record[i] = char(D1 >> (8 * i));
        for (int i = 0; i < 2; ++i) {
            record[4 + i] = char(D2 >> (8 * i));
            record[6 + i] = char(D3 >> (8 * i));
        }
        for (int i = 0; i < 8; ++i)
            record[8 + i] = char(D4[i]);
        return record;
    }

    // The registry form, "{D9A037FA-4214-4A73-8055-CD99EDDED50D}".
    QString ToString() const
    {
        QString text = QStringLiteral("{%1-%2-%3-").arg(D1, 8, 16, QLatin1Char('0'))
                           .arg(D2, 4, 16, QLatin1Char('0')).arg(D3, 4, 16, QLatin1Char('0'));
        for (int i = 0; i < 8; ++i) {
            text += QStringLiteral("%1").arg(D4[i], 2, 16, QLatin1Char('0'));
            if (i == 1)
                text += QLatin1Char('-');
        }
        return (text + QLatin1Char('}')).toUpper();
    }

    bool operator==(const TGUID& Other) const { return Bytes() == Other.Bytes(); }
};

// The device interface classes of the dock families.
inline constexpr TGUID GuidKeloExpress{0x6EE29A82, 0x690F, 0x11D8, {0xA0, 0x41, 0x00, 0x30, 0xBD, 0x03, 0x5F, 0x12}};
inline constexpr TGUID GuidMPKeloExpress{0x0F690300, 0x54BE, 0x11D9, {0xA0, 0x41, 0x00, 0x30, 0xBD, 0x03, 0x5F, 0x12}};
inline constexpr TGUID GuidMirtal{0x17C13E00, 0x54BE, 0x11D8, {0xA0, 0x41, 0x00, 0x30, 0xBD, 0x03, 0x5F, 0x12}};
inline constexpr TGUID GuidCorvaneKelo6{0xD9A037FA, 0x4214, 0x4A73, {0x80, 0x55, 0xCD, 0x99, 0xED, 0xDE, 0xD5, 0x0D}};

namespace UsbDescriptor {
constexpr quint8 Configuration = 2;
constexpr quint8 Interface = 4;
constexpr quint8 Endpoint = 5;
constexpr int ConfigurationSize = 9;
constexpr int InterfaceSize = 9;
constexpr int EndpointSize = 7;
constexpr int MaxConfigurationSize = 256;  // what the driver's descriptor request returns at most
constexpr int MaxInterfaces = 9;
}  // namespace UsbDescriptor

struct TConfigurationDescriptor {
    quint8 bLength = 0;
    quint8 bDescriptorType = 0;
    quint16 wTotalLength = 0;
    quint8 bNumInterfaces = 0;
    quint8 bConfigurationValue = 0;
    quint8 iConfiguration = 0;
    quint8 bmAttributes = 0;
    quint8 MaxPower = 0;
};

struct TInterfaceDescriptor {
    quint8 bLength = 0;
    quint8 bDescriptorType = 0;
    quint8 bInterfaceNumber = 0;
    quint8 bAlternateSetting = 0;
    quint8 bNumEndpoints = 0;
    quint8 bInterfaceClass = 0;
    quint8 bInterfaceSubClass = 0;
    quint8 bInterfaceProtocol = 0;
    quint8 iInterface = 0;
};

struct TEndpointDescriptor {
    quint8 bLength = UsbDescriptor::EndpointSize;
    quint8 bDescriptorType = UsbDescriptor::Endpoint;
    quint8 bEndpointAddress = 0;
    quint8 bmAttributes = 2;  // bulk
    quint16 wMaxPacketSize = 64;
    quint8 bInterval = 0;

    bool IsInput() const { return (bEndpointAddress & 0x80) != 0; }

    // The bytes one read or write moves: the packet size field (bits 0-10).
    // An endpoint that claims 0 moves pieces of 64, so that sending always
    // advances.
    int TransferSize() const
    {
        const int size = wMaxPacketSize & 0x7FF;
        return size > 0 ? size : 64;
    }

    QByteArray Bytes() const
    {
        const char b[UsbDescriptor::EndpointSize] = {char(bLength), char(bDescriptorType), char(bEndpointAddress),
                                                     char(bmAttributes), char(wMaxPacketSize & 0xFF),
                                                     char(wMaxPacketSize >> 8), char(bInterval)};
        return QByteArray(b, sizeof b);
    }
};

// A configuration descriptor with one interface holding Endpoints, as a
// device returns it.
inline QByteArray BuildConfiguration(const std::vector<TEndpointDescriptor>& Endpoints)
{
    const int total = UsbDescriptor::ConfigurationSize + UsbDescriptor::InterfaceSize
                      + int(Endpoints.size()) * UsbDescriptor::EndpointSize;
    const char configuration[] = {9, char(UsbDescriptor::Configuration), char(total & 0xFF), char(total >> 8),
                                  1, 1, 0, char(0x80), 50};
    const char interface[] = {9, char(UsbDescriptor::Interface), 0, 0, char(Endpoints.size()), char(0xFF), 0, 0, 0};
    QByteArray bytes = QByteArray(configuration, sizeof configuration) + QByteArray(interface, sizeof interface);
    for (const TEndpointDescriptor& endpoint : Endpoints)
        bytes += endpoint.Bytes();
    return bytes;
}

// What the walk over a configuration descriptor found.
struct TConfigurationLayout {
    TConfigurationDescriptor Configuration;
    std::vector<TInterfaceDescriptor> Interfaces;  // up to nine, in descriptor order
    std::vector<TEndpointDescriptor> Endpoints;    // the first interface's, in descriptor order

    // The endpoint count the first interface declares (0 without an interface).
    int DeclaredEndpoints() const { return Interfaces.empty() ? 0 : Interfaces.front().bNumEndpoints; }
};

// Walks the descriptor as returned: the configuration descriptor at offset 0,
// then the descriptors that follow it, up to its wTotalLength but never past
// the bytes given; it stops at a descriptor length of 0 or one that runs past
// the end. Endpoint descriptors are taken for the first interface only (the
// pipes are built from it), at most as many as it declares.
TConfigurationLayout WalkConfiguration(const QByteArray& Descriptor);
