#include "window/about_dlg.h"

#include <QGridLayout>
#include <QLabel>
#include <QPushButton>

#include "window/dialog_units.h"
#include "window/parlon_icon.h"

namespace parlon {

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent) {
    setWindowTitle(QStringLiteral("About Parlon"));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    const DialogUnits units(font());

    auto* icon = new QLabel(this);
    const int iconSize = units.Y(24);
    icon->setPixmap(ParlonIcon().pixmap(iconSize, iconSize));
    icon->setAlignment(Qt::AlignTop | Qt::AlignHCenter);

    auto* name =
        new QLabel(QStringLiteral("Parlon Version %1").arg(QStringLiteral(PARLON_VERSION)), this);
    name->setObjectName(QStringLiteral("aboutVersion"));
    auto* purpose =
        new QLabel(QStringLiteral("A node of a small network for anonymous text messages,\n"
                                  "sent in layers of encryption along random paths of parlons."),
                   this);

    auto* ok = new QPushButton(QStringLiteral("OK"), this);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(units.X(7), units.Y(7), units.X(7), units.Y(7));
    layout->setHorizontalSpacing(units.X(7));
    layout->setVerticalSpacing(units.Y(4));
    layout->addWidget(icon, 0, 0, 2, 1);
    layout->addWidget(name, 0, 1);
    layout->addWidget(purpose, 1, 1);
    layout->addWidget(ok, 0, 2, Qt::AlignTop);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

}  // namespace parlon
