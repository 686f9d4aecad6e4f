// The widget tests' fixture: a main window logging into a fresh directory, children by name.
#pragma once

#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <memory>
#include <sstream>

#include "common/text_field.h"
#include "common/utf8_text.h"
#include "support/temp_dir.h"
#include "support/test_support.h"
#include "window/message_dlg.h"
#include "window/parlon_dlg.h"
#include "window/utf8_limited_edits.h"

namespace parlon::test {

// The child of `parent` named `name`; fails the test when there is none.
template <typename Widget>
Widget* Child(const QObject& parent, const char* name) {
    auto* child = parent.findChild<Widget*>(QString::fromLatin1(name));
    EXPECT_NE(child, nullptr) << "no child named " << name;
    return child;
}

// Types `text` one code point at a time (QTest::keyClicks knows only the ASCII keys).
inline void TypeText(QWidget* widget, const QString& text) {
    for (qsizetype at = 0, length = 1; at < text.size(); at += length) {
        length = text.at(at).isHighSurrogate() ? 2 : 1;
        QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, text.mid(at, length), {});
    }
}

// A message text as the session hands it to a window.
inline ByteBuffer Field(const std::string& text) {
    return ByteBuffer(MakeTextField(QueuedText(text).Bytes()));
}

class WindowTest : public ::testing::Test {
  protected:
    // Shows a main window on the settings file of `settings` (none when empty).
    CParlonDlg& Open(const std::string& settings = {}) {
        m_window = std::make_unique<CParlonDlg>(
            std::make_unique<ActivityLog>(m_dir.Path() / "Activity.log"), SessionServices::Real(),
            LoadSettings(settings.empty() ? m_dir.Path() / "Parlon.ini"
                                          : m_dir.Write("Parlon.ini", settings)));
        m_window->show();
        return *m_window;
    }
    SessionHost& Host() { return *m_window; }
    QList<CMessageDlg*> MessageWindows() const { return m_window->findChildren<CMessageDlg*>(); }
    // The lines of the log at `name` (in this test's directory) without their time stamps.
    std::vector<std::string> LogLines(const std::string& name = "Activity.log") const {
        std::vector<std::string> lines;
        std::istringstream text(m_dir.Read(name));
        for (std::string line; std::getline(text, line);) {
            lines.push_back(line.substr(line.find("> ") + 2));
        }
        return lines;
    }

    TempDir m_dir;
    std::unique_ptr<CParlonDlg> m_window;  // destroyed before the directory of its log
};

}  // namespace parlon::test
