#include "link/IrdaLayout.h"

#include <QtEndian>
#include <cstring>

using namespace IrdaLayout;

TIrdaDeviceId IrdaDeviceId(quint32 Value)
{
    TIrdaDeviceId id;
    qToLittleEndian(Value, id.data());
    return id;
}

quint32 IrdaDeviceNumber(const TIrdaDeviceId& Id)
{
    return qFromLittleEndian<quint32>(Id.data());
}

QByteArray IrdaDeviceName(const TIrdaDeviceRecord& Record)
{
    const auto* end = static_cast<const char*>(std::memchr(Record.DeviceName, 0, DeviceNameSize));
    return QByteArray(Record.DeviceName, end ? int(end - Record.DeviceName) : DeviceNameSize);
}

quint32 ReadLe32(const QByteArray& Buffer, int Offset)
{
    if (Offset < 0 || Offset + 4 > Buffer.size())
        return 0;
    return qFromLittleEndian<quint32>(Buffer.constData() + Offset);
}

void WriteLe32(QByteArray& Buffer, int Offset, quint32 Value)
{
    if (Offset >= 0 && Offset + 4 <= Buffer.size())
        qToLittleEndian(Value, Buffer.data() + Offset);
}

namespace {

// Copies Text into a zero-filled field, leaving room for the terminating zero.
void PutText(QByteArray& Buffer, int Offset, int FieldSize, const QByteArray& Text)
{
    const int size = qMin<int>(Text.size(), FieldSize - 1);
    std::memcpy(Buffer.data() + Offset, Text.constData(), size);
}

}  // namespace

QByteArray MakeIasQuery(const TIrdaDeviceId& Id, const QByteArray& Class, const QByteArray& Attribute)
{
    QByteArray query(IasQuerySize, '\0');
    std::memcpy(query.data(), Id.data(), DeviceIdSize);
    PutText(query, IasClassOffset, IasClassSize, Class);
    PutText(query, IasAttribOffset, IasAttribSize, Attribute);
    return query;
}

QByteArray MakeIrdaAddress(const TIrdaDeviceId& Id, const QByteArray& ServiceName)
{
    QByteArray address(AddressSize, '\0');
    qToLittleEndian<quint16>(AfIrda, address.data());
    std::memcpy(address.data() + 2, Id.data(), DeviceIdSize);
    PutText(address, ServiceNameOffset, ServiceNameSize, ServiceName);
    return address;
}
