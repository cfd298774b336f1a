// The Preferences page: the lists' change handlers through the session core,
// the format buttons and the configuration dialogs of the real window on the
// Virtual TV Card.
#include "app/VideoWindow.h"
#include "app/session/TvSession.h"
#include "app/uFrmMain.h"
#include "capture/VirtualSources.h"
#include "config/PropertyDialog.h"
#include "config/uFrmVideoFormat.h"
#include "tests/app/GuiTest.h"
#include "tests/app/SessionSupport.h"

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QStatusBar>
#include <QThread>

using namespace qeltv;
using namespace qeltv::test;

namespace {

// Long enough for a loaded machine; the tests wait for events, not times.
constexpr int kWait_ms = 20000;

bool WaitUntil(const std::function<bool()>& condition) {
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > kWait_ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(5);
    }
    return true;
}

// Every build ends in one control-state update.
int Builds(const FakeView& view) {
    return static_cast<int>(view.updates.size());
}

GstState State(TvSession& s) {
    return s.graphBuilder().graph().state();
}

// A live graph reaches playing a moment after it is run.
bool Playing(TvSession& s) {
    return WaitUntil([&] { return State(s) == GST_STATE_PLAYING; });
}

int IndexOf(const ChoiceList& list, const QString& text, int from = 0) {
    for (int i = from; i < list.entries.size(); ++i)
        if (list.entries[i] == text)
            return i;
    return -1;
}

double MeanGray(const QImage& image) {
    if (image.isNull())
        return -1;
    double sum = 0;
    int n = 0;
    for (int y = 0; y < image.height(); y += 4)
        for (int x = 0; x < image.width(); x += 4, ++n)
            sum += qGray(image.pixel(x, y));
    return n ? sum / n : -1;
}

template <class T> T* Child(QDialog* dialog, const QString& name) {
    T* child = dialog->findChild<T*>(name);
    EXPECT_NE(child, nullptr) << name.toStdString();
    return child;
}

} // namespace

