#include "tests/link/LinkTestSupport.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

TSimIrdaDevice IrCommDevice(quint32 Id, const QByteArray& Name, const QByteArray& Parameters)
{
    TSimIrdaDevice device;
    device.Id = Id;
    device.Name = Name;
    device.IrCommParameters = Parameters;
    return device;
}

TSimIrdaDevice IrLptDevice(quint32 Id, const QByteArray& Name, qint32 LsapSel)
{
    TSimIrdaDevice device;
    device.Id = Id;
    device.Name = Name;
    device.LptLsapSel = LsapSel;
    return device;
}

TSessionPeer::~TSessionPeer()
{
    Close();
}

void TSessionPeer::Take(int Fd, const QByteArray& Service)
{
    Close();
    FFd = Fd;
    FService = Service;
}

void TSessionPeer::Write(const QByteArray& Data)
{
    if (FFd >= 0)
        ::send(FFd, Data.constData(), Data.size(), MSG_NOSIGNAL);
}

QByteArray TSessionPeer::Read(int MinBytes, int TimeoutMs)
{
    QByteArray got;
    pollfd waiting{FFd, POLLIN, 0};
    while (FFd >= 0 && got.size() < MinBytes && ::poll(&waiting, 1, TimeoutMs) > 0) {
        char buffer[4096];
        const ssize_t n = ::recv(FFd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n <= 0)
            break;
        got.append(buffer, int(n));
    }
    return got;
}

bool TSessionPeer::SawClose(int TimeoutMs)
{
    pollfd waiting{FFd, POLLIN, 0};
    char byte;
    return FFd >= 0 && ::poll(&waiting, 1, TimeoutMs) > 0 && ::recv(FFd, &byte, 1, MSG_DONTWAIT) == 0;
}

void TSessionPeer::Close()
{
    if (FFd >= 0)
        ::close(FFd);
    FFd = -1;
}
