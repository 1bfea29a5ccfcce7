#pragma once
// The byte layouts of the IrDA socket interface: the device list, the device
// record, the IAS query record and the IrDA address, all packed, integers in
// little-endian order. The infrared socket builds and reads them; the simulated
// IrDA stack answers in them.

#include <QByteArray>
#include <QtGlobal>
#include <array>

namespace IrdaLayout {

constexpr int AfIrda = 26;       // address family
constexpr int SockStream = 1;
constexpr int SolIrlmp = 255;    // option level of the IrLMP options
constexpr int IrlmpEnumDevices = 16;
constexpr int IrlmpIasQuery = 18;
constexpr int IrlmpIrlptMode = 21;
constexpr int Irlmp9WireMode = 22;

// Device record: ID (4), name (22), hints 1, hints 2, character set.
constexpr int DeviceIdSize = 4;
constexpr int DeviceNameSize = 22;
constexpr int DeviceRecordSize = 29;

// Device list: a 4-byte count, then room for ten records.
constexpr int MaxDevices = 10;
constexpr int DeviceListSize = 4 + MaxDevices * DeviceRecordSize;  // 294

// IAS query record: device ID, class name, attribute name, answer type, answer.
constexpr int IasQuerySize = 1385;
constexpr int IasClassOffset = 4;
constexpr int IasClassSize = 64;
constexpr int IasAttribOffset = IasClassOffset + IasClassSize;     // 68
constexpr int IasAttribSize = 256;
constexpr int IasTypeOffset = IasAttribOffset + IasAttribSize;     // 324
constexpr int IasValueOffset = IasTypeOffset + 4;                  // 328
constexpr int IasOctetsOffset = IasValueOffset + 4;                // 332: after the octet count
constexpr int IasMaxOctets = IasQuerySize - IasOctetsOffset;
constexpr quint32 IasNoAttribute = 0;
constexpr quint32 IasInteger = 1;
constexpr quint32 IasOctetSequence = 2;
constexpr quint32 IasNoClass = 0x10;

// IrDA address: family (2), device ID (4), service name (25, zero-terminated).
constexpr int AddressSize = 31;
constexpr int ServiceNameOffset = 6;
constexpr int ServiceNameSize = 25;

}  // namespace IrdaLayout

using TIrdaDeviceId = std::array<quint8, IrdaLayout::DeviceIdSize>;

#pragma pack(push, 1)
struct TIrdaDeviceRecord {
    TIrdaDeviceId DeviceID{};
    char DeviceName[IrdaLayout::DeviceNameSize]{};
    quint8 Hints1 = 0;
    quint8 Hints2 = 0;
    quint8 CharSet = 0;
};
#pragma pack(pop)
static_assert(sizeof(TIrdaDeviceRecord) == IrdaLayout::DeviceRecordSize);

// A 32-bit number as a device ID (little-endian) and back.
TIrdaDeviceId IrdaDeviceId(quint32 Value);
quint32 IrdaDeviceNumber(const TIrdaDeviceId& Id);

// The device name of a record, up to its first zero byte.
QByteArray IrdaDeviceName(const TIrdaDeviceRecord& Record);

// Little-endian 32-bit fields of a buffer; reading past the end gives 0.
quint32 ReadLe32(const QByteArray& Buffer, int Offset);
void WriteLe32(QByteArray& Buffer, int Offset, quint32 Value);

// The zero-filled IAS query record asking Id for Attribute of Class.
QByteArray MakeIasQuery(const TIrdaDeviceId& Id, const QByteArray& Class, const QByteArray& Attribute);

// The IrDA address of a service of a device. A service name is cut to 24 characters.
QByteArray MakeIrdaAddress(const TIrdaDeviceId& Id, const QByteArray& ServiceName);
