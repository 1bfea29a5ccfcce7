#pragma once
// Errors as events: a component that meets a failure the operator must hear
// of raises its OnError with a code and the text, and the program's view
// decides how to tell it (a box in the window, a line on standard error from
// the command line). A component nobody listens to shows the text as a plain
// box, as it always has: callers that use it directly keep their boxes.

#include "platform/Events.h"

#include <QString>

// The codes, by the component that raises them.
enum TErrorCode {
    // the link
    ecLinkCommandTooShort = 100,
    ecLinkNotConnected,
    ecLinkNak,
    ecLinkResponseTooShort,
    ecLinkWrongIndex,
    ecLinkIrdaDisabled,
    ecLinkIrSocket,
    ecLinkPortFailed,
    ecLinkPortLost,       // the serial device went away (an adapter unplugged)
    ecLinkPortWrite,      // the serial port refused bytes to send
    ecLinkDataHandler,    // a handler of the bytes received failed
    ecLinkResponseTooLong,
    ecLinkUnused112,      // no longer raised; kept so that no other failure takes its number
    // the head
    ecHeadNoLink = 200,
    ecHeadWrongInstrument,
    ecHeadUnexpectedEvent,
    ecHeadPageOutOfBounds,
    ecHeadWrongDataLength,
    ecHeadPageError,
    ecHeadPageNotAccepted,
    // the docks
    ecDockNoDevices = 300,
    ecDockPending,
    ecDockNotEnabled,
    ecDockHalted,
    ecDockTooLong,
    ecDockTcpSend,
    ecDockUsbNotEnabled,
    ecDockTcpControl,
    ecDockSearch,
    ecDockNoAnswer,
    ecDockHandBack,
    // the USB device
    ecUsbPipeNotOpen = 400,
    ecUsbOpenFailed,
    ecUsbDeviceInfo,
    ecUsbTooManyPipes,
    ecUsbAlreadyConnected,
    ecUsbNoPipes,
    ecUsbWakeUp,
};

struct TErrorInfo {
    int Code = 0;
    QString Text;
};

using TErrorEvent = TEvent<QObject*, const TErrorInfo&>;

// Raises Event with the code and text, or shows the text as a plain box when
// the event has no handler.
void RaiseError(const TErrorEvent& Event, QObject* Sender, int Code, const QString& Text);
