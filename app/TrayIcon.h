// The window's tray icon: its hint (the window title and the quick channel
// entry), its balloons and its menu.
#pragma once

#include <QObject>
#include <QString>
#include <QSystemTrayIcon>
#include <QTimer>

class QMenu;
class QWidget;

namespace qeltv {

class TrayIcon : public QObject {
    Q_OBJECT
public:
    static constexpr int kBalloonTimeout_ms = 10000;
    static constexpr int kMaxHintLength = 127;
    static constexpr int kMaxBalloonTitleLength = 63;
    static constexpr int kMaxBalloonTextLength = 255;

    // Shown at once, with `menu` as its menu.
    TrayIcon(QWidget* window, QMenu* menu);

    // "<title> [ <channel> ]", cut to the longest hint.
    void setHint(const QString& title, const QString& channel);
    const QString& hint() const { return hint_; }
    // Showing a balloon replaces the one before.
    void ShowBalloon(const QString& title, const QString& text, QSystemTrayIcon::MessageIcon icon,
                     int seconds);

signals:
    void doubleClicked();

private:
    void BalloonhintTimerTimer();

    QSystemTrayIcon* icon_;
    QTimer BalloonhintTimer_;
    QString hint_;
};

} // namespace qeltv
