// parlon_window_screenshots: renders the desktop program's windows to PNG files for the README:
// the main window connected to a center with a list of parlons, a message window in each of its
// three forms, and the Messages window. Run by scripts/screenshots on a real X server (Xvfb)
// with a window manager (openbox), so that each picture shows the window manager's own frame.
//
// The main window really connects: a center runs in this process, three other parlons are
// registered at it, and Connect generates keys and registers. The compose window is opened from
// the list as the user opens it; the answer and view forms, and what the Messages window lists,
// are driven through the window's SessionHost interface, the way the session drives them when a
// message or a reply arrives (the listed parlons are not running, so nothing could come back).
#include <cryptopp/osrng.h>
#include <QApplication>
#include <QDir>
#include <QGuiApplication>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeWidget>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "center/center_thread.h"
#include "common/text_field.h"
#include "common/utf8_text.h"
#include "crypto/key_pair.h"
#include "net/center_connection.h"
#include "session/session_services.h"
#include "settings/parlon_settings.h"
#include "window/message_dlg.h"
#include "window/messages_dlg.h"
#include "window/parlon_dlg.h"
#include "window/utf8_limited_edits.h"

namespace {

using namespace parlon;

// The window as the screen shows it, frame included, once the window manager has framed it and
// the window has painted itself.
bool Save(QWidget& window, const QDir& directory, const char* name) {
    window.raise();
    window.activateWindow();
    const bool framed =
        QTest::qWaitForWindowExposed(&window) &&
        QTest::qWaitFor([&] { return window.frameGeometry() != window.geometry(); }, 10000);
    const QString path = directory.filePath(QString::fromLatin1(name));
    if (!framed) {
        std::fprintf(stderr, "%s: the window manager did not frame the window\n", name);
        return false;
    }
    QTest::qWait(300);  // the frame and the contents finish painting
    const QRect frame = window.frameGeometry();
    const QPixmap shot =
        window.screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
    if (shot.isNull() || !shot.save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

// A parlon at the center that only appears in the list.
std::unique_ptr<CenterConnection> RegisterListedParlon(const CenterThread& center,
                                                       const char* nickname, uint16_t port) {
    ParlonEntry entry;
    entry.ip = ParseIpv4("127.0.0.1");
    entry.port = port;
    entry.SetNickname(nickname);
    // The center lists only real keys; nobody writes to these parlons, so one serves all.
    static const std::string keyText = [] {
        CryptoPP::AutoSeededRandomPool rng;
        return KeyPair(rng).PublicKeyText();
    }();
    entry.SetPublicKey(keyText);
    auto link = std::make_unique<CenterConnection>(entry, center.Address());
    std::vector<ParlonEntry> parlons;
    CenterSchedule schedule;
    if (!link->Register(parlons, schedule)) {
        return nullptr;
    }
    return link;
}

// `port` when it is free (the pictures stay the same from run to run), else one the system picks.
uint16_t PreferredPort(uint16_t port) {
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor(io);
    std::error_code error;
    acceptor.open(asio::ip::tcp::v4(), error);
    acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true), error);
    acceptor.bind(asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), port), error);
    if (error) {
        acceptor.bind(asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 0), error);
    }
    const asio::ip::tcp::endpoint bound = acceptor.local_endpoint(error);
    return error ? port : bound.port();
}

ByteBuffer Field(const std::string& text) {
    const TextField field = MakeTextField(QueuedText(text).Bytes());
    return ByteBuffer(field);
}

