#pragma once
// The texts the operator sees on the road of one upgrade, shared by the window
// and the command-line upgrade, and the rule for the older-image question.

#include <QString>

namespace UpgradeText {
inline const QString EraseWarning =
    "This operation will erase the Datalogger data. Cancel if you want to download the data before performing this "
    "operation.";
inline const QString PlaceInstrument =
    "Please turn the Corvane ZRA/ZRN on and place it in front of the IrDA(Infrared) port. Then Click OK.";
inline const QString PlaceInDock =
    "Please turn the Corvane ZRA/ZRN on, click OK and then place it in the dock that says \"Insert Corvane ZRA/ZRN "
    "To FLASH\".";
inline const QString NoUsbDock =
    "No docks connected to the USB bus were found, Please enter the address of remote dock, or pick one from the "
    "list.";
inline const QString UseUsbDock = "Do you want to use the dock connected to this computer";
inline const QString EnterDockAddress = "Please enter the remote dock address, or pick one from the list.";
inline const QString Connecting = "Connecting to Corvane ZRA/ZRN";
inline const QString NotAFlashFile = "This is not a valid Corvane ZRA/ZRN flash file!";
inline const QString UpgradeToVersion = "Upgrade To Version ";
inline const QString OlderImage = "The flash version you are loading is older then the existing one!\rProceed anyway?";
inline const QString ProgramFailed = "Program Command Failed!.  New firmware not uploaded!";
inline const QString Completed = "Flash Upload Completed";
inline const QString Disconnected = "Corvane ZRA/ZRN Disconnected";
}  // namespace UpgradeText

// A version text as a decimal number written with "." (whatever the locale);
// 0 for a text that is not a number.
double VersionNumber(const QString& Text);

// Whether loading Image over Instrument asks the older-image question: both
// are numbers above 0 and the instrument's is the greater.
bool IsOlderImage(const QString& Instrument, const QString& Image);
