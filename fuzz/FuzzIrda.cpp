// The infrared socket's reading of the stack's answers: the device list and the
// IAS records (the LPT service, the IrCOMM parameters), as an IrDA stack that
// answers with the fuzzer's bytes would hand them over.

#include "fuzz/FuzzSupport.h"
#include "link/IrdaPlatform.h"
#include "link/WIrCOMMSocket.h"

#include <fuzzer/FuzzedDataProvider.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

class TFuzzedIrda : public TIrdaPlatform {
public:
    FuzzedDataProvider* In = nullptr;

    int CreateSocket(int& Error) override
    {
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
            Error = 10055;
            return -1;
        }
        ::close(pair[1]);
        return pair[0];
    }
    void CloseSocket(int Handle) override { ::close(Handle); }
    int GetSockOpt(int, int, int, QByteArray& Buffer, int& Error) override
    {
        if (In->ConsumeBool()) {
            Error = In->ConsumeBool() ? 10060 : 10022;
            return -1;
        }
        // The answer overwrites the front of the buffer; it may be any length.
        const std::string answer = In->ConsumeRandomLengthString(1500);
        if (In->ConsumeBool())
            Buffer = QByteArray(answer.data(), qsizetype(answer.size()));
        else
            Buffer.replace(0, qMin<qsizetype>(Buffer.size(), qsizetype(answer.size())),
                           QByteArray(answer.data(), qsizetype(answer.size())));
        return 0;
    }
    int SetSockOpt(int, int, int, const QByteArray&, int& Error) override
    {
        Error = 10022;
        return In->ConsumeBool() ? 0 : -1;
    }
    int Connect(int, const QByteArray&, int& Error, TConnectDone) override
    {
        Error = 10061;
        return -1;
    }
};

TFuzzedIrda* Platform = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    FuzzInitialise(argc, argv);
    auto platform = std::make_unique<TFuzzedIrda>();
    Platform = platform.get();
    SetIrdaPlatform(std::move(platform));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    FuzzedDataProvider in(Data, Size);
    Platform->In = &in;
    TWIrCOMMSocket socket;
    socket.OnError = [](QObject*) {};
    socket.SetUseAnyDevice(in.ConsumeBool());
    if (auto devices = socket.EnumerateDevices()) {
        for (int i = 0; i < devices->Count(); ++i)
            (void)IrdaDeviceName(devices->Item(i));
        if (devices->Count() > 0) {
            socket.SetDeviceID(devices->Item(0).DeviceID);
            socket.Connect();
        }
    }
    FuzzProcessEvents();
    socket.Close();
    return 0;
}
