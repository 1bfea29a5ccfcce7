// The version reader on a program file that is not what it should be: the
// ELF section table, the version section and the version block inside it.

#include "controls/Info.h"
#include "controls/VersionBlock.h"
#include "fuzz/FuzzSupport.h"

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    FuzzInitialise(argc, argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(Data), qsizetype(Size));
    // The bytes as a version block...
    for (const char* path : {"\\VarFileInfo\\Translation", "StringFileInfo\\040904E4",
                             "StringFileInfo\\040904E4\\FileVersion", "\\", ""})
        (void)QueryVersionValue(bytes, QString::fromLatin1(path));
    // ...and as a whole program file.
    TEPInfoExe info;
    info.SetExeName(FuzzFile(bytes));
    info.ReadVersionInfo();
    (void)ReadElfSection(FuzzFile(bytes), QByteArray(VersionBlock::SectionName.data(),
                                                     qsizetype(VersionBlock::SectionName.size())));
    return 0;
}
