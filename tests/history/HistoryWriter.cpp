// kt4-history-writer: records upgrade attempts into a history file the way an
// upgrade does (Begin, then Finish), for the tests that need many processes
// or one that dies in the middle.
//
//   kt4-history-writer FILE COUNT [TAG]   COUNT attempts, each completed; prints
//                                         "id N" per attempt
//   kt4-history-writer FILE --hang [TAG]  begins one attempt, prints "begun N"
//                                         and waits until it is killed
//
// A problem with the file is printed as "warning TEXT"; the exit status is 0
// when every attempt was recorded, 3 when some were not.

#include "history/UpgradeHistory.h"

#include <QCoreApplication>
#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("kt4-history-writer");
    QCoreApplication::setApplicationVersion("1.1.0.4");
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: kt4-history-writer FILE COUNT|--hang [TAG]\n");
        return 2;
    }
    const QString tag = args.value(3, QString::number(::getpid()));
    TUpgradeHistory history(args[1]);
    auto warn = [&history] {
        if (!history.Warning().isEmpty())
            std::printf("warning %s\n", qPrintable(history.Warning()));
    };
    auto attempt = [&tag](int Number) {
        TUpgradeAttempt a;
        a.Way = "serial";
        a.Port = QString("/dev/writer-%1").arg(tag);
        a.InstrumentType = "16";
        a.VersionBefore = "1.10";
        a.ImageFile = "/images/sample-2.00.bin";
        a.ImageVersion = "2.00";
        a.Message = QString("%1 %2").arg(tag).arg(Number);
        return a;
    };

    if (args[2] == "--hang") {
        TUpgradeAttempt a = attempt(0);
        const qint64 id = history.Begin(a);
        warn();
        std::printf("begun %lld\n", static_cast<long long>(id));
        std::fflush(stdout);
        for (;;)
            ::pause();
    }

    const int count = args[2].toInt();
    int missing = 0;
    for (int i = 0; i < count; ++i) {
        TUpgradeAttempt a = attempt(i);
        history.Begin(a);
        warn();
        a.PagesSent = 446;
        a.Resends = i % 3;
        a.Outcome = HistoryOutcome::Completed;
        a.Message = QString("%1 %2").arg(tag).arg(i);
        const bool finished = history.Finish(a);
        warn();
        std::printf("id %lld\n", static_cast<long long>(a.Id));
        if (!finished)  // a row that Begin could not write is written whole here
            ++missing;
    }
    std::fflush(stdout);
    return missing == 0 ? 0 : 3;
}
