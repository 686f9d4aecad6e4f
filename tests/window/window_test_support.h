// Helpers for the widget tests: a fixture that opens main windows on logs of its own, access to
// the real child widgets by object name, and an answerer for modal boxes that records what they
// said and closes them (a refused field's message box runs its own event loop).
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QMessageBox>
#include <QObject>
#include <QStringList>
#include <QTest>
#include <QTimer>
#include <QWidget>
#include <memory>
#include <string>
#include <vector>

#include "session/session_services.h"
#include "settings/parlon_settings.h"
#include "support/temp_dir.h"
#include "window/parlon_dlg.h"

namespace parlon::testing {

// The child of `parent` named `name`; fails the test when there is none.
template <typename Widget>
Widget* Child(const QObject& parent, const char* name) {
    auto* child = parent.findChild<Widget*>(QString::fromLatin1(name));
    EXPECT_NE(child, nullptr) << "no child named " << name;
    return child;
}

// Types `text` into `widget` as key presses carrying the text, one character (one code point)
// at a time; QTest::keyClicks knows only the ASCII keys.
inline void TypeText(QWidget* widget, const QString& text) {
    for (qsizetype at = 0; at < text.size();) {
        const qsizetype length = text.at(at).isHighSurrogate() && at + 1 < text.size() ? 2 : 1;
        QTest::sendKeyEvent(QTest::Click, widget, Qt::Key_unknown, text.mid(at, length),
                            Qt::NoModifier);
        at += length;
    }
}

// While it lives, closes every modal window that opens (accepting it) and records its text:
// a message box's text, or the caption of any other dialog.
class ModalAnswerer : public QObject {
  public:
    ModalAnswerer() {
        connect(&m_poll, &QTimer::timeout, this, [this] { AnswerOpenModal(); });
        m_poll.start(5);
    }

    const QStringList& Seen() const { return m_seen; }

  private:
    void AnswerOpenModal() {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || !modal->isVisible()) {
            return;
        }
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            m_seen << box->text();
            box->accept();
        } else if (auto* dialog = qobject_cast<QDialog*>(modal)) {
            m_seen << dialog->windowTitle();
            dialog->accept();
        }
    }

    QTimer m_poll;
    QStringList m_seen;
};

class WindowTest : public ::testing::Test {
  protected:
    // A main window logging to `logName` in this test's directory.
    std::unique_ptr<CParlonDlg> Open(const ParlonSettings& settings,
                                     SessionServices services = SessionServices::Real(),
                                     const std::string& logName = "Activity.log") {
        auto window = std::make_unique<CParlonDlg>(
            std::make_unique<ActivityLog>(m_dir.Path() / logName), std::move(services), settings);
        window->show();
        window->activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(window.get()));
        return window;
    }

    ParlonSettings SettingsFile(const std::string& content) {
        return LoadSettings(m_dir.Write("Parlon.ini", content));
    }
    ParlonSettings NoSettingsFile() { return LoadSettings(m_dir.Path() / "Parlon.ini"); }

    // The log's lines without their time stamps.
    std::vector<std::string> LogLines(const std::string& logName = "Activity.log") const {
        std::vector<std::string> lines;
        const std::string text = m_dir.Read(logName);
        size_t start = 0;
        while (start < text.size()) {
            size_t end = text.find('\n', start);
            end = end == std::string::npos ? text.size() : end;
            const std::string line = text.substr(start, end - start);
            const size_t stamp = line.find("> ");
            lines.push_back(stamp == std::string::npos ? line : line.substr(stamp + 2));
            start = end + 1;
        }
        return lines;
    }
    bool LogHas(const std::string& line, const std::string& logName = "Activity.log") const {
        for (const std::string& logged : LogLines(logName)) {
            if (logged == line) {
                return true;
            }
        }
        return false;
    }

    TempDir m_dir;
};

}  // namespace parlon::testing
