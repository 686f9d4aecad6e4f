#include "app/parlon_app.h"

#include <QFile>
#include <QMessageBox>
#include <QScreen>
#include <QStandardPaths>
#include <QStringList>
#include <cstdio>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "log/activity_log.h"
#include "session/session_services.h"
#include "settings/parlon_settings.h"
#include "window/parlon_dlg.h"
#include "window/parlon_icon.h"
#include "window/window_placement.h"

namespace parlon {

namespace {

// The arguments Qt left over, without the program name, as the bytes the system gave.
std::vector<std::string> UserArguments(const QStringList& arguments) {
    std::vector<std::string> bytes;
    for (qsizetype index = 1; index < arguments.size(); ++index) {
        bytes.push_back(QFile::encodeName(arguments[index]).toStdString());
    }
    return bytes;
}

// The window cannot run without its log: say which file and why, here and on standard error.
void ReportLogFailure(const std::system_error& error) {
    const QString text = QStringLiteral("Parlon cannot open its activity log.\n\n%1")
                             .arg(QString::fromLocal8Bit(error.what()));
    std::fprintf(stderr, "parlon: cannot open the activity log: %s\n", error.what());
    QMessageBox::critical(nullptr, QStringLiteral("Parlon"), text);
}

}  // namespace

CParlonApp::CParlonApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName(QStringLiteral("Parlon"));
    setApplicationVersion(QStringLiteral(PARLON_VERSION));
    setDesktopFileName(QStringLiteral("parlon"));
    setWindowIcon(ParlonIcon());
}

int CParlonApp::Run() {
    const std::vector<std::string> arguments = UserArguments(QCoreApplication::arguments());
    std::unique_ptr<ActivityLog> log;
    try {
        log = std::make_unique<ActivityLog>(kActivityLogName);
    } catch (const std::system_error& error) {
        ReportLogFailure(error);
        return 1;
    }
    const ParlonSettings settings = LoadSettings(SettingsPath(arguments));

    CParlonDlg window(std::move(log), SessionServices::Real(), settings);
    // Exit, the close box and Escape all finish the dialog; its teardown runs when Run returns.
    connect(&window, &QDialog::finished, this, [] { QCoreApplication::exit(0); });
    // A second parlon of the same user opens beside the first, not on top of it.
    const InstanceSlot slot(QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation));
    window.move(slot.MainWindowPosition(window.frameSize(), primaryScreen()->availableGeometry()));
    window.show();
    return exec();
}

}  // namespace parlon
