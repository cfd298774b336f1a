#include "app/uFrmAbout.h"

#include "app/Version.h"

#include <QApplication>
#include <QDesktopServices>
#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QUrl>

namespace qeltv {

TfrmAbout::TfrmAbout(QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setObjectName("TfrmAbout");
    setWindowTitle(QStringLiteral("About"));
    setFixedSize(kWidth, kHeight);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::white);
    setPalette(pal);

    auto* grid = new QGridLayout(this);
    auto* icon = new QLabel(this);
    icon->setPixmap(QApplication::windowIcon().pixmap(32, 32));
    icon->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    grid->addWidget(icon, 0, 0, 3, 1);

    auto* title = new QLabel(this);
    title->setObjectName("lblTitle");
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    grid->addWidget(title, 0, 1);

    auto* small = new QLabel(QStringLiteral("Watch, record and webcast analog television."), this);
    QFont f = small->font();
    f.setPointSizeF(f.pointSizeF() * 0.8);
    small->setFont(f);
    grid->addWidget(small, 1, 1);
    grid->addWidget(new QLabel(QStringLiteral("Comments or questions ?"), this), 2, 1);

    auto* mail = new QLabel(QStringLiteral("Send an e-mail to <a href=\"mailto:%1\" "
                                           "style=\"color:blue;text-decoration:underline\">%1</a>")
                                .arg(kContactAddress),
                            this);
    mail->setObjectName("lblContact");
    mail->setTextFormat(Qt::RichText);
    mail->setTextInteractionFlags(Qt::LinksAccessibleByMouse);
    mail->setCursor(Qt::PointingHandCursor);
    connect(mail, &QLabel::linkActivated, this,
            [](const QString& link) { QDesktopServices::openUrl(QUrl(link)); });
    grid->addWidget(mail, 3, 1);

    auto* thanks = new QLabel(
        QStringLiteral("Thanks to the people behind Qt, GStreamer, Video4Linux and libjpeg, "
                       "on whose work this program stands."),
        this);
    thanks->setWordWrap(true);
    grid->addWidget(thanks, 4, 0, 1, 2);

    auto* ok = new QPushButton(QStringLiteral("&OK"), this);
    ok->setObjectName("btnOK");
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    grid->addWidget(ok, 5, 0, 1, 2, Qt::AlignHCenter);
    FormCreate();
}

void TfrmAbout::FormCreate() {
    findChild<QLabel*>("lblTitle")
        ->setText(QApplication::applicationDisplayName() + QStringLiteral(" ") + VersionText());
}

QString TfrmAbout::titleLine() const {
    return findChild<QLabel*>("lblTitle")->text();
}

} // namespace qeltv
