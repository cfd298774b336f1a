// The video window widget over the preview renderer: the picture of the
// tuned station, painted and following channel changes, and the caption
// drawn over it.
#include "app/VideoWindow.h"
#include "capture/Devices.h"
#include "capture/VirtualSources.h"
#include "tests/capture/test_graph_support.h"

#include <QApplication>
#include <QBackingStore>
#include <QPainter>

namespace qeltv {
namespace {

using test::GraphTest;
using test::kStreamWait_ms;
using test::WaitUntil;

// Share of pixels whose colour differs clearly between two pictures.
double ChangedShare(const QImage& a, const QImage& b) {
    if (a.size() != b.size() || a.isNull())
        return 1.0;
    int changed = 0;
    for (int y = 0; y < a.height(); y += 4)
        for (int x = 0; x < a.width(); x += 4) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            if (std::abs(qRed(p) - qRed(q)) + std::abs(qGreen(p) - qGreen(q)) +
                    std::abs(qBlue(p) - qBlue(q)) >
                96)
                ++changed;
        }
    return double(changed) / ((a.width() / 4) * (a.height() / 4));
}

TEST_F(GraphTest, PreviewShowsTheTunedStationAndFollowsChannelChanges) {
    QWidget pnlBack;
    pnlBack.resize(320, 240);
    FilterObject cap(*graph, "filterVideoCap");
    cap.setMoniker(kVirtualCardMoniker);
    cap.Attach();
    VideoRenderer renderer(*graph);
    VideoWindow window(renderer, &pnlBack);
    renderer.Attach();
    pnlBack.show();
    EXPECT_EQ(window.geometry(), pnlBack.rect());

    const auto& stations = VirtualTvCard::stations();
    ASSERT_GE(stations.size(), 2u);
    card.tune(stations[0].frequency_hz);
    Pin* preview = FilterGraph::FindPinByName(cap.filter(), "Preview");
    ASSERT_EQ(preview->SetFormat(VideoFormat(subtype::YUY2, 320, 240, 400000)), status::S_OK);
    ASSERT_EQ(graph->RenderStream(PinCategory::Preview, MediaKind::Video, &cap.filter(), nullptr,
                                  &renderer.filter()),
              status::S_OK);
    renderer.setKeepAspectRatio(true);
    graph->Run();
    ASSERT_TRUE(WaitUntil([&] { return window.framesShown() >= 5; }, 5000));
    const QImage first = window.currentFrame();
    EXPECT_EQ(first.size(), QSize(320, 240));
    const quint64 seen = window.framesShown();
    ASSERT_TRUE(WaitUntil([&] { return window.framesShown() >= seen + 3; }, 3000));
    const QImage moving = window.currentFrame();
    // The same station keeps its look but never freezes.
    EXPECT_GT(ChangedShare(first, moving), 0.0);
    EXPECT_LT(ChangedShare(first, moving), 0.5);

    card.tune(stations[1].frequency_hz);
    const quint64 before = window.framesShown();
    ASSERT_TRUE(WaitUntil([&] { return window.framesShown() >= before + 3; }, 3000));
    EXPECT_GT(ChangedShare(first, window.currentFrame()), 0.5);

    // The widget paints the picture: a grab shows it, not a black window.
    const QImage grabbed = window.grab().toImage();
    EXPECT_EQ(grabbed.size(), QSize(320, 240));
    EXPECT_LT(ChangedShare(grabbed.convertToFormat(QImage::Format_RGB32),
                           window.currentFrame().convertToFormat(QImage::Format_RGB32)),
              0.5);
    graph->Stop();
}

// What the window's top level shows now: its backing store, where the
// window paints, rather than a fresh rendering such as grab() makes.
QImage Shown(QWidget& topLevel) {
    QBackingStore* store = topLevel.backingStore();
    const auto* image = store ? dynamic_cast<const QImage*>(store->paintDevice()) : nullptr;
    return image ? image->convertToFormat(QImage::Format_RGB32) : QImage();
}

// Share of the pixels in `area` that are not black.
double LitShare(const QImage& image, const QRect& area) {
    int lit = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            lit += qGray(image.pixel(x, y)) > 16;
    return double(lit) / (area.width() * area.height());
}

// Guards the repaint of each frame as it is taken: the window shows the
// newest frame itself (never a stale one), letterboxed with black bars in a
// window of another shape, and the bars are painted again when the picture
// moves without the window changing size (a new format).
TEST_F(GraphTest, LetterboxedPreviewShowsEachNewFrameBetweenBlackBars) {
    QWidget pnlBack;
    pnlBack.resize(480, 240);
    FilterObject cap(*graph, "filterVideoCap");
    cap.setMoniker(kVirtualCardMoniker);
    cap.Attach();
    VideoRenderer renderer(*graph);
    VideoWindow window(renderer, &pnlBack);
    renderer.Attach();
    pnlBack.show();
    const auto& stations = VirtualTvCard::stations();
    ASSERT_GE(stations.size(), 2u);
    card.tune(stations[0].frequency_hz);
    Pin* preview = FilterGraph::FindPinByName(cap.filter(), "Preview");
    ASSERT_EQ(preview->SetFormat(VideoFormat(subtype::YUY2, 320, 180, 400000)), status::S_OK);
    ASSERT_EQ(graph->RenderStream(PinCategory::Preview, MediaKind::Video, &cap.filter(), nullptr,
                                  &renderer.filter()),
              status::S_OK);
    renderer.setKeepAspectRatio(true);
    graph->Run();

    // A wide picture fills the height and leaves narrow bars.
    ASSERT_TRUE(WaitUntil([&] { return window.framesShown() >= 5; }, kStreamWait_ms));
    const QRect wide = window.pictureRect();
    EXPECT_EQ(wide, QRect(27, 0, 426, 240));
    QImage shown = Shown(pnlBack);
    ASSERT_EQ(shown.size(), QSize(480, 240));
    EXPECT_EQ(LitShare(shown, QRect(0, 0, 27, 240)), 0.0);
    EXPECT_EQ(LitShare(shown, QRect(453, 0, 27, 240)), 0.0);
    EXPECT_GT(LitShare(shown, wide), 0.5);

    // Each new frame is shown: after a channel change the window shows the
    // new station, as the frame it holds does.
    card.tune(stations[1].frequency_hz);
    quint64 before = window.framesShown();
    ASSERT_TRUE(WaitUntil([&] { return window.framesShown() >= before + 5; }, kStreamWait_ms));
    const QImage frame = window.currentFrame().convertToFormat(QImage::Format_RGB32);
    EXPECT_LT(ChangedShare(Shown(pnlBack).copy(wide), frame.scaled(wide.size())), 0.1);
    EXPECT_GT(ChangedShare(shown.copy(wide), frame.scaled(wide.size())), 0.3);

    // A 4:3 picture in the same window: where the wide picture stood is a
    // bar now.
    graph->Stop();
    ASSERT_EQ(preview->SetFormat(VideoFormat(subtype::YUY2, 320, 240, 400000)), status::S_OK);
    graph->Run();
    before = window.framesShown();
    ASSERT_TRUE(WaitUntil([&] { return window.framesShown() >= before + 5; }, kStreamWait_ms));
    const QRect narrow = window.pictureRect();
    EXPECT_EQ(narrow, QRect(80, 0, 320, 240));
    shown = Shown(pnlBack);
    EXPECT_EQ(LitShare(shown, QRect(0, 0, 80, 240)), 0.0);
    EXPECT_EQ(LitShare(shown, QRect(400, 0, 80, 240)), 0.0);
    EXPECT_LT(ChangedShare(shown.copy(narrow),
                           window.currentFrame().convertToFormat(QImage::Format_RGB32)),
              0.1);
    graph->Stop();
}

TEST_F(GraphTest, OsdCaptionNeedsATunerAndClearsItself) {
    QWidget pnlBack;
    pnlBack.resize(200, 100);
    VideoRenderer renderer(*graph);
    VideoWindow window(renderer, &pnlBack);
    FilterObject cap(*graph, "filterVideoCap");
    cap.setMoniker(kVirtualCardMoniker);
    cap.Attach();
    window.ShowOsdText("1 - News", nullptr);
    EXPECT_EQ(window.osdText(), "");
    EXPECT_FALSE(window.OSDTimer().isActive());

    window.ShowOsdText("1 - News", graph->FindTuner(cap.filter()));
    EXPECT_EQ(window.osdText(), "1 - News");
    EXPECT_TRUE(window.OSDTimer().isActive());
    EXPECT_EQ(window.OSDTimer().interval(), 5000);
    EXPECT_TRUE(window.OSDTimer().isSingleShot());
    EXPECT_TRUE(window.osdFont().bold());
    EXPECT_EQ(window.osdFont().pointSize(), 12);
    // White text drawn near the top-left corner over the black window.
    const QImage shot = window.grab().toImage();
    int white = 0;
    for (int y = 5; y < 30; ++y)
        for (int x = 5; x < 80; ++x)
            white += qGray(shot.pixel(x, y)) > 200;
    EXPECT_GT(white, 20);
    window.OSDTimerTimer();
    EXPECT_EQ(window.osdText(), "");
    EXPECT_FALSE(window.OSDTimer().isActive());
}

// The caption reads on a white picture too: its white glyphs are drawn with
// a dark outline, which a plain white text on white would lack.
TEST(OsdCaption, ReadsOnAWhitePicture) {
    QImage picture(200, 60, QImage::Format_RGB32);
    picture.fill(Qt::white);
    QFont font;
    font.setFamilies({QStringLiteral("DejaVu Sans")});
    font.setBold(true);
    font.setPointSize(kOsdFontPointSize);
    {
        QPainter painter(&picture);
        VideoWindow::paintCaption(painter, picture.rect().adjusted(5, 5, 0, 0), "14 - Noname",
                                  font);
    }
    int dark = 0;
    for (int y = 0; y < picture.height(); ++y)
        for (int x = 0; x < picture.width(); ++x)
            dark += qGray(picture.pixel(x, y)) < 100;
    // Each of the nine glyphs has an outline of many pixels.
    EXPECT_GT(dark, 100);
    // The outline is thin: the picture stays visible around the caption.
    EXPECT_LT(dark, picture.width() * picture.height() / 4);
}

} // namespace
} // namespace qeltv

// Widgets need the widget application, made before the graph tests' own.
int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
