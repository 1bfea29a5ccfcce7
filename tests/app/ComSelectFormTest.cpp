#include "app/ComSelectForm.h"

#include <QLabel>
#include <gtest/gtest.h>

TEST(ComSelectForm, LayoutTextsAndChoice)
{
    TComSelectForm form({3, 12, 17});
    EXPECT_EQ(form.windowTitle(), "Select Port");
    EXPECT_EQ(form.size(), QSize(220, 131));
    QStringList labels;
    for (auto* l : form.findChildren<QLabel*>())
        labels << l->text();
    EXPECT_TRUE(labels.contains("The configured serial port is not valid."));
    EXPECT_TRUE(labels.contains("Please choose another port."));
    ASSERT_EQ(form.PortsComboBox->count(), 3);
    EXPECT_EQ(form.PortsComboBox->itemText(1), "COM12");
    EXPECT_EQ(form.PortsComboBox->currentIndex(), 0);
    EXPECT_EQ(form.SelectedComNumber(), 3);
    form.PortsComboBox->setCurrentIndex(1);
    EXPECT_EQ(form.SelectedComNumber(), 12);
    EXPECT_TRUE(form.OKBtn->isDefault());
    EXPECT_EQ(form.OKBtn->text(), "OK");
    EXPECT_EQ(form.CancelBtn->text(), "Cancel");
    EXPECT_LT(form.OKBtn->x(), form.CancelBtn->x());
}

TEST(ComSelectForm, WithNoPortsOnlyCancelCanClose)
{
    TComSelectForm form({});
    EXPECT_FALSE(form.OKBtn->isEnabled());
    EXPECT_EQ(form.SelectedComNumber(), 0);
}
