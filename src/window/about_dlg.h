// CAboutDlg: the About box: the program's icon, name and version, and OK. Run modally by the
// main window's "About Parlon..." command and destroyed when it closes. GUI thread only.
#pragma once

#include <QDialog>

namespace parlon {

class CAboutDlg final : public QDialog {
    Q_OBJECT
  public:
    explicit CAboutDlg(QWidget* parent);
};

}  // namespace parlon
