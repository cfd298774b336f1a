#include "app/MainWindowUi.h"

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScrollArea>
#include <QStatusBar>
#include <QStyle>
#include <QTabWidget>
#include <QToolBar>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace qeltv {

namespace {
// A page whose controls need more room than the window's design size is
// scrolled instead of widening the window.
QScrollArea* scrolled(QWidget* page) {
    auto* area = new QScrollArea;
    area->setWidget(page);
    area->setWidgetResizable(true);
    area->setFrameShape(QFrame::NoFrame);
    return area;
}

QPushButton* pushButton(QWidget* parent, const char* name, const QString& text) {
    auto* button = new QPushButton(text, parent);
    button->setObjectName(name);
    return button;
}

// A row of the Preferences page: the main control (if any) stretched, the
// buttons after it.
QWidget* beside(QWidget* main, std::initializer_list<QWidget*> buttons) {
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    if (main)
        layout->addWidget(main, 1);
    for (QWidget* b : buttons)
        layout->addWidget(b);
    if (!main)
        layout->addStretch();
    return row;
}

QComboBox* combo(QWidget* parent, const char* name) {
    auto* box = new QComboBox(parent);
    box->setObjectName(name);
    return box;
}
} // namespace

void MainWindowUi::setupUi(QMainWindow* window) {
    Notebook1 = new QTabWidget(window);
    Notebook1->setObjectName("Notebook1");
    Notebook1->setTabPosition(QTabWidget::South);
    window->setCentralWidget(Notebook1);

    // Video: the grey panel behind the picture, the toolbar along its bottom.
    auto* video = new QWidget;
    auto* videoLayout = new QVBoxLayout(video);
    videoLayout->setContentsMargins(0, 0, 0, 0);
    videoLayout->setSpacing(0);
    pnlBack = new QLabel(video);
    pnlBack->setObjectName("pnlBack");
    pnlBack->setAlignment(Qt::AlignCenter);
    pnlBack->setAutoFillBackground(true);
    pnlBack->setStyleSheet("QLabel#pnlBack { background: #808080; color: red; }");
    QFont backFont(QStringLiteral("MS Sans Serif"), kBackCaptionPointSize, QFont::Bold);
    backFont.setStyleHint(QFont::SansSerif);
    pnlBack->setFont(backFont);
    pnlBack->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    videoLayout->addWidget(pnlBack, 1);
    ToolBar1 = new QToolBar(video);
    ToolBar1->setObjectName("ToolBar1");
    ToolBar1->setToolButtonStyle(Qt::ToolButtonIconOnly);
    ToolBar1->setIconSize(QSize(kToolBarIconSize, kToolBarIconSize));
    // Fixed along the page's bottom edge; no grip takes room from the items.
    ToolBar1->setMovable(false);
    ToolBar1->setFloatable(false);
    // Tight buttons: twelve of them, the separator and the quick-channel box
    // share the design width.
    ToolBar1->setStyleSheet("QToolBar#ToolBar1 { spacing: 0px; padding: 0px; border: none; }"
                            "QToolBar#ToolBar1 QToolButton { padding: 1px; }");
    QStyle* style = QApplication::style();
    auto button = [&](const char* name, const QString& hint, QStyle::StandardPixmap icon) {
        QAction* a = ToolBar1->addAction(style->standardIcon(icon), hint);
        a->setObjectName(name);
        a->setToolTip(hint);
        return a;
    };
    btPreviousChapter = button("btPreviousChapter", "First channel", QStyle::SP_MediaSkipBackward);
    btRewind = button("btRewind", "Previous channel", QStyle::SP_MediaSeekBackward);
    btRec = button("btRec", "Start recording", QStyle::SP_DialogYesButton);
    btPause = button("btPause", "Pause", QStyle::SP_MediaPause);
    btPlay = button("btPlay", "Play", QStyle::SP_MediaPlay);
    btStop = button("btStop", "Stop", QStyle::SP_MediaStop);
    btFastForward = button("btFastForward", "Next channel", QStyle::SP_MediaSeekForward);
    btNextChapter = button("btNextChapter", "Last channel", QStyle::SP_MediaSkipForward);
    ToolBar1->addSeparator();
    btFullScreen = button("btFullScreen", "Fullscreen", QStyle::SP_TitleBarMaxButton);
    btRootMenu = button("btRootMenu", "Add schedule", QStyle::SP_FileDialogNewFolder);
    btFrameStep = button("btFrameStep", "Start/stop webcast", QStyle::SP_DriveNetIcon);
    cmbQuickChannel = combo(nullptr, "cmbQuickChannel");
    cmbQuickChannel->setFixedWidth(kQuickChannelWidth);
    ToolBar1->addWidget(cmbQuickChannel);
    ToolButton1 = button("ToolButton1", "Edit Channelname", QStyle::SP_FileDialogDetailedView);
    videoLayout->addWidget(ToolBar1);
    Notebook1->addTab(video, "Video");

    // Channels.
    auto* channelsPage = new QWidget;
    auto* channelsLayout = new QVBoxLayout(channelsPage);
    lstChannels = new QTreeWidget(channelsPage);
    lstChannels->setObjectName("lstChannels");
    lstChannels->setHeaderLabels({"Nr.", "Name", "Frequency"});
    lstChannels->setRootIsDecorated(false);
    lstChannels->setSelectionBehavior(QAbstractItemView::SelectRows);
    lstChannels->setSelectionMode(QAbstractItemView::SingleSelection);
    lstChannels->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lstChannels->header()->setStretchLastSection(false);
    lstChannels->header()->setSectionResizeMode(1, QHeaderView::Stretch);
    lstChannels->setContextMenuPolicy(Qt::ActionsContextMenu);
    Edit2 = new QAction("&Edit", lstChannels);
    Edit2->setObjectName("Edit2");
    lstChannels->addAction(Edit2);
    channelsLayout->addWidget(lstChannels);
    autoTune.setupUi(channelsPage, channelsLayout);
    Notebook1->addTab(channelsPage, "Channels");

    auto* schedulesPage = new QWidget;
    schedules.setupUi(schedulesPage);
    Notebook1->addTab(schedulesPage, "Schedules");

    auto* prefs = new QWidget;
    auto* prefsLayout = new QVBoxLayout(prefs);
    auto* videoGroup = new QGroupBox("Video capture", prefs);
    auto* videoForm = new QFormLayout(videoGroup);
    cmbVideoCapDev = combo(videoGroup, "cmbVideoCapDev");
    btnVideoCapConfigure = pushButton(videoGroup, "btnVideoCapConfigure", "&Configure");
    videoForm->addRow("Capture device", beside(cmbVideoCapDev, {btnVideoCapConfigure}));
    btnPreviewFormat = pushButton(videoGroup, "btnPreviewFormat", "Preview Format");
    btnCaptureFormat = pushButton(videoGroup, "btnCaptureFormat", "Capture Format");
    btnCrossbar = pushButton(videoGroup, "btnCrossbar", "&Crossbar");
    videoForm->addRow(QString(),
                      beside(nullptr, {btnPreviewFormat, btnCaptureFormat, btnCrossbar}));
    cmbCompressionFilters = combo(videoGroup, "cmbCompressionFilters");
    btnCompressConfig = pushButton(videoGroup, "btnCompressConfig", "&Configure");
    videoForm->addRow("Compression", beside(cmbCompressionFilters, {btnCompressConfig}));
    edCapFile = new QLineEdit(videoGroup);
    edCapFile->setObjectName("edCapFile");
    SpeedButton1 = pushButton(videoGroup, "SpeedButton1", "...");
    SpeedButton1->setToolTip("Browse");
    videoForm->addRow("Capture to file", beside(edCapFile, {SpeedButton1}));
    prefsLayout->addWidget(videoGroup);
    auto* audioGroup = new QGroupBox("Audio capture", prefs);
    auto* audioForm = new QFormLayout(audioGroup);
    cmbAudioCapDev = combo(audioGroup, "cmbAudioCapDev");
    btnAudioCapDevConfigure = pushButton(audioGroup, "btnAudioCapDevConfigure", "&Configure");
    audioForm->addRow("Capture device", beside(cmbAudioCapDev, {btnAudioCapDevConfigure}));
    cmbInputLines = combo(audioGroup, "cmbInputLines");
    audioForm->addRow("Input mixer device", cmbInputLines);
    cmbAudioCompressionFilters = combo(audioGroup, "cmbAudioCompressionFilters");
    audioForm->addRow("Compression", cmbAudioCompressionFilters);
    cmbAudioCompressionFormat = combo(audioGroup, "cmbAudioCompressionFormat");
    audioForm->addRow("Format", cmbAudioCompressionFormat);
    prefsLayout->addWidget(audioGroup);
    prefsLayout->addStretch();
    Notebook1->addTab(scrolled(prefs), "Preferences");

    auto* webOptions = new QWidget;
    webOptionsLayout = new QVBoxLayout(webOptions);
    webcast.setupUi(webOptions, webOptionsLayout);
    webServer.setupUi(webOptions, webOptionsLayout);
    webOptionsLayout->addStretch();
    Notebook1->addTab(scrolled(webOptions), "Web options");
    window->statusBar()->setObjectName("StatusBar1");

    QMenu* file = window->menuBar()->addMenu("&File");
    Exit1 = file->addAction("E&xit");
    Exit1->setObjectName("Exit1");
    Exit1->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_X));
    QMenu* view = window->menuBar()->addMenu("&View");
    Keepaspectratio1 = view->addAction("Keep aspect ratio");
    Keepaspectratio1->setObjectName("Keepaspectratio1");
    Keepaspectratio1->setCheckable(true);
    Keepaspectratio1->setShortcut(QKeySequence(Qt::Key_F10));
    Fullscreen1 = view->addAction("Fullscreen");
    Fullscreen1->setObjectName("Fullscreen1");
    Fullscreen1->setCheckable(true);
    Fullscreen1->setShortcut(QKeySequence(Qt::Key_F11));
    view->addSeparator();
    StartWebcast1 = view->addAction("Enable Webcast");
    StartWebcast1->setObjectName("StartWebcast1");
    StartWebcast1->setCheckable(true);
    QMenu* help = window->menuBar()->addMenu("&Help");
    About1 = help->addAction("&About");
    About1->setObjectName("About1");

    PopupMenu1 = new QMenu(window);
    PopupMenu1->setObjectName("PopupMenu1");
    ExitFullscreen1 = PopupMenu1->addAction("Exit Fullscreen");
    ExitFullscreen1->setObjectName("ExitFullscreen1");

    // Window-wide keys. Esc is enabled only while it has something to do,
    // so that otherwise it reaches the focused control.
    EscapeKey = new QAction(window);
    EscapeKey->setObjectName("EscapeKey");
    EscapeKey->setShortcut(QKeySequence(Qt::Key_Escape));
    EscapeKey->setEnabled(false);
    window->addAction(EscapeKey);
    F12Key = new QAction(window);
    F12Key->setObjectName("F12Key");
    F12Key->setShortcut(QKeySequence(Qt::Key_F12));
    window->addAction(F12Key);

    trayMenu = new QMenu(window);
    Restore1 = trayMenu->addAction("Restore");
    Restore1->setObjectName("Restore1");
    trayMenu->addSeparator();
    Close1 = trayMenu->addAction("Close");
    Close1->setObjectName("Close1");
}

QWidget* MainWindowUi::page(MainPage page) const {
    return Notebook1->widget(page);
}

} // namespace qeltv
