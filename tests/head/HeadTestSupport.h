#pragma once
// The head on a scripted link: a real link that passes its commands through a
// fake dock, so a test sees every command and answers it by hand.

#include "head/KT4Head.h"
#include "tests/link/LinkTestSupport.h"

#include <gtest/gtest.h>

struct HeadOnScriptedLink : ::testing::Test {
    HeadOnScriptedLink()
    {
        link.SetDock(&dock);
        head.SetKeskLink(&link);
        head.OnIsOnline = [this](QObject*, bool s) { online << s; };
        head.OnFlashProgress = [this](QObject*, int p, int t) { progress << std::make_pair(p, t); };
        head.OnProgFlashSent = [this](QObject*, int e) { programmed << e; };
    }

    // The command last sent, and its index digit.
    QByteArray Last() const { return dock.Sent.isEmpty() ? QByteArray() : dock.Sent.last(); }
    char Index() const { return Last().size() >= 4 ? Last()[3] : '?'; }
    // An answer as it comes through the dock, delivered once the link has
    // put it together (an answer of no fixed size after a quiet moment).
    void Answer(const QByteArray& Tail)
    {
        dock.Receive(Tail);
        ASSERT_TRUE(WaitFor([this] { return !link.AnswerWaiting(); }));
    }
    // A positive answer to the command last sent, with its index.
    void Ack(const QByteArray& Extra = QByteArray()) { Answer(QByteArray("ACK") + Index() + Extra); }
    // The answer to the page last sent, echoing Page.
    void AckPage(int Page)
    {
        QByteArray echo;
        echo += char(Page >> 8);
        echo += char(Page & 0xFF);
        Ack(echo);
    }
    int SentPage() const
    {
        return static_cast<unsigned char>(Last()[4]) * 256 + static_cast<unsigned char>(Last()[5]);
    }

    void BringOnline(const QByteArray& Version = "1.10")
    {
        head.Connect(true);
        dock.InstrumentConnected();
        Ack();
        Ack("16");
        Ack(Version);
        ASSERT_TRUE(head.OnLine());
    }

    TScriptedDialogsScope dialogs;
    TFakeDock dock;
    TKeskLink link;
    TKT4Head head;
    QList<bool> online;
    QList<std::pair<int, int>> progress;
    QList<int> programmed;
};