// Each list's handler: the setting takes the entry's text, the filter is
// bound to exactly the entry chosen (of two equal names, the later one when
// chosen, the first at start-up), and the graph is rebuilt, stopped and run
// again, or left stopped as the handler says.
TEST(Preferences, ChangeHandlersOfTheCore) {
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    FakeView view;
    auto session = std::make_unique<TvSession>(paths, nullptr, view);
    view.session = session.get();
    session->start(std::nullopt);
    ASSERT_TRUE(view.errors.isEmpty()) << view.errors.join("; ").toStdString();
    ASSERT_TRUE(Playing(*session));
    GraphBuilder& graph = session->graphBuilder();
    const DeviceEnumerator devices(paths.cacheDir);

    // A compressor, then "None".
    int builds = Builds(view);
    const int jpeg = IndexOf(session->preferences().videoCompressors(), "JPEG image encoder");
    ASSERT_GT(jpeg, 0);
    session->preferences().chooseVideoCompressor(jpeg);
    EXPECT_EQ(session->settings().VideoCompressor, "JPEG image encoder");
    EXPECT_EQ(graph.filterVideoCompression.moniker(), "encoder:jpegenc");
    EXPECT_TRUE(graph.filterVideoCompression.hasFilter());
    EXPECT_EQ(Builds(view), builds + 1);
    EXPECT_TRUE(Playing(*session));
    session->preferences().chooseVideoCompressor(0);
    EXPECT_EQ(session->settings().VideoCompressor, "None");
    EXPECT_FALSE(graph.filterVideoCompression.attached());
    EXPECT_FALSE(graph.filterVideoCompression.hasFilter());
    EXPECT_EQ(Builds(view), builds + 2);
    EXPECT_TRUE(Playing(*session));

    // Two audio compressors share a name: the later entry binds the later
    // device.
    const ChoiceList& audio = session->preferences().audioCompressors();
    int first = -1, later = -1;
    for (int i = 0; i < audio.entries.size() && later < 0; ++i) {
        const int again = IndexOf(audio, audio.entries[i], i + 1);
        if (again > 0) {
            first = i;
            later = again;
        }
    }
    ASSERT_GT(later, 0) << "this machine's encoders have two of one name";
    const auto listed = devices.Enumerate(DeviceCategory::AudioCompressor);
    builds = Builds(view);
    session->preferences().chooseAudioCompressor(later);
    EXPECT_EQ(
        graph.filterAudioCompression.moniker(),
        listed[static_cast<std::size_t>(audio.data[static_cast<std::size_t>(later)])].moniker);
    EXPECT_NE(
        graph.filterAudioCompression.moniker(),
        listed[static_cast<std::size_t>(audio.data[static_cast<std::size_t>(first)])].moniker);
    EXPECT_EQ(session->settings().AudioCompressor, audio.entries[later].toStdString());
    EXPECT_FALSE(session->preferences().audioFormats().empty());
    EXPECT_EQ(Builds(view), builds + 1);
    EXPECT_TRUE(Playing(*session));

    // A format: set on the compressor's output, the graph stopped and run
    // again without a build.
    builds = Builds(view);
    ASSERT_GE(session->preferences().audioFormats().entries.size(), 2);
    session->preferences().chooseAudioFormat(1);
    EXPECT_EQ(session->settings().AudioCompressionFormat,
              session->preferences().audioFormats().entries[1].toStdString());
    const auto chosen = session->preferences().selectedAudioFormat();
    ASSERT_TRUE(chosen);
    MediaType applied;
    ASSERT_EQ(FilterGraph::FindPinByName(graph.filterAudioCompression.filter(), "Output")
                  ->GetFormat(applied),
              status::S_OK);
    EXPECT_EQ(applied.audio.nSamplesPerSec, chosen->audio.nSamplesPerSec);
    EXPECT_EQ(applied.audio.nChannels, chosen->audio.nChannels);
    EXPECT_EQ(Builds(view), builds);
    EXPECT_TRUE(Playing(*session));

    // An input line: switched on, rebuilt.
    const int line = IndexOf(session->preferences().inputLines(), "Line");
    ASSERT_GE(line, 0);
    session->preferences().chooseInputLine(line);
    EXPECT_EQ(session->settings().InputLine, "Line");
    EXPECT_TRUE(session->virtualCard().lineEnabled(1));
    EXPECT_EQ(Builds(view), builds + 1);
    EXPECT_TRUE(Playing(*session));

    // The audio device: bound again, its lines refilled, the graph left
    // stopped until Play.
    builds = Builds(view);
    session->preferences().chooseAudioCaptureDevice(
        session->preferences().audioCaptureDevices().selected);
    EXPECT_EQ(session->settings().AudioCapDev, "Virtual TV Card Audio");
    EXPECT_EQ(graph.filterAudioCap.moniker(), kVirtualCardAudioMoniker);
    EXPECT_EQ(session->preferences().inputLines().entries,
              (QStringList{"Tuner", "Line", "Microphone"}));
    EXPECT_EQ(Builds(view), builds);
    EXPECT_NE(State(*session), GST_STATE_PLAYING);
    session->play();
    EXPECT_TRUE(Playing(*session));

    // The video device: bound, its tuner found again by the rebuild.
    session->preferences().chooseVideoCaptureDevice(
        session->preferences().videoCaptureDevices().selected);
    EXPECT_EQ(session->settings().VideoCapDev, "Virtual TV Card");
    EXPECT_EQ(graph.filterVideoCap.moniker(), kVirtualCardMoniker);
    EXPECT_NE(graph.tuner(), nullptr);
    EXPECT_EQ(Builds(view), builds + 1);
    EXPECT_TRUE(Playing(*session));
    EXPECT_TRUE(view.errors.isEmpty()) << view.errors.join("; ").toStdString();
    EXPECT_TRUE(view.boxes.isEmpty()) << view.boxes.join("; ").toStdString();

    // At start-up the saved name of the pair selects the first of them.
    session->preferences().chooseAudioCompressor(later);
    session.reset();
    FakeView again;
    session = std::make_unique<TvSession>(paths, nullptr, again);
    again.session = session.get();
    session->start(std::nullopt);
    EXPECT_EQ(session->preferences().audioCompressors().selected, first);
    EXPECT_EQ(session->preferences().videoCompressors().selectedText(), "None");
    EXPECT_FALSE(session->graphBuilder().filterVideoCompression.hasFilter());
}

