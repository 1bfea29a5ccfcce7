#include "usb/USB.h"

#include <algorithm>

namespace {

quint8 Byte(const QByteArray& Bytes, int At)
{
    return At < Bytes.size() ? quint8(Bytes[At]) : 0;
}

quint16 Word(const QByteArray& Bytes, int At)
{
    return quint16(Byte(Bytes, At) | (Byte(Bytes, At + 1) << 8));
}

TConfigurationDescriptor ConfigurationAt(const QByteArray& d)
{
    TConfigurationDescriptor c;
    c.bLength = Byte(d, 0);
    c.bDescriptorType = Byte(d, 1);
    c.wTotalLength = Word(d, 2);
    c.bNumInterfaces = Byte(d, 4);
    c.bConfigurationValue = Byte(d, 5);
    c.iConfiguration = Byte(d, 6);
    c.bmAttributes = Byte(d, 7);
    c.MaxPower = Byte(d, 8);
    return c;
}

TInterfaceDescriptor InterfaceAt(const QByteArray& d, int p)
{
    TInterfaceDescriptor i;
    i.bLength = Byte(d, p);
    i.bDescriptorType = Byte(d, p + 1);
    i.bInterfaceNumber = Byte(d, p + 2);
    i.bAlternateSetting = Byte(d, p + 3);
    i.bNumEndpoints = Byte(d, p + 4);
    i.bInterfaceClass = Byte(d, p + 5);
    i.bInterfaceSubClass = Byte(d, p + 6);
    i.bInterfaceProtocol = Byte(d, p + 7);
    i.iInterface = Byte(d, p + 8);
    return i;
}

TEndpointDescriptor EndpointAt(const QByteArray& d, int p)
{
    TEndpointDescriptor e;
    e.bLength = Byte(d, p);
    e.bDescriptorType = Byte(d, p + 1);
    e.bEndpointAddress = Byte(d, p + 2);
    e.bmAttributes = Byte(d, p + 3);
    e.wMaxPacketSize = Word(d, p + 4);
    e.bInterval = Byte(d, p + 6);
    return e;
}

}  // namespace

TConfigurationLayout WalkConfiguration(const QByteArray& Descriptor)
{
    using namespace UsbDescriptor;
    TConfigurationLayout layout;
    const QByteArray d = Descriptor.left(MaxConfigurationSize);
    if (d.size() < 4 || Byte(d, 0) == 0)
        return layout;
    layout.Configuration = ConfigurationAt(d);
    const int end = std::min<int>(d.size(), layout.Configuration.wTotalLength);
    int p = layout.Configuration.bLength;
    while (p + 2 <= end) {
        const int length = Byte(d, p);
        const quint8 type = Byte(d, p + 1);
        if (length == 0 || p + length > end)
            break;
        if (type == Interface && length >= InterfaceSize) {
            if (int(layout.Interfaces.size()) == MaxInterfaces)
                break;
            layout.Interfaces.push_back(InterfaceAt(d, p));
        } else if (type == Endpoint && length >= EndpointSize && layout.Interfaces.size() == 1
                   && int(layout.Endpoints.size()) < layout.DeclaredEndpoints()) {
            layout.Endpoints.push_back(EndpointAt(d, p));
        }
        p += length;
    }
    return layout;
}
