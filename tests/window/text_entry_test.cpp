// The controls that keep what the user types valid: the byte-limit rule of the text boxes and
// the IPv4 address control.
#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QTest>
#include <optional>

#include "common/wire_records.h"
#include "window/ip_address_edit.h"
#include "window/utf8_edit_limit.h"
#include "window/utf8_limited_edits.h"
#include "window/window_test_support.h"

namespace parlon::testing {
namespace {

// --- LimitEdit: before, after, limit -> what the box holds ---

QString Limited(const QString& before, const QString& after, size_t maxBytes) {
    const std::optional<LimitedEdit> limited = LimitEdit(before, after, maxBytes);
    return limited ? limited->text : after;
}

TEST(LimitEditTest, AChangeWithinTheLimitStands) {
    EXPECT_FALSE(LimitEdit(QStringLiteral("abc"), QStringLiteral("abcd"), 4));
    EXPECT_FALSE(LimitEdit(QString(), QString(), 0));
    EXPECT_FALSE(LimitEdit(QStringLiteral("abcd"), QStringLiteral("éé"), 4));
}

TEST(LimitEditTest, OneByteOverIsRefused) {
    const std::optional<LimitedEdit> limited =
        LimitEdit(QStringLiteral("abcd"), QStringLiteral("abXcd"), 4);
    ASSERT_TRUE(limited);
    EXPECT_EQ(limited->text, "abcd");
    EXPECT_EQ(limited->cursor, 2);  // where the refused character would have gone
}

TEST(LimitEditTest, AnInsertionIsCutToWholeCharactersThatFit) {
    // Pasting into the middle keeps what fits, never half a character.
    const std::optional<LimitedEdit> limited =
        LimitEdit(QStringLiteral("ab"), QStringLiteral("aéééb"), 5);
    ASSERT_TRUE(limited);
    EXPECT_EQ(limited->text, "aéb");
    EXPECT_EQ(limited->cursor, 2);
    EXPECT_EQ(Limited(QStringLiteral("ab"), QStringLiteral("aééb"), 5), "aéb");
    // A four-byte character (two UTF-16 units) is kept or dropped whole.
    EXPECT_EQ(Limited(QString(), QStringLiteral("x\U0001F600"), 4), "x");
    EXPECT_EQ(Limited(QString(), QStringLiteral("x\U0001F600"), 5), QStringLiteral("x\U0001F600"));
}

TEST(LimitEditTest, ReplacingASelectionCountsTheRemovedPart) {
    // "bcd" (3 bytes) replaced by "XYZW" (4) in a 5-byte text: one byte over, "XYZ" fits.
    EXPECT_EQ(Limited(QStringLiteral("abcde"), QStringLiteral("aXYZWe"), 5), "aXYZe");
}

TEST(LimitEditTest, AReplacedCharacterSharingLeadingBytesIsNotSplit) {
    // é (C3 A9) typed over ê (C3 AA) at the limit: the common lead byte is not kept alone.
    EXPECT_FALSE(LimitEdit(QStringLiteral("aê"), QStringLiteral("aé"), 3));
    EXPECT_EQ(Limited(QStringLiteral("aê"), QStringLiteral("aéé"), 3), "aé");
}

TEST(LimitEditTest, ATextOverTheLimitMayShrinkButNotGrow) {
    const QString fifteen = QStringLiteral("ABCDEFGHIJKLMNO");
    EXPECT_FALSE(LimitEdit(fifteen, QStringLiteral("ABCDEFGHIJKLMN"), 12));
    EXPECT_EQ(Limited(fifteen, fifteen + QLatin1Char('P'), 12), fifteen);
    // Typing over a selection of it removes the selection but inserts nothing.
    EXPECT_EQ(Limited(fifteen, QStringLiteral("AxEFGHIJKLMNO"), 12), "AEFGHIJKLMNO");
}

// --- the boxes apply it to typing and pasting ---

TEST(Utf8EditsTest, PastedLineBreaksBecomeBlanksAndTheLimitHolds) {
    Utf8TextEdit box(10, nullptr);
    QApplication::clipboard()->setText(QStringLiteral("one\ntwo\r\nthree"));
    box.paste();
    EXPECT_EQ(box.Text(), "one two th");
}

TEST(Utf8EditsTest, ProgramTextIsShownWholeAndTypingThenIsRefused) {
    Utf8TextEdit box(4, nullptr);
    box.ShowText(QStringLiteral("longer than four"));
    EXPECT_EQ(box.Text(), "longer than four");
    box.moveCursor(QTextCursor::End);
    TypeText(&box, QStringLiteral("!"));
    EXPECT_EQ(box.Text(), "longer than four");
}

TEST(Utf8EditsTest, TheLineEditRefusesPastedExcess) {
    Utf8LineEdit edit(12, nullptr);
    QApplication::clipboard()->setText(QStringLiteral("ÅÅÅÅÅÅÅ"));
    edit.paste();
    EXPECT_EQ(edit.text(), "ÅÅÅÅÅÅ");
}

// --- the IPv4 address control ---

class IpAddressEditTest : public ::testing::Test {
  protected:
    IpAddressEditTest() {
        m_edit.show();
        m_edit.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&m_edit));
    }
    QLineEdit* Field(int index) { return m_edit.Field(index); }

