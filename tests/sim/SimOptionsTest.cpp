#include "sim/SimOptions.h"

#include <gtest/gtest.h>

namespace {

bool parse(QStringList arguments, SimOptions* options, QString* error)
{
    arguments.prepend("kt4-sim");
    return parseSimOptions(arguments, options, error);
}

} // namespace

TEST(SimOptionsTest, DefaultsRunWithoutFaults)
{
    SimOptions o;
    QString error;
    ASSERT_TRUE(parse({}, &o, &error)) << error.toStdString();
    EXPECT_EQ(o.mode, SimOptions::Mode::Run);
    EXPECT_EQ(o.version, "1.10");
    EXPECT_FALSE(o.versionGiven);
    EXPECT_EQ(o.baud, 0);
    EXPECT_EQ(o.delayMs, 0);
    EXPECT_EQ(o.faults.nakEvery, 0);
    EXPECT_EQ(o.faults.dropPage, -1);
    EXPECT_EQ(o.faults.wrongEchoPage, -1);
    EXPECT_EQ(o.faults.loseAfterPage, -1);
    EXPECT_FALSE(o.faults.wrongType);
    EXPECT_FALSE(o.faults.pfmNak);
    EXPECT_FALSE(o.verbose);
}

TEST(SimOptionsTest, EveryOptionIsRead)
{
    SimOptions o;
    QString error;
    ASSERT_TRUE(parse({"--link", "/tmp/kt4", "--verbose", "--nak-every", "10", "--drop-page", "70",
                       "--wrong-echo", "80", "--wrong-type", "--delay-ms", "25", "--baud", "115200",
                       "--lose-after", "200", "--pfm-nak", "--version", "0.99", "--flash-out",
                       "/tmp/out.bin", "--initial-flash", "/tmp/in.bin"},
                      &o, &error))
        << error.toStdString();
    EXPECT_EQ(o.linkPath, "/tmp/kt4");
    EXPECT_TRUE(o.verbose);
    EXPECT_EQ(o.faults.nakEvery, 10);
    EXPECT_EQ(o.faults.dropPage, 70);
    EXPECT_EQ(o.faults.wrongEchoPage, 80);
    EXPECT_TRUE(o.faults.wrongType);
    EXPECT_EQ(o.delayMs, 25);
    EXPECT_EQ(o.baud, 115200);
    EXPECT_EQ(o.faults.loseAfterPage, 200);
    EXPECT_TRUE(o.faults.pfmNak);
    EXPECT_EQ(o.version, "0.99");
    EXPECT_TRUE(o.versionGiven);
    EXPECT_EQ(o.flashOut, "/tmp/out.bin");
    EXPECT_EQ(o.initialFlash, "/tmp/in.bin");
}

TEST(SimOptionsTest, MakeImageModeWithItsTexts)
{
    SimOptions o;
    QString error;
    ASSERT_TRUE(parse({"--make-image", "/tmp/a.bin", "--image-version", "3.00", "--image-date",
                       "2025-01-02 03:04:05"},
                      &o, &error))
        << error.toStdString();
    EXPECT_EQ(o.mode, SimOptions::Mode::MakeImage);
    EXPECT_EQ(o.makeImage, "/tmp/a.bin");
    EXPECT_EQ(o.imageVersion, "3.00");
    EXPECT_EQ(o.imageDate, "2025-01-02 03:04:05");
}

TEST(SimOptionsTest, WrongValuesAreRefusedWithTheOptionNamed)
{
    const QList<QStringList> wrong = {
        {"--nak-every", "0"},          {"--nak-every", "x"},   {"--drop-page", "-1"},
        {"--wrong-echo", "65536"},     {"--baud", "0"},        {"--delay-ms", "-5"},
        {"--image-version", "1.2"},    {"--image-date", "2025-01-02"},
        {"--lose-after", ""},
    };
    for (const QStringList& arguments : wrong) {
        SimOptions o;
        QString error;
        EXPECT_FALSE(parse(arguments, &o, &error)) << arguments.join(' ').toStdString();
        EXPECT_TRUE(error.contains(arguments.first())) << error.toStdString();
    }
}

TEST(SimOptionsTest, UnknownOptionsAndArgumentsAreRefused)
{
    SimOptions o;
    QString error;
    EXPECT_FALSE(parse({"--no-such-option"}, &o, &error));
    EXPECT_FALSE(error.isEmpty());
    error.clear();
    EXPECT_FALSE(parse({"stray"}, &o, &error));
    EXPECT_TRUE(error.contains("stray"));
}

TEST(SimOptionsTest, HelpListsTheOptions)
{
    SimOptions o;
    QString error;
    ASSERT_TRUE(parse({"--help"}, &o, &error));
    EXPECT_EQ(o.mode, SimOptions::Mode::Help);
    EXPECT_TRUE(o.helpText.contains("--lose-after"));
    EXPECT_TRUE(o.helpText.contains("--make-image"));
}
