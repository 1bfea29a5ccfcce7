#include "upgrade/UpgradeTexts.h"

#include <QLocale>
#include <gtest/gtest.h>

namespace {
void ExpectVersionRules()
{
    EXPECT_TRUE(IsOlderImage("1.20", "1.10"));
    EXPECT_FALSE(IsOlderImage("1.10", "1.20"));
    EXPECT_FALSE(IsOlderImage("1.20", "1.20"));
    EXPECT_FALSE(IsOlderImage("V1.2", "1.10"));
    EXPECT_FALSE(IsOlderImage("", "1.10"));
    EXPECT_FALSE(IsOlderImage("1.40", "1.5")) << "numbers, not texts: 1.5 is newer than 1.40";
    EXPECT_TRUE(IsOlderImage("2", "1.99"));
    EXPECT_FALSE(IsOlderImage("1.20", QString(4, QChar(0))));
}
}  // namespace

TEST(UpgradeTexts, OlderImageRule)
{
    ExpectVersionRules();
}

TEST(UpgradeTexts, OlderImageRuleUnderACommaLocale)
{
    const QLocale previous;
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    ExpectVersionRules();
    EXPECT_EQ(VersionNumber("1,20"), 0.0) << "the comma is not the separator of version texts";
    QLocale::setDefault(previous);
}
