#include "head/KT4Head.h"

#include "link/KeskFraming.h"
#include "platform/Dialogs.h"
#include "platform/OutsideText.h"

#include <QFile>

namespace {

constexpr int EnquiryTimeOut = 5;
constexpr int CommandTimeOut = 30;
constexpr int PageTimeOut = 15;
constexpr int ProgramTimeOut = 30;

// The page number the instrument echoes in characters 5 and 6 of a page answer;
// -1 when the answer is too short to carry one.
int PageEcho(const QByteArray& Reply)
{
    if (Reply.size() < 6)
        return -1;
    return static_cast<unsigned char>(Reply[4]) * 256 + static_cast<unsigned char>(Reply[5]);
}

}  // namespace

TKT4Head::TKT4Head(QObject* Owner) : QObject(Owner)
{
}

// ------------------------------------------------------------------ session

void TKT4Head::SendCommand(const QByteArray& Text, int TimeOutSeconds)
{
    FKeskLink->SendMsg(Text, FAnswerTimeOutMs > 0 ? -FAnswerTimeOutMs : TimeOutSeconds);
}

QString TKT4Head::TimeOutText(int TimeOutSeconds) const
{
    return FAnswerTimeOutMs > 0 ? QString("%1 ms").arg(FAnswerTimeOutMs) : QString("%1 s").arg(TimeOutSeconds);
}

void TKT4Head::Connect(bool Active)
{
    if (!FKeskLink) {
        RaiseError(OnError, this, ecHeadNoLink, "No KeskLink Object Assigned!");
        return;
    }
    if (!Active) {
        FUploading = false;
        if (FKeskLink->Connected())
            FKeskLink->SetConnected(false);
        return;
    }
    if (FUploading)
        return;  // a handshake in the middle of an upload would break it
    FHandshakeState = hsEnquiry;
    if (FKeskLink->Connected()) {
        StartHandshake();
        return;
    }
    FKeskLink->SetInstrumentType(tpKT4Head);
    FKeskLink->OnLinkUp = [this](QObject*, bool Status) { LinkUpChanged(Status); };
    FKeskLink->OnLinkDown = [this](QObject*, bool Status) { LinkDownChanged(Status); };
    FKeskLink->SetConnected(true);
}

void TKT4Head::StartHandshake()
{
    FHandshakeDone = false;
    FUnansweredEnquiries = 0;
    FKeskLink->OnTimeOut = [this](QObject*, quint16) { ResendEnquiry(); };
    FKeskLink->OnReceiveMsg = [this](QObject*, const QByteArray& Data) { HandshakeReply(Data); };
    SendCommand("ENQ ", EnquiryTimeOut);
}

// Repeated every five seconds, without limit, until the instrument answers.
void TKT4Head::ResendEnquiry()
{
    if (!FKeskLink->Connected())
        return;
    const bool enquiry = FHandshakeState == hsEnquiry;
    if (enquiry)
        ++FUnansweredEnquiries;
    OnNote(this, QString("no answer to \"%1\" in %2: \"ENQ \" sent again")
                     .arg(enquiry ? "ENQ " : FHandshakeState == hsIdentify ? "WHO " : "VFL ")
                     .arg(TimeOutText(enquiry ? EnquiryTimeOut : CommandTimeOut)));
    SendCommand("ENQ ", EnquiryTimeOut);
}

// The answer to the outstanding handshake command: the part of Data that
// begins with "ACK" and that command's index (answers joined in one read are
// told apart), up to the next answer; empty when Data holds none.
QByteArray TKT4Head::HandshakeAnswer(const QByteArray& Data) const
{
    const QByteArray word = QByteArray("ACK") + FKeskLink->MsgIndex();
    const qsizetype at = Data.lastIndexOf(word);
    if (at < 0)
        return {};
    QByteArray answer = Data.mid(at);
    for (const char* next : {"ACK", "NAK"}) {
        const qsizetype end = answer.indexOf(next, 4);
        if (end > 0)
            answer.truncate(end);
    }
    return answer;
}

// Only an answer that carries the outstanding command's index moves the
// handshake on: an answer to an earlier command (a second Start while the
// instrument was slow to answer) or a negative one is passed over, and the
// command keeps the deadline it was sent with.
void TKT4Head::HandshakeReply(const QByteArray& Received)
{
    if (FHandshakeDone)
        return;  // one handshake brings the instrument online once: a repeated answer is no new session
    const QByteArray Data = HandshakeAnswer(Received);
    if (Data.isEmpty()) {
        FKeskLink->ResumeTimeOut();  // the handshake waits
        return;
    }
    switch (FHandshakeState) {
    case hsEnquiry:
        FHandshakeState = hsIdentify;
        SendCommand("WHO ", CommandTimeOut);
        break;
    case hsIdentify:
        if (Data.contains("16")) {  // the instrument type, written in decimal, wherever it stands
            FHandshakeState = hsVersion;
            SendCommand("VFL ", CommandTimeOut);
        } else {
            RaiseError(OnError, this, ecHeadWrongInstrument, "Wrong instrument type, disconnecting!");
            Connect(false);
        }
        break;
    case hsVersion:
        GoOnline(Data);
        break;
    }
}

