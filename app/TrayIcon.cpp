#include "app/TrayIcon.h"

#include "app/Logging.h"

#include <QApplication>
#include <QMenu>

namespace qeltv {

TrayIcon::TrayIcon(QWidget* window, QMenu* menu)
    : QObject(window), icon_(new QSystemTrayIcon(QApplication::windowIcon(), this)) {
    icon_->setObjectName("CoolTrayIcon1");
    icon_->setContextMenu(menu);
    icon_->setToolTip(QApplication::applicationDisplayName());
    icon_->show();
    BalloonhintTimer_.setSingleShot(true);
    BalloonhintTimer_.setInterval(kBalloonTimeout_ms);
    connect(&BalloonhintTimer_, &QTimer::timeout, this, &TrayIcon::BalloonhintTimerTimer);
    connect(icon_, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::DoubleClick)
                    emit doubleClicked();
            });
}

void TrayIcon::setHint(const QString& title, const QString& channel) {
    hint_ = (title + " [ " + channel + " ]").left(kMaxHintLength);
    icon_->setToolTip(hint_);
}

void TrayIcon::ShowBalloon(const QString& title, const QString& text,
                           QSystemTrayIcon::MessageIcon icon, int seconds) {
    qCDebug(lcApp).noquote() << "balloon:" << title << "|" << text << "| icon" << int(icon);
    icon_->showMessage(title.left(kMaxBalloonTitleLength), text.left(kMaxBalloonTextLength), icon,
                       seconds * 1000);
    BalloonhintTimer_.start();
}

void TrayIcon::BalloonhintTimerTimer() {
    BalloonhintTimer_.stop();
    qCDebug(lcApp) << "balloon removed";
}

} // namespace qeltv
