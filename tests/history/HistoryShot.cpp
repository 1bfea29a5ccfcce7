// kt4-history-shot: a picture of the window's "Upgrade History…" on a real X
// display (Xvfb), for people to look at; not a test.
//
//   KT4_HISTORY=FILE kt4-history-shot OUT.png

#include "app/HistoryDialog.h"
#include "app/uFlash.h"
#include "platform/ErrorDisplay.h"

#include <QApplication>
#include <QMenu>
#include <QScreen>
#include <QTimer>
#include <cstdio>

int main(int argc, char** argv)
{
    TGuardedApplication<QApplication> app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: KT4_HISTORY=FILE kt4-history-shot OUT.png\n");
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[1]);
    TfrmUpgrade window;
    window.move(10, 10);
    window.show();
    QTimer::singleShot(500, &window, [&] {
        for (QAction* action : window.mnuHelp->actions())
            if (action->text() == "Upgrade History…")
                action->trigger();
        if (auto* dialog = window.findChild<THistoryDialog*>("frmHistory")) {
            dialog->resize(1000, 300);
            dialog->move(40, 160);
        }
    });
    QTimer::singleShot(1500, &window, [&] {
        const bool saved = QGuiApplication::primaryScreen()->grabWindow(0).save(out);
        std::printf("%s %s\n", saved ? "saved" : "could not save", qPrintable(out));
        QCoreApplication::exit(saved ? 0 : 1);
    });
    return app.exec();
}
