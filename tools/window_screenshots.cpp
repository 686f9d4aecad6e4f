// parlon_window_screenshots: renders the desktop program's windows to PNG files for the README:
// the main window connected to a center with a list of parlons, and a message window in each
// of its three forms. Run by scripts/screenshots on the offscreen platform.
//
// The main window really connects: a center runs in this process, three other parlons are
// registered at it, and Connect generates keys and registers. The answer and view forms are
// opened the way the session opens them when a message or a reply arrives.
//
// A headless run has no window manager, so each picture gets a plain title strip (icon and
// caption) drawn here above the window's own contents.
#include <cryptopp/osrng.h>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
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
#include "window/parlon_dlg.h"
#include "window/utf8_limited_edits.h"

namespace {

using namespace parlon;

// The window's contents under a title strip with its icon and caption.
QImage Framed(QWidget& window) {
    const QPixmap contents = window.grab();
    const int strip = window.fontMetrics().height() + 12;
    QImage image(contents.width() + 2, contents.height() + strip + 1, QImage::Format_ARGB32);
    image.fill(QColor(0x5a, 0x5a, 0x5a));
    QPainter painter(&image);
    painter.fillRect(1, 1, contents.width(), strip - 1, QColor(0x2a, 0x64, 0xb0));
    const int iconSize = strip - 8;
    painter.drawPixmap(6, 4, window.windowIcon().pixmap(iconSize, iconSize));
    painter.setPen(Qt::white);
    QFont bold = window.font();
    bold.setBold(true);
    painter.setFont(bold);
    painter.drawText(QRect(iconSize + 12, 0, contents.width() - iconSize - 12, strip),
                     Qt::AlignVCenter, window.windowTitle());
    painter.drawPixmap(1, strip, contents);
    return image;
}

bool Save(QWidget& window, const QDir& directory, const char* name) {
    const QString path = directory.filePath(QString::fromLatin1(name));
    if (!Framed(window).save(path)) {
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
    window.show();
    window.findChild<QPushButton*>(QStringLiteral("connectButton"))->click();
    const auto* list = window.findChild<QTreeWidget*>(QStringLiteral("parlonList"));
    if (!QTest::qWaitFor([list] { return list->topLevelItemCount() == 4; }, 10000)) {
        std::fprintf(stderr, "the list did not arrive\n");
        return 1;
    }
    QTreeWidget* view = window.findChild<QTreeWidget*>(QStringLiteral("parlonList"));
    view->setCurrentItem(view->topLevelItem(1));
    QTest::qWait(50);
    bool saved = Save(window, output, "main-window.png");

    QTest::mouseDClick(view->viewport(), Qt::LeftButton, {},
                       view->visualItemRect(view->topLevelItem(1)).center());
    auto windows = window.findChildren<CMessageDlg*>();
    if (windows.size() != 1) {
        std::fprintf(stderr, "no compose window\n");
        return 1;
    }
    CMessageDlg* compose = windows.front();
    QTest::keyClicks(compose->findChild<Utf8TextEdit*>(QStringLiteral("messageEdit")),
                     QStringLiteral("Meet at the usual place at eight? Bring the blue notebook."));
    saved = Save(*compose, output, "compose-form.png") && saved;
    compose->hide();

    SessionHost& host = window;
    host.OpenAnswerForm(Field("Meet at the usual place at eight? Bring the blue notebook."), 17,
                        30000);
    windows = window.findChildren<CMessageDlg*>();
    CMessageDlg* answer = windows.back();
    QTest::keyClicks(answer->findChild<Utf8TextEdit*>(QStringLiteral("replyEdit")),
                     QStringLiteral("Yes, eight is fine. I will bring it."));
    saved = Save(*answer, output, "answer-form.png") && saved;
    answer->hide();

    host.OpenViewForm(
        ByteBuffer::Join(Field("Meet at the usual place at eight? Bring the blue notebook."),
                         Field("Yes, eight is fine. I will bring it.")));
    windows = window.findChildren<CMessageDlg*>();
    saved = Save(*windows.back(), output, "view-form.png") && saved;
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