// The format buttons: the pin's format is read back after OK and after
// Cancel alike, the preview's shown in the status bar, the graph run again.
TEST(Preferences, FormatButtonsReadThePinBack) {
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    ModalAnswerer answerer;
    auto w = std::make_unique<TfrmMain>(paths, std::nullopt, nullptr, App());
    TvSession& session = w->session();
    ASSERT_TRUE(Playing(session));

    QString caption;
    answerer.onDialog = [&](QDialog* d) {
        auto* dialog = qobject_cast<TfrmVideoFormat*>(d);
        ASSERT_NE(dialog, nullptr);
        caption = dialog->windowTitle();
        dialog->cmbResolution->setCurrentText("320x240");
        dialog->btnOK->click();
    };
    w->findChild<QPushButton*>("btnPreviewFormat")->click();
    EXPECT_EQ(caption, "Preview");
    EXPECT_EQ(session.settings().PreviewWidth, 320);
    EXPECT_EQ(session.settings().PreviewHeight, 240);
    EXPECT_EQ(session.settings().PreviewFramerate, 400000);
    MediaType preview;
    session.graphBuilder().previewPin()->GetFormat(preview);
    EXPECT_EQ(w->statusBar()->currentMessage(), QString::fromStdString(MediaTypeText(preview)));
    EXPECT_TRUE(w->statusBar()->currentMessage().contains("320X240"));
    EXPECT_TRUE(Playing(session));

    // Cancel: what the pin holds now is read back all the same.
    MediaType held;
    ASSERT_NE(session.graphBuilder().capturePin(), nullptr);
    session.graphBuilder().capturePin()->GetFormat(held);
    answerer.onDialog = [&](QDialog* d) {
        caption = d->windowTitle();
        d->reject();
    };
    w->findChild<QPushButton*>("btnCaptureFormat")->click();
    EXPECT_EQ(caption, "Capture");
    EXPECT_EQ(session.settings().CaptureWidth, held.video.biWidth);
    EXPECT_EQ(session.settings().CaptureHeight, held.video.biHeight);
    EXPECT_EQ(session.settings().CaptureFramerate, held.video.AvgTimePerFrame);
    EXPECT_TRUE(Playing(session)) << State(session) << " "
                                  << w->statusBar()->currentMessage().toStdString();
    EXPECT_TRUE(answerer.messages.isEmpty()) << answerer.messages.join("; ").toStdString();
    w->close();
}

// The capture format of the core: what the dialog's OK sets on the pin
// becomes the capture settings, and the graph runs again.
TEST(Preferences, CaptureFormatReadBackByTheCore) {
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    FakeView view;
    QString pinShown;
    view.onVideoFormat = [&](Pin& pin) {
        pinShown = QString::fromStdString(pin.name());
        EXPECT_NE(State(*view.session), GST_STATE_PLAYING) << "the dialog sees a stopped graph";
        pin.SetFormat(VideoFormat(subtype::YUY2, 160, 120, 333667));
    };
    auto session = StartSession(paths, view);
    ASSERT_TRUE(Playing(*session));
    session->preferences().configureCaptureFormat();
    EXPECT_EQ(pinShown, "Capture");
    EXPECT_EQ(session->settings().CaptureWidth, 160);
    EXPECT_EQ(session->settings().CaptureHeight, 120);
    EXPECT_EQ(session->settings().CaptureFramerate, 333667);
    EXPECT_TRUE(Playing(*session)) << State(*session);
    EXPECT_TRUE(view.boxes.isEmpty()) << view.boxes.join("; ").toStdString();
    EXPECT_TRUE(view.errors.isEmpty()) << view.errors.join("; ").toStdString();
}

