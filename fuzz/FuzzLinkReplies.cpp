// The link's receive paths for every instrument type: infrared blocks (framed
// types with their control byte, indexed types with the index test, the rest
// as they come), the framed types' unstuffing and checksum, and the serial
// ways' answer reassembly (floods of up to 1 MiB too: bounded, and linear).

#include "fuzz/FuzzSupport.h"
#include "link/KeskFraming.h"
#include "link/KeskLink.h"
#include "link/ReplyAssembler.h"

#include <fuzzer/FuzzedDataProvider.h>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    FuzzInitialise(argc, argv);
    return 0;
}

namespace {

const QByteArray Commands[] = {"ENQ ", "WHO ", "VFL ", "PFM ", "WEP ", "XYZ "};

void ReassembleAnswer(FuzzedDataProvider& In)
{
    TReplyAssembler answers;
    answers.Expect(Commands[In.ConsumeIntegralInRange<int>(0, 5)]);
    qint64 whole = 0;
    qint64 delivered = 0;
    const auto deliver = [&](const QByteArray& Answer) {
        if (Answer.size() > TReplyAssembler::MaxAnswerSize)
            __builtin_trap();  // no answer outgrows its bound
        delivered += Answer.size();
    };
    while (In.remaining_bytes() > 0 && In.ConsumeBool()) {
        const QByteArray chunk = FuzzChunk(In, 64);
        answers.Add(chunk);
        whole += chunk.size();
        while (auto answer = answers.TakeComplete())
            deliver(*answer);  // answers joined in one read come out one by one
    }
    for (QByteArray rest = answers.TakeAll(); !rest.isEmpty(); rest = answers.TakeAll())
        deliver(rest);
    if (delivered + answers.Dropped() != whole)
        __builtin_trap();  // every byte delivered or dropped, once
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    FuzzedDataProvider in(Data, Size);
    const auto type = static_cast<TKeskType>(in.ConsumeIntegralInRange<int>(0, 8));
    {
        const std::string rest = in.ConsumeRandomLengthString(2048);
        const QByteArray buffer(rest.data(), qsizetype(rest.size()));
        if (auto payload = UnframeMessage(type, buffer)) {
            // What was framed comes back unframed.
            if (UnframeMessage(type, FrameMessage(type, *payload)) != payload && IsFramedType(type))
                __builtin_trap();
        }
    }
    ReassembleAnswer(in);

    TKeskLink link;
    link.SetInstrumentType(type);
    int delivered = 0;
    link.OnReceiveMsg = [&delivered](QObject*, const QByteArray&) { ++delivered; };
    link.ResponseTimer()->SetEnabled(false);
    while (in.remaining_bytes() > 0) {
        const std::string block = in.ConsumeRandomLengthString(512);
        link.IrDataAvailable(QByteArray(block.data(), qsizetype(block.size())));
        if (auto payload = link.ExtractFrame())
            ++delivered;
    }
    return 0;
}