// The version is shown, compared and recorded: only what a version can be is
// kept (a few dozen printable characters); a longer answer or one with line
// breaks or control bytes is cut, and the note says so.
void TKT4Head::GoOnline(const QByteArray& Data)
{
    const QByteArray answer = Data.mid(4);  // what the instrument adds starts at the fifth character
    FFlashVersion = OutsideText::KeptVersion(answer);
    if (FFlashVersion.size() < answer.size())
        OnNote(this, QString("the version answer holds %1 bytes, not all of them a version's: kept \"%2\", "
                             "%3 bytes cut")
                         .arg(answer.size())
                         .arg(QString::fromLatin1(FFlashVersion))
                         .arg(answer.size() - FFlashVersion.size()));
    FOnLine = true;
    FHandshakeDone = true;
    FKeskLink->OnTimeOut = [](QObject*, quint16) {};
    OnIsOnline(this, true);
}

void TKT4Head::LinkUpChanged(bool Status)
{
    if (Status)
        Connect(true);
    else
        FOnLine = false;
}

void TKT4Head::LinkDownChanged(bool Status)
{
    if (Status) {
        RaiseError(OnError, this, ecHeadUnexpectedEvent, "Unexpected Event!");
        return;
    }
    FUploading = false;  // a lost link ends the upload; nothing is sent after it
    FOnLine = false;
    OnIsOnline(this, false);
}

// ------------------------------------------------------------ flash image

bool TKT4Head::LoadFlashFile(const QString& FileName)
{
    QFile file(FileName);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray image = file.read(FlashImageSize + 1);
    file.close();
    if (image.size() != FlashImageSize)
        return false;
    FFileVersion = image.mid(FlashVersionOffset, 4);
    FFileDate = image.mid(FlashDateOffset, 19);
    if (static_cast<unsigned char>(image[FlashTypeOffset]) != 0x10)
        return false;
    // Only an accepted image replaces the one that would be uploaded.
    FFlashImage = image;
    FImageLoaded = true;
    return true;
}

QByteArray TKT4Head::PagePayload(int Address) const
{
    QByteArray payload = FFlashImage.mid(Address, FPageSize);
    const quint16 sum = Checksum16(payload);
    payload += char(sum >> 8);
    payload += char(sum & 0xFF);
    return payload;
}

QByteArray TKT4Head::PageCommand(int Page, const QByteArray& Data)
{
    QByteArray command("WEP ");
    command += char((Page >> 8) & 0xFF);
    command += char(Page & 0xFF);
    command += Data;
    return command;
}

// ------------------------------------------------------------------ upload

void TKT4Head::SendFlash()
{
    if (!FImageLoaded || !FKeskLink || !FOnLine)
        return;  // nothing valid to send, or no instrument to send it to
    FCurrentAddress = FirstFlashAddress;
    FEndAddress = FlashImageSize;
    FPageSize = FlashPageSize;
    FPageNumber = FirstFlashPage;
    FUploading = true;
    FProgramming = false;
    FResends = 0;
    FTotalResends = 0;
    OnSentEEPage = [this](QObject*, int) { NextPage(); };
    OnTimeOut = [this](QObject*) { ResendPage(); };
    FKeskLink->OnTimeOut = [this](QObject*, quint16) { UploadTimeOut(); };
    SendPage(FPageNumber, PagePayload(FCurrentAddress));
}

// A page number outside the flash, or a payload that is not one page and its
// sum, is never sent: the instrument would write it where no page belongs.
// It ends the upload as failed.
void TKT4Head::SendPage(int Page, const QByteArray& Data)
{
    if (Page > 1024 || Page < 0) {
        RefusePage(ecHeadPageOutOfBounds, "Page out of bounds!");
        return;
    }
    if (Data.size() != 258) {
        RefusePage(ecHeadWrongDataLength, "Wrong data length");
        return;
    }
    FLastPage = Page;
    FLastPageData = Data;
    FKeskLink->OnReceiveMsg = [this](QObject*, const QByteArray& Reply) { PageReply(Reply); };
    SendCommand(PageCommand(Page, Data), PageTimeOut);
}

// An answer that carries another index than the outstanding command's (a late
// answer to a page that was sent again, a stray line) is not the answer to the
// command now outstanding.
bool TKT4Head::IsStaleAnswer(const QByteArray& Data) const
{
    return Data.size() >= 4 && Data[3] != FKeskLink->MsgIndex();
}

// Where a false yes would leave the instrument unusable, yes is an answer that
// begins with "ACK" and the outstanding command's index, not "ACK" anywhere
// ("NAK9 NOT PROGRAMMED: BAD PACKET" holds one).
bool TKT4Head::IsAcknowledgement(const QByteArray& Data) const
{
    return Data.size() >= 4 && Data.startsWith("ACK") && Data[3] == FKeskLink->MsgIndex();
}

void TKT4Head::IgnoreStaleAnswer()
{
    // The link stopped the time-out when this answer came; the outstanding
    // command keeps the deadline it was sent with, so chatter cannot hold it off.
    FKeskLink->ResumeTimeOut();
}

