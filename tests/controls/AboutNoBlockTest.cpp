// The about box in a program that carries no version block: nothing is read,
// so the box shows what its version reader held before.

#include "controls/About.h"

#include <gtest/gtest.h>

TEST(AboutBoxWithoutVersionBlock, FirstUseShowsEmptyTextsAndTheBareCaption)
{
    TAboutBox box;
    box.show();
    EXPECT_EQ(box.windowTitle(), "About Corvnae ");
    EXPECT_EQ(box.lblProductName->text(), "");
    EXPECT_EQ(box.lblCopyright->text(), "");
    EXPECT_EQ(box.lblComments->text(), "");
    EXPECT_EQ(box.memSysInfo->toPlainText().split('\n').size(), 5);  // the system tab fills all the same
}

TEST(AboutBoxWithoutVersionBlock, WhatTheReaderHeldStays)
{
    TAboutBox box;
    box.AppInfo->SetExeName(KT4_PROGRAM_WITH_BLOCK);
    box.AppInfo->ReadVersionInfo();
    ASSERT_EQ(box.AppInfo->ProductName(), "Controls Tests");
    box.show();
    EXPECT_EQ(box.AppInfo->ExeName(), QCoreApplication::applicationFilePath());
    EXPECT_EQ(box.windowTitle(), "About Corvnae Controls Tests");
    EXPECT_EQ(box.lblCopyright->text(), "Copyright (C) 2026 Test Maker Ltd");
    EXPECT_EQ(box.AppInfo->MajorVersion(), "3");
}
