// The "Webcast options" group of the "Web options" page: port, client limit,
// profile and the two notes. The values live in the session core's web
// options; the window writes them there as they change.
#pragma once

#include <QString>

class QBoxLayout;
class QCheckBox;
class QLineEdit;
class QPushButton;
class QComboBox;
class QGroupBox;
class QLabel;
class QSpinBox;
class QWidget;

namespace qeltv {

struct ChoiceList;
struct WebOptions;
class ErrorHandler;
class TfrmMain;
class TvSession;
struct MainWindowUi;

struct WebcastOptionsControls {
    static constexpr int kMinPort = 1;
    static constexpr int kMaxPort = 65535;
    static constexpr int kMinClients = 1;

    static constexpr const char* kProtocolNote =
        "The webcast is a WebM stream (VP8 video, Vorbis sound) over HTTP. Open "
        "http://<this computer>:<port>/ in a web browser, VLC or mpv to watch it.";
    static constexpr const char* kRestartNote =
        "NOTE: Restart your webcast after changing these settings";

    QGroupBox* grpWebcast = nullptr;
    QSpinBox* seWebcastPort = nullptr;
    QSpinBox* seWebcastClients = nullptr;
    QComboBox* cmbWebcastProfile = nullptr;
    QLabel* lblProtocolNote = nullptr;
    QLabel* lblRestartNote = nullptr;
    // Publishing the same stream to an Icecast server.
    static constexpr const char* kIcecastAddressHint =
        "The Icecast mount to publish to, as listeners open it: http://host:port/mount, for "
        "example http://host:8000/qeltv.webm (port 8000 when left out)";
    static constexpr const char* kIcecastPasswordNote =
        "The source password of the Icecast server. It is kept for this session only and never "
        "stored in the settings file.";
    QCheckBox* cbIcecast = nullptr;
    QLineEdit* edIcecastAddress = nullptr;
    QLineEdit* edIcecastUsername = nullptr;
    QLineEdit* edIcecastPassword = nullptr;
    QLabel* lblIcecastPasswordNote = nullptr;
    QLabel* lblIcecastError = nullptr;

    // Builds the group into the page's layout, with the defaults of the
    // session's web options.
    void setupUi(QWidget* page, QBoxLayout* layout);
    // Fills the profile list and selects its selected entry.
    void fillProfiles(const ChoiceList& profiles) const;
    // Shows the Icecast values (as loaded from the settings).
    void showIcecast(const WebOptions& options) const;
    // What is wrong with the Icecast address, or nothing.
    void showIcecastError(const QString& error) const;
};

// The "Internal webserver" group of the same page: port, the start check
// box, start and stop, user name and password. While the server runs its
// settings are locked.
struct WebServerControls {
    static constexpr int kMinPort = 1;
    static constexpr int kMaxPort = 65535;

    QGroupBox* grpWebserver = nullptr;
    QSpinBox* seWebserverPort = nullptr;
    QCheckBox* cbAutoStartWebserver = nullptr;
    QPushButton* btnStartWebserver = nullptr;
    QPushButton* btnStopWebserver = nullptr;
    QLineEdit* edWebUsername = nullptr;
    QLineEdit* edWebPassword = nullptr;

    void setupUi(QWidget* page, QBoxLayout* layout);
    // Start and stop and the locked settings for a running or stopped server.
    void showRunning(bool running) const;
};

// The page's connections: the values go to the session's web options as
// they change; start and stop go to the window's handlers.
class WebOptionsPage {
public:
    WebOptionsPage(TfrmMain& window, const MainWindowUi& ui, TvSession& session,
                   ErrorHandler& errors);

    void connectControls();
    // The profile list and the Icecast values as the session has them.
    void showProfiles();
    // Starts the server; when it cannot listen (a port a user may not open,
    // or one in use) the controls stay as they were and the status bar
    // says why.
    void startServer();
    // A stop that times out throws (to the error handler) and leaves the
    // controls as they were while the server ran.
    void stopServer();

private:
    void checkIcecastAddress();

    TfrmMain& window_;
    const MainWindowUi& ui_;
    TvSession& session_;
    ErrorHandler& errors_;
};

} // namespace qeltv
