// The video format dialog on the Virtual TV Card's preview pin, and its
// arithmetic; the audio format list's entries.
#include "capture/Devices.h"
#include "capture/FilterGraph.h"
#include "capture/VirtualSources.h"
#include "capture/VirtualTvCard.h"
#include "config/DeviceSelection.h"
#include "config/VideoFormatRules.h"
#include "config/uFrmVideoFormat.h"
#include "settings/AutoTuneStore.h"
#include "settings/RegStore.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>

#include <gtest/gtest.h>

using namespace qeltv;

namespace {

class VideoFormatDialog : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        filter = CreateFilter(kVirtualCardMoniker, "filterVideoCap", context);
        pin = FilterGraph::FindPinByName(*filter, "Preview");
        ASSERT_NE(pin, nullptr);
    }
    void setPin(int width, int height, std::int64_t duration) {
        ASSERT_EQ(pin->SetFormat(VideoFormat(subtype::YUY2, width, height, duration)),
                  status::S_OK);
    }
    MediaType pinFormat() const {
        MediaType f;
        pin->GetFormat(f);
        return f;
    }
    // Opens the dialog modally and lets `act` work it once it shows.
    int run(const std::function<void(TfrmVideoFormat&)>& act) {
        TfrmVideoFormat dialog(nullptr, *pin);
        QTimer::singleShot(0, &dialog, [&] { act(dialog); });
        return dialog.execChecked();
    }

    QTemporaryDir dir;
    RegFile machine{(dir.path() + "/m.reg").toStdString(), "HKEY_LOCAL_MACHINE"};
    AutoTuneStore store{machine};
    VirtualTvCard card;
    CaptureContext context{card, store};
    std::shared_ptr<Filter> filter;
    Pin* pin = nullptr;
};

} // namespace

// The dialog reads the pin on opening and writes it only on OK: caption,
// the listed size or "320x240", the rate as "%8.3f"; OK without changes
// writes the same format, OK after changes the new one, Cancel nothing.
TEST_F(VideoFormatDialog, OpensFromThePinAndWritesOnlyOnOk) {
    setPin(352, 288, 400000);
    int result = run([](TfrmVideoFormat& d) {
        EXPECT_EQ(d.windowTitle(), "Preview");
        EXPECT_EQ(d.size(), QSize(TfrmVideoFormat::kClientWidth, TfrmVideoFormat::kClientHeight));
        EXPECT_EQ(d.cmbResolution->count(), 21);
        EXPECT_EQ(d.cmbResolution->currentText(), "352x288");
        EXPECT_EQ(d.edFrameRate->text(), "  25.000");
        d.btnOK->click();
    });
    EXPECT_EQ(result, QDialog::Accepted);
    EXPECT_EQ(pinFormat().video.AvgTimePerFrame, 400000);
    EXPECT_EQ(pinFormat().video.biWidth, 352);
    EXPECT_EQ(pinFormat().video.biHeight, 288);

    // A size the list lacks opens as "320x240", which OK then writes.
    setPin(1920, 1080, 400000);
    run([](TfrmVideoFormat& d) {
        EXPECT_EQ(d.cmbResolution->currentText(), "320x240");
        d.btnOK->click();
    });
    EXPECT_EQ(pinFormat().video.biWidth, 320);
    EXPECT_EQ(pinFormat().video.biHeight, 240);

    // Cancel after changing both leaves the pin as it was.
    setPin(640, 480, 400000);
    result = run([](TfrmVideoFormat& d) {
        d.cmbResolution->setCurrentText("160x120");
        d.SpinButton1Up->click();
        d.btnCancel->click();
    });
    EXPECT_EQ(result, QDialog::Rejected);
    EXPECT_EQ(pinFormat().video.biWidth, 640);
    EXPECT_EQ(pinFormat().video.AvgTimePerFrame, 400000);

    // The arrows from 25 up to 30 and down to 29.97; OK writes that rate.
    run([](TfrmVideoFormat& d) {
        for (int i = 0; i < 6; ++i)
            d.SpinButton1Up->click();
        EXPECT_EQ(d.edFrameRate->text(), "  30.000");
        d.SpinButton1Down->click();
        EXPECT_EQ(d.edFrameRate->text(), "  29.970");
        d.btnOK->click();
    });
    EXPECT_EQ(pinFormat().video.AvgTimePerFrame, 333667);
}

