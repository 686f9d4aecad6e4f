#include "window/error_notice.h"

#include <QMessageBox>

namespace parlon {

ErrorNotice::ErrorNotice(QWidget* owner) : m_owner(owner) {}

void ErrorNotice::Add(const QString& error) {
    if (m_box == nullptr) {
        m_box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Parlon"), QString(),
                                QMessageBox::Ok, m_owner);
        m_box->setObjectName(QStringLiteral("errorNotice"));
        m_box->setWindowModality(Qt::NonModal);
        QObject::connect(m_box, &QMessageBox::finished, m_box, [this] { m_errors.clear(); });
    }
    m_errors.append(error);
    while (m_errors.size() > kShownErrors) {
        m_errors.removeFirst();
    }
    m_box->setText(m_errors.join(QLatin1Char('\n')));
    m_box->show();
    m_box->raise();
    m_box->activateWindow();
}

}  // namespace parlon
