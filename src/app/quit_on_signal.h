// QuitOnSignal: turns SIGINT, SIGTERM and SIGHUP into a normal end of the event loop, so that a
// parlon stopped by its desktop session or its terminal runs the same teardown as one closed by
// its close box (a registered parlon signs off at the center) instead of vanishing from the
// list only when the center expires it.
//
// A signal handler may only make async-signal-safe calls: it writes one byte to a socket pair
// whose other end a QSocketNotifier watches on the GUI thread, where the event loop is ended.
//
// One instance per process, made and destroyed on the GUI thread after the QCoreApplication.
// Destruction restores the default actions.
#pragma once

#include <QObject>
#include <QSocketNotifier>

#include "common/unique_fd.h"

namespace parlon {

class QuitOnSignal final : public QObject {
  public:
    explicit QuitOnSignal(QObject* parent = nullptr);
    ~QuitOnSignal() override;
    QuitOnSignal(const QuitOnSignal&) = delete;
    QuitOnSignal& operator=(const QuitOnSignal&) = delete;

  private:
    static void OnSignal(int signal);
    void QuitEventLoop();

    UniqueFd m_readEnd;                     // read on the GUI thread
    UniqueFd m_writeEnd;                    // written by the signal handler
    QSocketNotifier* m_notifier = nullptr;  // owned as a child
};

}  // namespace parlon
