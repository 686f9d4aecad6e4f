// Helpers for the widget tests: a fixture that opens main windows on a log of its own, the real
// child widgets by object name (with the headers of their types), and typing of any text.
#pragma once

#include <gtest/gtest.h>

#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support/temp_dir.h"
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

// A parlon of a list on 127.0.0.1, with a key text of its own.
inline ParlonEntry ListedParlon(const char* nickname, uint16_t port) {
    ParlonEntry entry;
    entry.ip = ParseIpv4("127.0.0.1");
    entry.port = port;
    entry.SetNickname(nickname);
    entry.SetPublicKey(std::string("key of ") + nickname);
    return entry;
}

// Types `text` one code point at a time (QTest::keyClicks knows only the ASCII keys).
inline void TypeText(QWidget* widget, const QString& text) {
    for (qsizetype at = 0, length = 1; at < text.size(); at += length) {
        length = text.at(at).isHighSurrogate() ? 2 : 1;
        QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, text.mid(at, length), {});
    }
}

class WindowTest : public ::testing::Test {
  protected:
    // A shown main window logging to Activity.log in this test's directory.
    std::unique_ptr<CParlonDlg> Open(const ParlonSettings& settings) {
        auto window = std::make_unique<CParlonDlg>(
            std::make_unique<ActivityLog>(m_dir.Path() / "Activity.log"), SessionServices::Real(),
            settings);
        window->show();
        return window;
    }
    // The settings read from a file of `content`, or with no file when it is empty.
    ParlonSettings Settings(const std::string& content = {}) {
        return LoadSettings(content.empty() ? m_dir.Path() / "Parlon.ini"
                                            : m_dir.Write("Parlon.ini", content));
    }
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
};

}  // namespace parlon::test
