#include "fuzz/FuzzSupport.h"

#include "platform/Dialogs.h"

#include <QCoreApplication>
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// Boxes are answered with their default button and forgotten (a fuzz run
// shows millions of them).
class TSilentDialogs : public TDialogService {
public:
    TModalResult MessageDlg(const QString&, TMsgDlgType, TMsgDlgButtons Buttons) override { return DefaultButton(Buttons); }
    std::optional<QString> OpenFile(const QString&) override { return std::nullopt; }
    int SelectComPort(const QList<int>&) override { return 0; }
};

int FileHandle = -1;

}  // namespace

void FuzzInitialise(int* argc, char*** argv)
{
    static QCoreApplication app(*argc, *argv);
    SetDialogService(std::make_unique<TSilentDialogs>());
}

void FuzzProcessEvents()
{
    QCoreApplication::processEvents();
}

QString FuzzFile(const QByteArray& Data)
{
    if (FileHandle < 0)
        FileHandle = ::memfd_create("kt4-fuzz", MFD_CLOEXEC);
    if (::ftruncate(FileHandle, 0) != 0 || ::pwrite(FileHandle, Data.constData(), Data.size(), 0) != Data.size())
        return QString();
    return QString("/proc/self/fd/%1").arg(FileHandle);
}

QByteArray FuzzChunk(FuzzedDataProvider& In, int MaxBytes)
{
    constexpr int FloodBytes = 1 << 20;
    const bool flood = In.ConsumeBool();
    const std::string raw = In.ConsumeRandomLengthString(flood ? 16 : MaxBytes);
    const QByteArray bytes(raw.data(), qsizetype(raw.size()));
    if (!flood || bytes.isEmpty())
        return bytes;
    return bytes.repeated(In.ConsumeIntegralInRange<int>(1, FloodBytes / int(bytes.size())));
}
