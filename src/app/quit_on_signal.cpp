#include "app/quit_on_signal.h"

#include <sys/socket.h>
#include <unistd.h>
#include <QCoreApplication>
#include <array>
#include <cerrno>
#include <csignal>

namespace parlon {

namespace {

constexpr std::array kQuitSignals{SIGINT, SIGTERM, SIGHUP};

// The write end for the handler; -1 while no instance exists.
volatile std::sig_atomic_t g_signalWriteEnd = -1;

void SetHandler(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : kQuitSignals) {
        ::sigaction(signal, &action, nullptr);
    }
}

}  // namespace

QuitOnSignal::QuitOnSignal(QObject* parent) : QObject(parent) {
    Q_ASSERT(g_signalWriteEnd == -1);
    int sockets[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, sockets) != 0) {
        return;  // no descriptors left: the signals keep their default actions
    }
    m_readEnd.Reset(sockets[0]);
    m_writeEnd.Reset(sockets[1]);
    m_notifier = new QSocketNotifier(m_readEnd.Get(), QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &QuitOnSignal::QuitEventLoop);
    g_signalWriteEnd = m_writeEnd.Get();
    SetHandler(&QuitOnSignal::OnSignal);
}

QuitOnSignal::~QuitOnSignal() {
    if (m_notifier == nullptr) {
        return;
    }
    SetHandler(SIG_DFL);
    g_signalWriteEnd = -1;
    delete m_notifier;  // stops watching before the members close the sockets
}

void QuitOnSignal::OnSignal(int) {
    const int savedErrno = errno;
    const char byte = 1;
    // A full socket already holds a request to quit; nothing is lost when this write fails.
    [[maybe_unused]] const ssize_t written = ::write(g_signalWriteEnd, &byte, 1);
    errno = savedErrno;
}

void QuitOnSignal::QuitEventLoop() {
    char bytes[64];
    while (::read(m_readEnd.Get(), bytes, sizeof bytes) > 0) {
    }
    // Ends every running event loop, a modal box's too; the window's teardown follows.
    QCoreApplication::exit(0);
}

}  // namespace parlon