// The configuration dialogs change the device at once: the capture device's
// brightness shows in the picture, the crossbar routes, the audio device's
// lines switch, and a compressor's property reaches the encoder and comes
// back after a restart from qeltv.dat.
TEST(Preferences, ConfigurationDialogsOnTheVirtualTvCard) {
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    ModalAnswerer answerer;
    auto w = std::make_unique<TfrmMain>(paths, std::nullopt, nullptr, App());
    TvSession& session = w->session();
    VideoWindow* video = w->videoWindow();
    ASSERT_TRUE(WaitUntil([&] { return video->framesShown() >= 3; }));
    const double before = MeanGray(video->currentFrame());

    QString caption;
    answerer.onDialog = [&](QDialog* d) {
        caption = d->windowTitle();
        if (auto* slider = Child<QSlider>(d, "Brightness"))
            slider->setValue(slider->maximum());
        d->reject();
    };
    w->findChild<QPushButton*>("btnVideoCapConfigure")->click();
    EXPECT_EQ(caption, "filterVideoCap");
    // The graph ran on: the brighter picture arrives.
    EXPECT_TRUE(Playing(session));
    const quint64 shown = video->framesShown();
    ASSERT_TRUE(WaitUntil([&] { return video->framesShown() >= shown + 3; }));
    EXPECT_GT(MeanGray(video->currentFrame()), before + 60) << "before " << before;

    // The crossbar: the video decoder output takes the composite input.
    Crossbar* crossbar = session.graphBuilder().crossbar();
    ASSERT_NE(crossbar, nullptr);
    answerer.onDialog = [&](QDialog* d) {
        caption = d->windowTitle();
        if (auto* list = Child<QComboBox>(d, "output 0")) {
            const int composite = list->findText("1: Video Composite");
            EXPECT_GE(composite, 0);
            list->setCurrentIndex(composite);
            emit list->activated(composite);
        }
        d->reject();
    };
    w->findChild<QPushButton*>("btnCrossbar")->click();
    EXPECT_EQ(caption, QString::fromStdString(crossbar->name()));
    long routed = -1;
    crossbar->get_IsRoutedTo(0, routed);
    EXPECT_EQ(routed, 1);

    // The audio device: a line switched on here is the selected line after.
    answerer.onDialog = [&](QDialog* d) {
        EXPECT_NE(d->findChild<QWidget*>("volume"), nullptr);
        if (auto* box = Child<QCheckBox>(d, "Microphone"))
            box->setChecked(true);
        d->reject();
    };
    w->findChild<QPushButton*>("btnAudioCapDevConfigure")->click();
    EXPECT_TRUE(session.virtualCard().lineEnabled(2));
    EXPECT_EQ(session.preferences().inputLines().selectedText(), "Microphone");
    EXPECT_TRUE(Playing(session));

    // A compressor's property.
    session.preferences().chooseVideoCompressor(
        IndexOf(session.preferences().videoCompressors(), "JPEG image encoder"));
    answerer.onDialog = [&](QDialog* d) {
        caption = d->windowTitle();
        if (auto* quality = Child<QSpinBox>(d, "quality"))
            quality->setValue(42);
        d->reject();
    };
    w->findChild<QPushButton*>("btnCompressConfig")->click();
    EXPECT_EQ(caption, "filterVideoCompression");
    int quality = 0;
    g_object_get(session.graphBuilder().filterVideoCompression.filter().configurable(), "quality",
                 &quality, nullptr);
    EXPECT_EQ(quality, 42);
    EXPECT_TRUE(Playing(session));
    EXPECT_TRUE(answerer.messages.isEmpty()) << answerer.messages.join("; ").toStdString();
    w->close();
    w.reset();

    // Kept in qeltv.dat: the encoder's quality and the picture's brightness.
    w = std::make_unique<TfrmMain>(paths, std::nullopt, nullptr, App());
    GraphBuilder& graph = w->session().graphBuilder();
    ASSERT_TRUE(graph.filterVideoCompression.hasFilter());
    quality = 0;
    g_object_get(graph.filterVideoCompression.filter().configurable(), "quality", &quality,
                 nullptr);
    EXPECT_EQ(quality, 42);
    PictureControls* controls = graph.filterVideoCap.filter().pictureControls();
    ASSERT_NE(controls, nullptr);
    long brightness = 0;
    controls->get(controls->controls().front().id, brightness);
    EXPECT_EQ(brightness, controls->controls().front().maximum);
    EXPECT_TRUE(answerer.messages.isEmpty()) << answerer.messages.join("; ").toStdString();
    w->close();
}

