// The splash window and the about box.
#include "app/JpegImage.h"
#include "app/uFrmAbout.h"
#include "app/uFrmSplash.h"
#include "tests/app/GuiTest.h"

#include <QFile>
#include <QLabel>

using namespace qeltv;

TEST(SplashAbout, TextsSizesAndLogo) {
    TfrmSplash splash;
    EXPECT_EQ(splash.versionLine(), "Version: 1.0.0.160");
    EXPECT_EQ(splash.size(), QSize(249, 121));
    // The logo is a JPEG picture decoded with libjpeg.
    QFile logo(":/qeltv/logo.jpg");
    ASSERT_TRUE(logo.open(QIODevice::ReadOnly));
    const QByteArray bytes = logo.readAll();
    const QImage image = DecodeJpeg(bytes);
    ASSERT_FALSE(image.isNull());
    EXPECT_LE(image.width(), 249);
    EXPECT_EQ(splash.findChild<QLabel*>("imgLogo")->pixmap().size(), image.size());
    // Not a JPEG picture: no picture, and libjpeg's error does not end the
    // program.
    EXPECT_TRUE(DecodeJpeg("not a picture").isNull());
    EXPECT_TRUE(DecodeJpeg(QByteArray("\xff\xd8\xff\xe0garbage", 12)).isNull());

    QWidget owner;
    TfrmAbout about(&owner);
    EXPECT_EQ(about.windowTitle(), "About");
    EXPECT_EQ(about.titleLine(), "qEL TV 1.0.0.160");
    EXPECT_EQ(about.size(), QSize(341, 272));
    EXPECT_TRUE(about.findChild<QLabel*>("lblContact")->text().contains("mailto:"));
}

QELTV_GUI_TEST_MAIN()
