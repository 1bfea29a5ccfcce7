#pragma once
// The application's default error display: an exception that escapes an event
// handler becomes an error box with its text. Qt never unwinds through its event
// loop, because every event passes through notify() and is caught there.

#include "platform/Dialogs.h"

#include <QCoreApplication>
#include <exception>

// Shows the text of an exception that no handler caught.
void ShowException(const QString& Text);

template <class TBaseApplication>
class TGuardedApplication : public TBaseApplication {
public:
    using TBaseApplication::TBaseApplication;

    bool notify(QObject* Receiver, QEvent* Event) override
    {
        try {
            return TBaseApplication::notify(Receiver, Event);
        } catch (const std::exception& e) {
            ShowException(QString::fromLocal8Bit(e.what()));
        } catch (...) {
            ShowException(QStringLiteral("Unknown error"));
        }
        return false;
    }
};

using TCoreApplication = TGuardedApplication<QCoreApplication>;

// An error the components raise, with an optional numeric code.
class EKT4Error : public std::exception {
public:
    explicit EKT4Error(const QString& Message, int Code = 0)
        : FMessage(Message.toLocal8Bit()), FCode(Code)
    {
    }
    const char* what() const noexcept override { return FMessage.constData(); }
    QString Message() const { return QString::fromLocal8Bit(FMessage); }
    int Code() const { return FCode; }

private:
    QByteArray FMessage;
    int FCode;
};