void TKT4Head::PageReply(const QByteArray& Data)
{
    if (!FUploading)
        return;
    if (IsStaleAnswer(Data)) {
        IgnoreStaleAnswer();
        return;
    }
    if (!IsAcknowledgement(Data)) {
        PageNotAccepted(QString());  // a negative answer: the same page again
        return;
    }
    const int echo = PageEcho(Data);
    if (echo != FLastPage) {
        // Never counted as the page just sent: a page missing from the flash
        // would leave the instrument unusable.
        PageNotAccepted(QString("Page Error! %1=%2").arg(FLastPage).arg(echo < 0 ? QString("?") : QString::number(echo)));
        return;
    }
    OnSentEEPage(this, 0);
}

// The page was not taken: it is sent again, a bounded number of times. Only the
// first "Page Error!" of a page reaches the operator as a box.
void TKT4Head::PageNotAccepted(const QString& PageError)
{
    if (FResends >= MaxPageResends) {
        UploadFailed();
        return;
    }
    const bool firstFailure = FResends == 0;
    ++FResends;
    ++FTotalResends;
    OnNote(this, QString("page %1 refused (%2): sent again, attempt %3 of %4")
                     .arg(FLastPage)
                     .arg(PageError.isEmpty() ? QString("a negative answer") : PageError)
                     .arg(FResends + 1)
                     .arg(MaxPageResends + 1));
    if (!PageError.isEmpty() && firstFailure)
        RaiseError(OnError, this, ecHeadPageError, PageError);
    if (FUploading)  // the session may have ended while the box was open
        SendPage(FLastPage, FLastPageData);
}

void TKT4Head::RefusePage(TErrorCode Code, const QString& Text)
{
    const bool uploading = FUploading;
    if (uploading)
        EndUpload();
    RaiseError(OnError, this, Code, Text);
    if (uploading)
        Connect(false);
}

void TKT4Head::UploadFailed()
{
    EndUpload();
    RaiseError(OnError, this, ecHeadPageNotAccepted,
               QString("Page %1 was not accepted after %2 attempts. The upload has been stopped; "
                       "the new firmware is not in the instrument.")
                   .arg(FLastPage)
                   .arg(MaxPageResends + 1));
    Connect(false);
}

void TKT4Head::NextPage()
{
    FPageNumber += 1;
    FCurrentAddress += FPageSize;
    FResends = 0;
    OnFlashProgress(this, FCurrentAddress, FEndAddress);
    if (!FUploading)
        return;  // the session ended while the progress was shown
    if (FCurrentAddress < FEndAddress) {
        SendPage(FPageNumber, PagePayload(FCurrentAddress));
        return;
    }
    FProgramming = true;
    FKeskLink->OnReceiveMsg = [this](QObject*, const QByteArray& Reply) { ProgramReply(Reply); };
    if (FKeskLink->Connected())
        SendCommand("PFM ", ProgramTimeOut);
}

void TKT4Head::ResendPage()
{
    OnFlashProgress(this, FCurrentAddress, FEndAddress);
    SendPage(FPageNumber, PagePayload(FCurrentAddress));
}

// The answer to "PFM " is "ACK" and its index, nothing more: an old page's
// answer whose index digit happens to match (ten commands later) is not it.
void TKT4Head::ProgramReply(const QByteArray& Data)
{
    if (!FUploading)
        return;
    const bool acknowledged = IsAcknowledgement(Data) && Data.size() == 4;
    if (IsStaleAnswer(Data) || (!acknowledged && Data.startsWith("ACK"))) {
        IgnoreStaleAnswer();
        return;
    }
    EndUpload();
    if (acknowledged) {
        Connect(false);
        OnProgFlashSent(this, 0);
    } else {
        OnProgFlashSent(this, 1);
    }
}

// The link's time-out while pages are sent: the page is sent again, as after
// any unsuccessful answer; then the upload has failed. The program
// command is never sent twice: no answer counts as not acknowledged.
void TKT4Head::UploadTimeOut()
{
    if (!FUploading)
        return;
    if (FProgramming) {
        OnNote(this, QString("no answer to \"PFM \" in %1").arg(TimeOutText(ProgramTimeOut)));
        EndUpload();
        OnProgFlashSent(this, 1);
        return;
    }
    if (FResends >= MaxPageResends) {
        OnNote(this, QString("no answer to page %1 in %2").arg(FLastPage).arg(TimeOutText(PageTimeOut)));
        UploadFailed();
        return;
    }
    ++FResends;
    ++FTotalResends;
    OnNote(this, QString("no answer to page %1 in %2: sent again, attempt %3 of %4")
                     .arg(FLastPage)
                     .arg(TimeOutText(PageTimeOut))
                     .arg(FResends + 1)
                     .arg(MaxPageResends + 1));
    OnTimeOut(this);
}

void TKT4Head::EndUpload()
{
    FUploading = false;
    FProgramming = false;
    FKeskLink->OnTimeOut = [](QObject*, quint16) {};
}
