// kt4-sim: a simulated KT4 head instrument on a pseudo-terminal, an infrared
// device of the simulated IrDA stack, or an instrument in a simulated dock.
//
// The first line on stdout says where: "PTY " and the slave's path, for example
// "PTY /dev/pts/5", "IRDA " and the stack's socket path, or "DOCK " and the
// dock's loopback address (printed once the dock answers on its ports and to
// the dock enumerator).

#include "sim/DockEnquiries.h"
#include "sim/DockTransport.h"
#include "sim/IrdaTransport.h"
#include "sim/PtyTransport.h"
#include "sim/SampleImage.h"
#include "sim/SignalWatcher.h"
#include "sim/SimBench.h"
#include "sim/SimDock.h"
#include "sim/SimInstrument.h"
#include "sim/SimOptions.h"
#include "sim/SimSession.h"
#include "sim/UsbDock.h"
#include "sim/UsbTestDevice.h"

#include <QCoreApplication>
#include <QFile>

#include <csignal>
#include <cstdio>
#include <memory>

namespace {

void complain(const QString& text)
{
    std::fprintf(stderr, "kt4-sim: %s\n", text.toLocal8Bit().constData());
}

int makeImage(const SimOptions& options)
{
    QString error;
    const QByteArray image = SampleImage::make(options.imageVersion, options.imageDate);
    if (!SampleImage::writeFile(options.makeImage, image, &error)) {
        complain(error);
        return 1;
    }
    return 0;
}

// The starting flash: the given image, or erased flash (all 0xFF).
bool loadInitialFlash(const SimOptions& options, QByteArray* flash, QString* error)
{
    if (options.initialFlash.isEmpty()) {
        *flash = QByteArray(SampleImage::ImageSize, '\xFF');
        return true;
    }
    QFile file(options.initialFlash);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(options.initialFlash, file.errorString());
        return false;
    }
    *flash = file.read(SampleImage::ImageSize + 1);
    if (flash->size() != SampleImage::ImageSize) {
        *error = QStringLiteral("%1 is not %2 bytes long").arg(options.initialFlash).arg(SampleImage::ImageSize);
        return false;
    }
    return true;
}

// Without --version, an instrument started from an image reports that image's version.
QByteArray startVersion(const SimOptions& options, const QByteArray& flash)
{
    if (!options.versionGiven && !options.initialFlash.isEmpty()) {
        return SampleImage::versionOf(flash);
    }
    return options.version;
}

void announce(const SimTransport& transport)
{
    std::fputs((transport.address() + QLatin1Char('\n')).toLocal8Bit().constData(), stdout);
    std::fflush(stdout);
}

int runSimulator(const SimOptions& options)
{
    QByteArray flash;
    QString error;
    if (!loadInitialFlash(options, &flash, &error)) {
        complain(error);
        return 1;
    }
    SimInstrument instrument(options.faults, flash, startVersion(options, flash));
    std::unique_ptr<SimTransport> chosen;
    const bool usbDock = !options.dock.kind.isEmpty() && !options.usbDir.isEmpty();
    if (usbDock && findSimDockKind(options.dock.kind) != findSimDockKind("kelo6")) {
        complain("--usb serves only the kelo6 dock");
        return 2;
    }
    if (usbDock) {
        chosen = std::make_unique<UsbDockTransport>(options.usbDir);
    } else if (!options.dock.kind.isEmpty()) {
        chosen = std::make_unique<DockTransport>(options.dock.address, findSimDockKind(options.dock.kind)->dataPort,
                                                 !options.dock.refuseData);
    } else if (options.irdaPath.isEmpty()) {
        chosen = std::make_unique<PtyTransport>(options.linkPath);
    } else {
        chosen = std::make_unique<IrdaTransport>(options.irdaPath);
    }
    SimTransport& transport = *chosen;
    if (!transport.open(&error)) {
        complain(error);
        return 1;
    }
    // At a bench the instruments come and go, each with a session of its own.
    const bool atBench = options.bench.instruments > 0;
    std::unique_ptr<SimSession> session;
    if (!atBench) {
        session = std::make_unique<SimSession>(transport, instrument, options);
    }
    std::unique_ptr<SimDock> dock;
    std::unique_ptr<SimBench> bench;
    std::unique_ptr<UsbDock> usb;
    std::unique_ptr<SimDockEnquiries> enquiries;
    if (usbDock) {
        usb = std::make_unique<UsbDock>(options.dock, static_cast<UsbDockTransport&>(transport), options.verbose);
        // The device pulled off the bus ends the simulator (its flash written).
        QObject::connect(&transport, &SimTransport::closed, qApp, [] { QCoreApplication::exit(0); });
    } else if (!options.dock.kind.isEmpty()) {
        dock = std::make_unique<SimDock>(options.dock, static_cast<DockTransport&>(transport), options.verbose);
        if (!dock->open(&error)) {
            complain(error);
            return 1;
        }
        if (options.dock.answerEnquiries) {
            enquiries = std::make_unique<SimDockEnquiries>(options.dock.address,
                                                           findSimDockKind(options.dock.kind)->enquiries);
            QObject::connect(enquiries.get(), &SimDockEnquiries::note, [](const QString& line) { complain(line); });
            if (!enquiries->open(&error)) {
                complain(error);
                return 1;
            }
        }
        if (atBench) {
            bench = std::make_unique<SimBench>(options, flash, startVersion(options, flash), *dock,
                                               static_cast<DockTransport&>(transport));
            bench->start();
        }
    } else {
        // A dock stays up when its data connection is lost; the instrument alone ends with its link.
        QObject::connect(session.get(), &SimSession::finished, qApp, &QCoreApplication::exit);
    }
    SignalWatcher watcher;
    QObject::connect(&watcher, &SignalWatcher::signalled, qApp, [] { QCoreApplication::exit(0); });
    announce(transport);
    const int status = QCoreApplication::exec();
    return (bench ? bench->writeFlash() : session->writeFlash()) ? status : 1;
}

} // namespace

int main(int argc, char* argv[])
{
    std::signal(SIGPIPE, SIG_IGN);
    QCoreApplication app(argc, argv);
    SimOptions options;
    QString error;
    if (!parseSimOptions(QCoreApplication::arguments(), &options, &error)) {
        complain(error);
        return 2;
    }
    switch (options.mode) {
    case SimOptions::Mode::Help:
        std::fputs(options.helpText.toLocal8Bit().constData(), stdout);
        return 0;
    case SimOptions::Mode::MakeImage:
        return makeImage(options);
    case SimOptions::Mode::Run:
        break;
    }
    if (!options.usbDir.isEmpty() && options.dock.kind.isEmpty())
        return runUsbTestDevice(options.usbDir);
    return runSimulator(options);
}
