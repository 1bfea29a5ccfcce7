// An image file chosen by the operator: its length, type byte, version and
// date, and the pages built from an accepted one.

#include "fuzz/FuzzSupport.h"
#include "head/KT4Head.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    FuzzInitialise(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    // Short inputs are stretched to an image's length (the fuzzer rarely makes
    // 131072 bytes by itself); the first byte says whether to.
    QByteArray file(reinterpret_cast<const char*>(Data), qsizetype(Size));
    if (!file.isEmpty() && (file[0] & 1)) {
        const QByteArray tail = file.mid(1);
        file = QByteArray(FlashImageSize - tail.size() > 0 ? FlashImageSize - tail.size() : 0, '\xFF') + tail;
    }
    TKT4Head head;
    const bool accepted = head.LoadFlashFile(FuzzFile(file));
    if (accepted != (file.size() == FlashImageSize && static_cast<unsigned char>(file[FlashTypeOffset]) == 0x10))
        __builtin_trap();
    if (accepted) {
        if (head.FileVersion().size() != 4 || head.FileDate().size() != 19)
            __builtin_trap();
        for (int address = FirstFlashAddress; address < FlashImageSize; address += FlashPageSize)
            if (TKT4Head::PageCommand(address / FlashPageSize, head.PagePayload(address)).size() != PageCommandSize)
                __builtin_trap();
    }
    return 0;
}
