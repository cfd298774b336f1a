#include "app/uFrmSplash.h"

#include "app/JpegImage.h"
#include "app/Version.h"

#include <QFile>
#include <QLabel>
#include <QScreen>
#include <QVBoxLayout>

namespace qeltv {

TfrmSplash::TfrmSplash(QWidget* parent)
    : QWidget(parent, Qt::SplashScreen | Qt::FramelessWindowHint) {
    setObjectName("TfrmSplash");
    setFixedSize(kWidth, kHeight);
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::white);
    pal.setColor(QPalette::WindowText, Qt::black);
    setPalette(pal);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->setSpacing(2);
    auto* logo = new QLabel(this);
    logo->setObjectName("imgLogo");
    logo->setAlignment(Qt::AlignCenter);
    QFile file(":/qeltv/logo.jpg");
    if (file.open(QIODevice::ReadOnly))
        logo->setPixmap(QPixmap::fromImage(DecodeJpeg(file.readAll())));
    layout->addWidget(logo, 1);
    auto* version = new QLabel(this);
    version->setObjectName("lblVersion");
    version->setAlignment(Qt::AlignCenter);
    QFont bold = version->font();
    bold.setBold(true);
    version->setFont(bold);
    layout->addWidget(version);
    auto* small = new QLabel(QStringLiteral("Television for Linux. Loading..."), this);
    small->setObjectName("lblSmallPrint");
    small->setAlignment(Qt::AlignCenter);
    QFont f = small->font();
    f.setPointSizeF(f.pointSizeF() * 0.8);
    small->setFont(f);
    layout->addWidget(small);
    FormCreate();

    if (QScreen* screen = this->screen())
        move(screen->geometry().center() - rect().center());
}

void TfrmSplash::FormCreate() {
    findChild<QLabel*>("lblVersion")->setText(QStringLiteral("Version: ") + VersionText());
}

QString TfrmSplash::versionLine() const {
    return findChild<QLabel*>("lblVersion")->text();
}

} // namespace qeltv