// F12: the tuner's dialog tunes at once and shows the signal.
TEST(Preferences, TunerDialog) {
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    ModalAnswerer answerer;
    auto w = std::make_unique<TfrmMain>(paths, std::nullopt, nullptr, App());
    TvSession& session = w->session();
    ASSERT_NE(session.graphBuilder().tuner(), nullptr);
    const std::uint32_t before = session.virtualCard().frequency();
    bool signalShown = false;
    answerer.onDialog = [&](QDialog* d) {
        signalShown = d->findChild<QLabel*>("Signal strength") != nullptr;
        auto spins = d->findChildren<QSpinBox*>();
        for (QSpinBox* spin : spins)
            if (spin->objectName().contains("hannel"))
                spin->setValue(spin->value() + 1);
        d->reject();
    };
    session.preferences().configureTuner();
    EXPECT_TRUE(signalShown);
    EXPECT_NE(session.virtualCard().frequency(), before);
    w->close();
}

// The browse button: a save dialog in the recording folder with the box's
// name and the AVI filter; the path chosen goes into the box, nothing else.
TEST(Preferences, BrowseForTheCaptureFile) {
    QTemporaryDir dir;
    Paths paths = TempPaths(dir);
    ModalAnswerer answerer;
    auto w = std::make_unique<TfrmMain>(paths, std::nullopt, nullptr, App());
    TvSession& session = w->session();
    ASSERT_TRUE(Playing(session));
    const QString folder = QString::fromStdString(paths.videosDir.string());
    QString directory, suffix;
    QStringList filters;
    answerer.onDialog = [&](QDialog* d) {
        auto* dialog = qobject_cast<QFileDialog*>(d);
        ASSERT_NE(dialog, nullptr);
        directory = dialog->directory().absolutePath();
        filters = dialog->nameFilters();
        suffix = dialog->defaultSuffix();
        // Typed into the dialog's name box and confirmed, as a person would.
        auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
        ASSERT_NE(name, nullptr);
        name->setText("evening");
        QMetaObject::invokeMethod(dialog, "accept");
    };
    w->findChild<QPushButton*>("SpeedButton1")->click();
    EXPECT_EQ(directory, folder);
    EXPECT_EQ(filters, QStringList{"AVI files (*.avi)"});
    EXPECT_EQ(suffix, "avi");
    EXPECT_EQ(w->findChild<QLineEdit*>("edCapFile")->text(), folder + "/evening.avi");
    EXPECT_EQ(session.settings().CapFile, (folder + "/evening.avi").toStdString());
    // The graph runs on as it was.
    EXPECT_EQ(State(session), GST_STATE_PLAYING);

    // Cancel leaves the box alone.
    answerer.onDialog = [](QDialog* d) { d->reject(); };
    w->findChild<QPushButton*>("SpeedButton1")->click();
    EXPECT_EQ(w->findChild<QLineEdit*>("edCapFile")->text(), folder + "/evening.avi");
    w->close();
}

QELTV_GUI_TEST_MAIN()
