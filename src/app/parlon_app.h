// CParlonApp: the desktop program's application object. It reads the settings file named on
// the command line, opens the activity log, shows the main window and runs the event loop until
// the window closes or the process is asked to stop (SIGINT, SIGTERM, SIGHUP); then the
// window's teardown runs.
//
// One per process, made in main on the GUI thread.
#pragma once

#include <QApplication>

#include "app/quit_on_signal.h"

namespace parlon {

class CParlonApp final : public QApplication {
    Q_OBJECT
  public:
    // The activity log, in the current working directory.
    static constexpr const char* kActivityLogName = "Activity.log";

    // Qt takes its own options (-platform, -style ...) out of the arguments.
    CParlonApp(int& argc, char** argv);

    // Returns the exit status: 0 when the window was closed, 1 when the log cannot be opened.
    int Run();

  private:
    QuitOnSignal m_quitOnSignal;  // from construction on, so that no stop request is missed
};

}  // namespace parlon
