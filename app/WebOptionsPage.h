// The "Webcast options" group of the "Web options" page: port, client limit,
// profile and the two notes. The values live in the session core's web
// options; the window writes them there as they change.
#pragma once

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

    // Builds the group into the page's layout, with the defaults of the
    // session's web options.
    void setupUi(QWidget* page, QBoxLayout* layout);
    // Fills the profile list and selects its selected entry.
    void fillProfiles(const ChoiceList& profiles) const;
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
    // The profile list as the session has it.
    void showProfiles();
    // Starts the server; when it cannot listen (a port a user may not open,
    // or one in use) the controls stay as they were and the status bar
    // says why.
    void startServer();
    // A stop that times out throws (to the error handler) and leaves the
    // controls as they were while the server ran.
    void stopServer();

private:
    TfrmMain& window_;
    const MainWindowUi& ui_;
    TvSession& session_;
    ErrorHandler& errors_;
};

} // namespace qeltv