int Run(const QDir& output) {
    CenterSettings centerSettings;
    centerSettings.switchPeriod = 200;
    std::string error;
    const auto center = CenterThread::Start(centerSettings, error, [](const std::string&) {});
    if (center == nullptr) {
        std::fprintf(stderr, "no center: %s\n", error.c_str());
        return 1;
    }
    std::vector<std::unique_ptr<CenterConnection>> others;
    for (const auto& [nickname, port] :
         {std::pair{"Ada", 9001}, {"Lindqvist", 9002}, {"Mira", 9003}}) {
        others.push_back(RegisterListedParlon(*center, nickname, static_cast<uint16_t>(port)));
        if (others.back() == nullptr) {
            std::fprintf(stderr, "cannot register %s\n", nickname);
            return 1;
        }
    }

    const QTemporaryDir home;
    ParlonSettings settings;
    settings.nickname = "Quill";
    settings.ownIp = ParseIpv4("127.0.0.1");
    settings.ownPort = PreferredPort(9004);
    settings.center = center->Address();
    CParlonDlg window(
        std::make_unique<ActivityLog>(home.filePath(QStringLiteral("Activity.log")).toStdString()),
        SessionServices::Real(), settings);
    window.move(40, 40);
    window.show();
    window.findChild<QPushButton*>(QStringLiteral("connectButton"))->click();
    auto* view = window.findChild<QTreeWidget*>(QStringLiteral("parlonList"));
    if (!QTest::qWaitFor([view] { return view->topLevelItemCount() == 4; }, 10000)) {
        std::fprintf(stderr, "the list did not arrive\n");
        return 1;
    }
    view->setCurrentItem(view->topLevelItem(1));
    bool saved = Save(window, output, "main-window.png");

    // The user writes to the parlon selected: Return on its row.
    const std::string question = "Meet at the usual place at eight? Bring the blue notebook.";
    const std::string answerText = "Yes, eight is fine. I will bring it.";
    view->setFocus();
    QTest::keyClick(view, Qt::Key_Return);
    auto windows = window.findChildren<CMessageDlg*>();
    if (windows.size() != 1) {
        std::fprintf(stderr, "no compose window\n");
        return 1;
    }
    CMessageDlg* compose = windows.front();
    QTest::keyClicks(compose->findChild<Utf8TextEdit*>(QStringLiteral("messageEdit")),
                     QString::fromStdString(question));
    saved = Save(*compose, output, "compose-form.png") && saved;
    compose->hide();
    const std::string recipient = compose->Form().Recipient().nickname;

    SessionHost& host = window;
    using Kind = SessionEvent::Kind;
    host.Notify({Kind::Sending, question, recipient, 0, 1});
    host.OpenAnswerForm(Field("Are you free tonight? There is news."), ReplyHandle(1, 17), 30000);
    windows = window.findChildren<CMessageDlg*>();
    CMessageDlg* answer = windows.back();
    QTest::keyClicks(answer->findChild<Utf8TextEdit*>(QStringLiteral("replyEdit")),
                     QStringLiteral("After nine. Tell me then."));
    saved = Save(*answer, output, "answer-form.png") && saved;
    answer->hide();

    host.Notify({Kind::Answered, answerText, recipient, 0, 1});
    host.OpenViewForm(ByteBuffer::Join(Field(question), Field(answerText)));
    windows = window.findChildren<CMessageDlg*>();
    saved = Save(*windows.back(), output, "view-form.png") && saved;
    windows.back()->hide();

    host.Notify({Kind::Sending, "Did the parcel arrive?", "Ada", 0, 2});
    host.Notify({Kind::Sending, "Call me when you can.", "Mira", 0, 3});
    host.Notify({Kind::Lost, {}, "Mira", 0, 3});
    host.OpenAnswerForm(Field("Is the door code still 4711?"), ReplyHandle(2, 18), 0);
    window.findChildren<CMessageDlg*>().back()->hide();
    host.Notify({Kind::Replying, "No, it changed on Monday.", {}, 18});
    window.findChild<QPushButton*>(QStringLiteral("messagesButton"))->click();
    auto* messages = window.findChild<CMessagesDlg*>();
    if (messages == nullptr) {
        std::fprintf(stderr, "no Messages window\n");
        return 1;
    }
    messages->resize(messages->width() + 160, messages->height());
    saved = Save(*messages, output, "messages-window.png") && saved;
    return saved ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 2) {
        std::fprintf(stderr, "usage: parlon_window_screenshots OUTPUT-DIRECTORY\n");
        return 2;
    }
    const QDir output(arguments[1]);
    if (!output.exists() && !QDir().mkpath(output.path())) {
        std::fprintf(stderr, "cannot make %s\n", qPrintable(output.path()));
        return 1;
    }
    return Run(output);
}