// OK's arithmetic and the arrows' exact equalities.
TEST(VideoFormatRules, OkArithmeticAndArrows) {
    MediaType rgb = VideoFormat(subtype::RGB24, 640, 480, 400000);
    ASSERT_EQ(rgb.video.biBitCount, 24);
    MediaType f = FormatForChoice(rgb, "352x288", 25.0);
    EXPECT_EQ(f.video.AvgTimePerFrame, 400000);
    EXPECT_EQ(FormatForChoice(rgb, "352x288", 29.97).video.AvgTimePerFrame, 333667);
    EXPECT_EQ(FormatForChoice(rgb, "352x288", 30).video.AvgTimePerFrame, 333333);
    // The width counts as a multiple of 4: 324 x 240 x 3 bytes.
    f = FormatForChoice(rgb, "322x240", 25);
    EXPECT_EQ(f.video.biSizeImage, 233280u);
    EXPECT_EQ(f.lSampleSize, 233280u);
    // Parts that are not whole numbers become 320 and 240.
    f = FormatForChoice(rgb, "widex", 25);
    EXPECT_EQ(f.video.biWidth, 320);
    EXPECT_EQ(f.video.biHeight, 240);
    // The rest of the format stays as read.
    EXPECT_EQ(f.subtype, rgb.subtype);
    EXPECT_EQ(f.video.biCompression, rgb.video.biCompression);
    // A frame duration beyond a signed 32-bit number.
    EXPECT_THROW(FormatForChoice(rgb, "320x240", 0.004), RangeCheckError);
    try {
        FormatForChoice(rgb, "320x240", 0.004);
    } catch (const RangeCheckError& e) {
        EXPECT_STREQ(e.what(), "Range check error");
    }

    std::vector<double> up{25};
    for (int i = 0; i < 6; ++i)
        up.push_back(FrameRateUp(up.back()));
    EXPECT_EQ(up, (std::vector<double>{25, 26, 27, 28, 29.97, 30, 30}));
    std::vector<double> down{30};
    for (int i = 0; i < 4; ++i)
        down.push_back(FrameRateDown(down.back()));
    EXPECT_EQ(down, (std::vector<double>{30, 29.97, 28, 27, 26}));
    EXPECT_EQ(FrameRateDown(1), 1);
    EXPECT_EQ(FrameRateDown(2), 1);
    // Off the steps: whole units, but never to 0 or below.
    EXPECT_EQ(FrameRateUp(50), 51);
    EXPECT_EQ(FrameRateDown(12.5), 11.5);
    EXPECT_EQ(FrameRateDown(0.5), 0.5);
    // A pin without a frame duration opens at 25.
    EXPECT_EQ(FrameRateOf(0), kRateForNoFrameDuration);
    EXPECT_EQ(FrameRateText(29.97, ","), "  29,970");
}

// A format without a wave format block has an empty entry in its place, so
// the entries after it still stand for their formats.
TEST(AudioFormatList, EntryWithoutWaveFormatKeepsItsPlace) {
    const std::vector<MediaType> formats{PcmFormat(44100, 16, 2),
                                         VideoFormat(subtype::YUY2, 320, 240, 400000),
                                         PcmFormat(8000, 8, 1)};
    const QStringList entries = AudioFormatEntries(formats);
    ASSERT_EQ(entries.size(), 3);
    EXPECT_EQ(entries[0], "44100 Hertz, 16 bits, stereo, 172 kb/sec");
    EXPECT_EQ(entries[1], "");
    EXPECT_EQ(entries[2], "8000 Hertz, 8 bits, mono, 7 kb/sec");
    EXPECT_EQ(SelectBySavedName(entries, entries[2], NameMatch::First, 0), 2);
}

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    gst_init(&argc, &argv);
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
