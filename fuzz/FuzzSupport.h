#pragma once
// What every fuzz target shares: one application object for the Qt parts,
// message boxes that are answered at once and not kept, and a way to hand a
// component a file made of the fuzzer's bytes.

#include <QByteArray>
#include <QString>

class FuzzedDataProvider;

// Called once from LLVMFuzzerInitialize.
void FuzzInitialise(int* argc, char*** argv);

// Lets posted notifications and zero-length timers run.
void FuzzProcessEvents();

// A file holding Data, named by a path that stays valid until the next call.
QString FuzzFile(const QByteArray& Data);

// One received chunk: up to MaxBytes of the fuzzer's bytes, or, as a flood
// brings them, a short run of them repeated up to 1 MiB.
QByteArray FuzzChunk(FuzzedDataProvider& In, int MaxBytes);
