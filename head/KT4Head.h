#pragma once
// The KT4 head instrument: its session (enquiry, identity, flash version), its
// command texts, and the upload of a flash image page by page.
//
// Continuation style: before every command the head writes into the link's
// single-slot events the routine that handles the answer to exactly that
// command.

#include "link/KeskLink.h"
#include "platform/ErrorEvent.h"
#include "platform/Events.h"

#include <QObject>

enum THandshakeState { hsEnquiry, hsIdentify, hsVersion };

// A flash image: 131072 bytes, a memory image of pages of 256 bytes.
constexpr int FlashImageSize = 0x20000;
constexpr int FlashPageSize = 256;
constexpr int FirstFlashPage = 66;           // pages below are never sent
constexpr int FirstFlashAddress = 0x4200;
constexpr int FlashDateOffset = 0x1FFC0;     // 19 bytes
constexpr int FlashVersionOffset = 0x1FFD4;  // 4 bytes
constexpr int FlashTypeOffset = 0x1FFD9;     // must hold 0x10
constexpr int PageCommandSize = 264;

// How often a page is sent again after an unsuccessful answer (a negative
// answer, a wrong or missing page echo, no answer in time) before the upload is
// given up as failed. A noisy infrared line loses or garbles a single answer
// now and then, rarely five in a row for the same page; an instrument that
// refuses a page five times will refuse it for ever. Five also bounds a silent
// instrument to 6 x 15 s on one page.
constexpr int MaxPageResends = 5;

class TKT4Head : public QObject {
public:
    explicit TKT4Head(QObject* Owner = nullptr);

    // ---- session ----
    TKeskLink* KeskLink() const { return FKeskLink; }
    void SetKeskLink(TKeskLink* Value) { FKeskLink = Value; }
    bool OnLine() const { return FOnLine; }
    THandshakeState HandshakeState() const { return FHandshakeState; }
    QByteArray FlashVersion() const { return FFlashVersion; }
    void Connect(bool Active);
    // Enquiries of this handshake that went out and were not answered.
    int UnansweredEnquiries() const { return FUnansweredEnquiries; }

    // ---- flash image and upload ----
    bool LoadFlashFile(const QString& FileName);
    QByteArray FileVersion() const { return FFileVersion; }
    QByteArray FileDate() const { return FFileDate; }
    const QByteArray& FlashImage() const { return FFlashImage; }
    void SendFlash();
    void SendPage(int Page, const QByteArray& Data);

    int CurrentAddress() const { return FCurrentAddress; }
    int EndAddress() const { return FEndAddress; }
    int PageNumber() const { return FPageNumber; }
    int LastPage() const { return FLastPage; }
    bool Uploading() const { return FUploading; }
    // Pages sent again in this upload, after an unsuccessful answer or none.
    int TotalResends() const { return FTotalResends; }

    // The 258-byte payload of the page at Address: its bytes and their 16-bit
    // sum, high byte first.
    QByteArray PagePayload(int Address) const;
    // The page command: "WEP ", the page number (high byte first), the payload.
    static QByteArray PageCommand(int Page, const QByteArray& Data);

    // Time-outs are whole seconds. They may all be replaced by one number of
    // milliseconds (the command line's --answer-timeout-ms; 0 restores the
    // instrument's own).
    void SetAnswerTimeOutMs(int Milliseconds) { FAnswerTimeOutMs = Milliseconds; }

    // ---- events ----
    TLinkStatus OnIsOnline;
    TOnProgress OnFlashProgress;
    TSentEE OnProgFlashSent;
    TSentEE OnSentEEPage;
    TNotifyEvent OnTimeOut;
    TErrorEvent OnError;  // a failure to tell the operator (without a handler: a box)
    // What a support trace notes besides the texts: an answer that did not
    // come in its time, a page sent again and why. Nothing else hangs on it.
    TEvent<QObject*, const QString&> OnNote;

private:
    // session
    void StartHandshake();
    void SendCommand(const QByteArray& Text, int TimeOutSeconds);
    QString TimeOutText(int TimeOutSeconds) const;  // "15 s", or the replacing "400 ms"
    void ResendEnquiry();
    QByteArray HandshakeAnswer(const QByteArray& Data) const;
    void HandshakeReply(const QByteArray& Received);
    void GoOnline(const QByteArray& Data);
    void LinkUpChanged(bool Status);
    void LinkDownChanged(bool Status);

    // upload
    void PageReply(const QByteArray& Data);
    void NextPage();
    void ResendPage();
    void ProgramReply(const QByteArray& Data);
    void UploadTimeOut();
    bool IsStaleAnswer(const QByteArray& Data) const;
    bool IsAcknowledgement(const QByteArray& Data) const;
    void IgnoreStaleAnswer();
    void PageNotAccepted(const QString& PageError);
    void RefusePage(TErrorCode Code, const QString& Text);
    void UploadFailed();
    void EndUpload();

    TKeskLink* FKeskLink = nullptr;
    bool FOnLine = false;
    THandshakeState FHandshakeState = hsEnquiry;
    QByteArray FFlashVersion;

    QByteArray FFlashImage;
    bool FImageLoaded = false;
    QByteArray FFileVersion;
    QByteArray FFileDate;
    int FCurrentAddress = FirstFlashAddress;
    int FEndAddress = FlashImageSize;
    int FPageSize = FlashPageSize;
    int FPageNumber = FirstFlashPage;
    int FLastPage = 0;
    QByteArray FLastPageData;
    bool FUploading = false;
    bool FProgramming = false;
    int FResends = 0;           // unsuccessful answers for the page being sent
    int FTotalResends = 0;
    bool FHandshakeDone = false;  // this session's handshake has brought the instrument online
    int FUnansweredEnquiries = 0;
    int FAnswerTimeOutMs = 0;
};