    IpAddressEdit m_edit{nullptr};
};

TEST_F(IpAddressEditTest, SetAndReadAddressesRoundTrip) {
    for (const char* address : {"127.0.0.1", "0.0.0.0", "255.255.255.255", "10.200.3.45"}) {
        m_edit.SetAddress(ParseIpv4(address));
        EXPECT_EQ(m_edit.Text(), address);
        EXPECT_EQ(m_edit.Address(), ParseIpv4(address)) << address;
    }
}

TEST_F(IpAddressEditTest, EmptyFieldsCountAsZero) {
    for (int index = 0; index < IpAddressEdit::kFieldCount; ++index) {
        Field(index)->clear();
    }
    Field(0)->setText(QStringLiteral("9"));
    EXPECT_EQ(m_edit.Text(), "9.0.0.0");
    EXPECT_EQ(m_edit.Address(), ParseIpv4("9.0.0.0"));
}

TEST_F(IpAddressEditTest, TypingADottedAddressFillsTheFields) {
    m_edit.SetAddress(0);
    Field(0)->setFocus();
    Field(0)->selectAll();
    TypeText(QApplication::focusWidget(), QStringLiteral("10."));
    TypeText(QApplication::focusWidget(), QStringLiteral("1."));
    TypeText(QApplication::focusWidget(), QStringLiteral("192"));  // a third digit moves on
    TypeText(QApplication::focusWidget(), QStringLiteral("7"));
    EXPECT_EQ(m_edit.Text(), "10.1.192.7");
}

TEST_F(IpAddressEditTest, ANumberAbove255OrWithALeadingZeroCannotBeTyped) {
    Field(1)->clear();
    TypeText(Field(1), QStringLiteral("256"));
    EXPECT_EQ(Field(1)->text(), "25");
    Field(2)->clear();
    TypeText(Field(2), QStringLiteral("300"));
    EXPECT_EQ(Field(2)->text(), "30");
    Field(3)->clear();
    TypeText(Field(3), QStringLiteral("01"));
    EXPECT_EQ(Field(3)->text(), "0");
    Field(3)->clear();
    TypeText(Field(3), QStringLiteral("a-"));
    EXPECT_EQ(Field(3)->text(), "");
}

TEST_F(IpAddressEditTest, BackspaceAndArrowsCrossBetweenFields) {
    m_edit.SetAddress(ParseIpv4("1.2.3.4"));
    Field(2)->setFocus();
    Field(2)->setCursorPosition(0);
    QTest::keyClick(Field(2), Qt::Key_Backspace);
    EXPECT_TRUE(Field(1)->hasFocus());
    QTest::keyClick(Field(1), Qt::Key_Right);
    EXPECT_TRUE(Field(2)->hasFocus());
    QTest::keyClick(Field(2), Qt::Key_Home);
    QTest::keyClick(Field(2), Qt::Key_Left);
    EXPECT_TRUE(Field(1)->hasFocus());
    EXPECT_EQ(m_edit.Text(), "1.2.3.4");
}

TEST_F(IpAddressEditTest, PastingAWholeAddressFillsAllFields) {
    m_edit.SetAddress(0);
    Field(0)->setFocus();
    QApplication::clipboard()->setText(QStringLiteral(" 192.168.7.1 "));
    QTest::keySequence(Field(0), QKeySequence::Paste);
    EXPECT_EQ(m_edit.Text(), "192.168.7.1");
    QApplication::clipboard()->setText(QStringLiteral("192.168.7.300"));
    Field(0)->selectAll();
    QTest::keySequence(Field(0), QKeySequence::Paste);
    EXPECT_EQ(m_edit.Text(), "192.168.7.1");
}

}  // namespace
}  // namespace parlon::testing
