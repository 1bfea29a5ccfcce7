// The head model's handling of whatever the instrument answers, through a
// link that passes its commands through a dock: the handshake, the page
// upload and the program command. Whatever comes, a page is counted only
// after an answer that acknowledges it, and the program command is taken as
// done only after its own acknowledgement.

#include "fuzz/FuzzSupport.h"
#include "head/KT4Head.h"
#include "link/KeskLink.h"

#include <fuzzer/FuzzedDataProvider.h>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    FuzzInitialise(argc, argv);
    return 0;
}

namespace {

class TEchoDock : public QObject, public TPassThroughDock {
public:
    bool Enabled() const override { return true; }
    bool HasUSBDevice() const override { return false; }
    void SetUSBDeviceHalted(bool) override {}
    void Open(std::function<void(bool)> Done) override { Done(true); }
    void Close(std::function<void()> Done) override { Done(); }
    void RequestSlaveMode(std::function<void(TSlaveAnswer)> Done) override { Done(TSlaveAnswer::Passing); }
    void RequestDisconnect(std::function<void()> Done) override { Done(); }
    bool PassUserData(const QByteArray& Text) override
    {
        Last = Text;
        return true;
    }
    QByteArray Last;
};

QByteArray Image()
{
    QByteArray image(FlashImageSize, '\x5A');
    image[FlashTypeOffset] = 0x10;
    return image;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    FuzzedDataProvider in(Data, Size);
    TEchoDock dock;
    TKeskLink link;
    link.ResponseTimer()->SetEnabled(false);
    link.SetDock(&dock);
    TKT4Head head;
    head.SetKeskLink(&link);
    int lastPosition = FirstFlashAddress;
    bool acknowledgedProgram = false;
    head.OnFlashProgress = [&](QObject*, int Position, int) {
        if (Position != lastPosition + FlashPageSize && Position != lastPosition)
            __builtin_trap();  // a page skipped
        lastPosition = Position;
    };
    head.OnProgFlashSent = [&](QObject*, int Error) {
        if (Error == 0 && !acknowledgedProgram)
            __builtin_trap();  // programmed without the program command's own acknowledgement
    };
    if (!head.LoadFlashFile(FuzzFile(Image())))
        __builtin_trap();
    head.Connect(true);
    dock.OnInstrumentConnected(&dock);
    head.OnIsOnline = [&](QObject*, bool Online) {
        if (Online)
            head.SendFlash();
    };
    while (in.remaining_bytes() > 0) {
        QByteArray answer;
        switch (in.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: {  // what the instrument would answer, with the outstanding index
            answer = QByteArray("ACK") + link.MsgIndex();
            if (dock.Last.startsWith("WEP"))
                answer += dock.Last.mid(4, 2);
            else if (dock.Last.startsWith("WHO"))
                answer += "16";
            break;
        }
        case 1:
            link.ResponseTimer()->Fire();
            continue;
        default: {
            const std::string raw = in.ConsumeRandomLengthString(300);
            answer = QByteArray(raw.data(), qsizetype(raw.size()));
            break;
        }
        }
        acknowledgedProgram = dock.Last.startsWith("PFM") && answer == QByteArray("ACK") + link.MsgIndex();
        dock.OnRcvUserData(&dock, answer);
        if (!link.Connected())
            break;
    }
    FuzzProcessEvents();
    return 0;
}
