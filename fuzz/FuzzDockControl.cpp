// The control data of every dock kind: any chunk (floods of up to 1 MiB
// too), read as each kind reads its events and as each reply kind reads what
// follows "ACK". Whatever comes, nothing is read beyond the chunk
// (AddressSanitizer), every payload handed to a handler has its kind's size,
// a stored reply keeps its fixed size, and reading stays linear (a flood read
// in quadratic time runs into the fuzzer's time-out).

#include "dock/KeloExpressDock.h"
#include "dock/MPKeloExpressDock.h"
#include "fuzz/FuzzSupport.h"

#include <fuzzer/FuzzedDataProvider.h>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    FuzzInitialise(argc, argv);
    return 0;
}

namespace {

// Each kind with its reply kind chosen by the fuzzer.
template <typename TDock>
struct TFuzzDock : TDock {
    using TKeloDock::SetReplyKind;
};

void Check(bool Holds)
{
    if (!Holds)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    FuzzedDataProvider in(Data, Size);
    TFuzzDock<TCorvaneKelo6Dock> kelo6;
    TFuzzDock<TKeloExpressDock> express;
    TFuzzDock<TMPKeloExpressDock> mp;
    kelo6.OnDebugMessage = [](QObject*, const QByteArray& Msg) { Check(Msg.size() < 256); };
    kelo6.OnGotGasReading = [](QObject*, TGasReading& R) { Check(R.size() == 14); };
    kelo6.OnDeviceInserted = [](QObject*, TInstState S) { Check(S <= 9); };
    kelo6.OnBatteryStatus = [](QObject*, bool Charging, bool Charged, quint16) { Check(Charging != Charged); };
    mp.OnGotGasReading = [](QObject*, TMPKeloExpressDock::TGasReading& R) { Check(R.size() == 8); };
    const std::initializer_list<TKeloDock*> docks = {&kelo6, &express, &mp};
    while (in.remaining_bytes() > 0) {
        const auto kind = TReplyKind(in.ConsumeIntegralInRange<int>(rkPlain, rkLcdText));
        const QByteArray chunk = FuzzChunk(in, 256);
        kelo6.SetReplyKind(kind);
        express.SetReplyKind(kind);
        mp.SetReplyKind(kind);
        for (TKeloDock* dock : docks) {
            dock->HandleControlData(chunk);
            Check(dock->AdcValues().size() == 8);
            Check(dock->LcdText().size() <= 16);
        }
    }
    FuzzProcessEvents();
    return 0;
}
