#include "app/WebOptionsPage.h"

#include "app/TvSession.h"
#include "capture/AsfWriter.h"

#include <QBoxLayout>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLabel>
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
    layout->addWidget(grpWebcast);
}

void WebcastOptionsControls::fillProfiles(const ChoiceList& profiles) const {
    // Filling is no choice of the user's: the index stays as it is.
    const QSignalBlocker blocker(cmbWebcastProfile);
    cmbWebcastProfile->clear();
    cmbWebcastProfile->addItems(profiles.entries);
    cmbWebcastProfile->setCurrentIndex(profiles.selected);
}

} // namespace qeltv
