// Answers to the dock search: any datagram from anyone on the network reaches
// the enumerator's answer port.

#include "dock/DockEnumerator.h"
#include "fuzz/FuzzSupport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

TDockEnumerator* Enumerator = nullptr;
int Sender = -1;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    FuzzInitialise(argc, argv);
    qputenv("KT4_DOCK_BROADCAST", "127.255.255.255");  // never further than this machine
    Enumerator = new TDockEnumerator;
    Enumerator->SetDockType(TDockFamily::tpCorvaneKelo6);
    Enumerator->StartEnumeration();
    Sender = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size)
{
    if (!Enumerator->Listening()) {
        Enumerator->Timer()->SetEnabled(false);
        Enumerator->StartEnumeration();
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(6461);
    ::inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    const qsizetype before = Enumerator->DockNames().size();
    ::sendto(Sender, Data, Size, 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    for (int i = 0; i < 3; ++i)
        FuzzProcessEvents();
    const qsizetype after = Enumerator->DockNames().size();
    if (after > before) {
        const QString text = Enumerator->DockNames().last();
        if (!text.contains("Kelo6") || text.contains(QChar(0)) || Enumerator->DockAddresses().size() != after)
            __builtin_trap();  // accepted without the family's name, or not cut at the zero byte
    }
    if (after > 10000)
        Enumerator->StartEnumeration();  // the lists start afresh
    return 0;
}
