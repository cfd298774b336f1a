#include "app/WebOptionsPage.h"

#include "app/ControlEvents.h"
#include "app/MainWindowUi.h"
#include "app/uFrmMain.h"

#include "app/session/TvSession.h"
#include "capture/WebmWriter.h"

#include <QBoxLayout>
#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSpinBox>

namespace qeltv {

void WebcastOptionsControls::setupUi(QWidget* page, QBoxLayout* layout) {
    grpWebcast = new QGroupBox("Webcast options", page);
    grpWebcast->setObjectName("grpWebcast");
    auto* form = new QFormLayout(grpWebcast);
    seWebcastPort = new QSpinBox(grpWebcast);
    seWebcastPort->setObjectName("seWebcastPort");
    seWebcastPort->setRange(kMinPort, kMaxPort);
    seWebcastPort->setValue(WebOptions::kDefaultWebcastPort);
    form->addRow("At port", seWebcastPort);
    seWebcastClients = new QSpinBox(grpWebcast);
    seWebcastClients->setObjectName("seWebcastClients");
    seWebcastClients->setRange(kMinClients, kMaxWebcastClients);
    seWebcastClients->setValue(WebOptions::kDefaultMaxClients);
    form->addRow("Max number of clients", seWebcastClients);
    cmbWebcastProfile = new QComboBox(grpWebcast);
    cmbWebcastProfile->setObjectName("cmbWebcastProfile");
    form->addRow("Profile", cmbWebcastProfile);
    lblProtocolNote = new QLabel(kProtocolNote, grpWebcast);
    lblProtocolNote->setObjectName("lblProtocolNote");
    lblProtocolNote->setWordWrap(true);
    form->addRow(lblProtocolNote);
    lblRestartNote = new QLabel(kRestartNote, grpWebcast);
    lblRestartNote->setObjectName("lblRestartNote");
    lblRestartNote->setWordWrap(true);
    form->addRow(lblRestartNote);
    cbIcecast = new QCheckBox("Publish to Icecast server", grpWebcast);
    cbIcecast->setObjectName("cbIcecast");
    form->addRow(cbIcecast);
    edIcecastAddress = new QLineEdit(grpWebcast);
    edIcecastAddress->setObjectName("edIcecastAddress");
    edIcecastAddress->setPlaceholderText("http://host:8000/qeltv.webm");
    edIcecastAddress->setToolTip(kIcecastAddressHint);
    form->addRow("Icecast URL", edIcecastAddress);
    lblIcecastError = new QLabel(grpWebcast);
    lblIcecastError->setObjectName("lblIcecastError");
    lblIcecastError->setWordWrap(true);
    lblIcecastError->setStyleSheet("color: #b00000");
    lblIcecastError->hide();
    form->addRow(lblIcecastError);
    edIcecastUsername = new QLineEdit(kIcecastDefaultUserName, grpWebcast);
    edIcecastUsername->setObjectName("edIcecastUsername");
    form->addRow("Icecast user name", edIcecastUsername);
    edIcecastPassword = new QLineEdit(grpWebcast);
    edIcecastPassword->setObjectName("edIcecastPassword");
    edIcecastPassword->setEchoMode(QLineEdit::Password);
    edIcecastPassword->setToolTip(kIcecastPasswordNote);
    form->addRow("Icecast password", edIcecastPassword);
    lblIcecastPasswordNote = new QLabel("Kept for this session only, never stored.", grpWebcast);
    lblIcecastPasswordNote->setObjectName("lblIcecastPasswordNote");
    lblIcecastPasswordNote->setToolTip(kIcecastPasswordNote);
    form->addRow(lblIcecastPasswordNote);
    layout->addWidget(grpWebcast);
}

void WebcastOptionsControls::showIcecast(const WebOptions& options) const {
    // Showing what the session holds is no change of the user's.
    const QSignalBlocker check(cbIcecast), address(edIcecastAddress), user(edIcecastUsername),
        password(edIcecastPassword);
    cbIcecast->setChecked(options.icecastEnabled);
    edIcecastAddress->setText(options.icecastAddress);
    edIcecastUsername->setText(options.icecastUserName);
    edIcecastPassword->setText(options.icecastPassword);
}

void WebcastOptionsControls::showIcecastError(const QString& error) const {
    lblIcecastError->setText(error);
    lblIcecastError->setVisible(!error.isEmpty());
}

void WebcastOptionsControls::fillProfiles(const ChoiceList& profiles) const {
    // Filling is no choice of the user's: the index stays as it is.
    const QSignalBlocker blocker(cmbWebcastProfile);
    cmbWebcastProfile->clear();
    cmbWebcastProfile->addItems(profiles.entries);
    cmbWebcastProfile->setCurrentIndex(profiles.selected);
}

void WebServerControls::setupUi(QWidget* page, QBoxLayout* layout) {
    grpWebserver = new QGroupBox("Internal webserver", page);
    grpWebserver->setObjectName("grpWebserver");
    auto* form = new QFormLayout(grpWebserver);
    seWebserverPort = new QSpinBox(grpWebserver);
    seWebserverPort->setObjectName("seWebserverPort");
    seWebserverPort->setRange(kMinPort, kMaxPort);
    seWebserverPort->setValue(WebOptions::kDefaultWebServerPort);
    form->addRow("At port", seWebserverPort);
    cbAutoStartWebserver = new QCheckBox("Enable webserver at startup", grpWebserver);
    cbAutoStartWebserver->setObjectName("cbAutoStartWebserver");
    form->addRow(cbAutoStartWebserver);
    auto* buttons = new QHBoxLayout;
    btnStartWebserver = new QPushButton("&Start", grpWebserver);
    btnStartWebserver->setObjectName("btnStartWebserver");
    btnStopWebserver = new QPushButton("S&top", grpWebserver);
    btnStopWebserver->setObjectName("btnStopWebserver");
    buttons->addWidget(btnStartWebserver);
    buttons->addWidget(btnStopWebserver);
    buttons->addStretch();
    form->addRow(buttons);
    edWebUsername = new QLineEdit(grpWebserver);
    edWebUsername->setObjectName("edWebUsername");
    form->addRow("Username", edWebUsername);
    edWebPassword = new QLineEdit(grpWebserver);
    edWebPassword->setObjectName("edWebPassword");
    edWebPassword->setEchoMode(QLineEdit::Password);
    form->addRow("Password", edWebPassword);
    layout->addWidget(grpWebserver);
    showRunning(false);
}

void WebServerControls::showRunning(bool running) const {
    btnStartWebserver->setEnabled(!running);
    btnStopWebserver->setEnabled(running);
    for (QWidget* setting : std::initializer_list<QWidget*>{seWebserverPort, cbAutoStartWebserver,
                                                            edWebUsername, edWebPassword})
        setting->setEnabled(!running);
}

// ----------------------------------------------------------- the page

WebOptionsPage::WebOptionsPage(TfrmMain& window, const MainWindowUi& ui, TvSession& session,
                               ErrorHandler& errors)
    : window_(window), ui_(ui), session_(session), errors_(errors) {}

void WebOptionsPage::connectControls() {
    TfrmMain* w = &window_;
    // The web server's settings are read when it starts, the webcast's when
    // a webcast graph is built.
    const auto option = [this](auto change) {
        return [this, change](auto value) {
            WebOptions options = session_.webcast().options();
            change(options, value);
            session_.webcast().setOptions(options);
        };
    };
    QObject::connect(ui_.webServer.btnStartWebserver, &QPushButton::clicked, w,
                     Guarded<>(errors_, [w] { w->btnStartWebserverClick(); }));
    QObject::connect(ui_.webServer.btnStopWebserver, &QPushButton::clicked, w,
                     Guarded<>(errors_, [w] { w->btnStopWebserverClick(); }));
    QObject::connect(ui_.webServer.seWebserverPort, &QSpinBox::valueChanged, w,
                     option([](WebOptions& o, int port) { o.webServerPort = port; }));
    QObject::connect(ui_.webServer.edWebUsername, &QLineEdit::textChanged, w,
                     option([](WebOptions& o, const QString& text) { o.userName = text; }));
    QObject::connect(ui_.webServer.edWebPassword, &QLineEdit::textChanged, w,
                     option([](WebOptions& o, const QString& text) { o.password = text; }));
    QObject::connect(ui_.webcast.seWebcastPort, &QSpinBox::valueChanged, w,
                     option([](WebOptions& o, int port) { o.webcastPort = port; }));
    QObject::connect(ui_.webcast.seWebcastClients, &QSpinBox::valueChanged, w,
                     option([](WebOptions& o, int clients) { o.maxClients = clients; }));
    QObject::connect(ui_.webcast.cmbWebcastProfile, &QComboBox::currentIndexChanged, w,
                     [this](int entry) { session_.webcast().chooseProfile(entry); });
    const auto icecast = [this, option](auto change) {
        return [this, change, set = option(change)](auto value) {
            set(value);
            checkIcecastAddress();
        };
    };
    QObject::connect(ui_.webcast.cbIcecast, &QCheckBox::toggled, w,
                     icecast([](WebOptions& o, bool on) { o.icecastEnabled = on; }));
    QObject::connect(ui_.webcast.edIcecastAddress, &QLineEdit::textChanged, w,
                     icecast([](WebOptions& o, const QString& text) { o.icecastAddress = text; }));
    QObject::connect(ui_.webcast.edIcecastUsername, &QLineEdit::textChanged, w,
                     option([](WebOptions& o, const QString& text) { o.icecastUserName = text; }));
    QObject::connect(ui_.webcast.edIcecastPassword, &QLineEdit::textChanged, w,
                     option([](WebOptions& o, const QString& text) { o.icecastPassword = text; }));
}

void WebOptionsPage::showProfiles() {
    ui_.webcast.fillProfiles(session_.webcast().profiles());
    ui_.webcast.showIcecast(session_.webcast().options());
    checkIcecastAddress();
}

void WebOptionsPage::checkIcecastAddress() {
    ui_.webcast.showIcecastError(session_.webcast().icecastAddressError());
}

void WebOptionsPage::startServer() {
    const QString failure = session_.webServer().StartWebServer();
    if (!failure.isEmpty()) {
        window_.setStatusText(failure);
        return;
    }
    ui_.webServer.showRunning(true);
}

void WebOptionsPage::stopServer() {
    session_.webServer().StopWebServer();
    ui_.webServer.showRunning(false);
}

} // namespace qeltv
