#include "settings/uFrmEditChannelName.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace qeltv {

TfrmEditChannelname::TfrmEditChannelname(QWidget* owner, const QString& name)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setObjectName("TfrmEditChannelname");
    setWindowTitle(QStringLiteral("Edit channel name"));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QStringLiteral("Channel name:"), this));
    box_ = new QComboBox(this);
    box_->setObjectName("cmbChannelName");
    box_->setEditable(true);
    box_->setInsertPolicy(QComboBox::NoInsert);
    box_->setMinimumWidth(220);
    box_->lineEdit()->setText(name);
    layout->addWidget(box_);
    auto* buttons = new QHBoxLayout;
    auto* ok = new QPushButton(QStringLiteral("&OK"), this);
    ok->setObjectName("btnOK");
    ok->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("&Cancel"), this);
    cancel->setObjectName("btnCancel");
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    layout->addLayout(buttons);
    setFixedSize(sizeHint());
}

QString TfrmEditChannelname::name() const {
    return box_->lineEdit()->text();
}

} // namespace qeltv
