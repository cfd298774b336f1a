// The "Preferences" page as a view of the session's capture preferences: its
// lists show the session's lists, and a person's choice in them or a click
// on its buttons goes to the window's handler of that control.
#pragma once

class QComboBox;

namespace qeltv {

class CapturePreferences;
class Crossbar;
class Filter;
class Pin;
class TvTuner;
class ErrorHandler;
class TfrmMain;
class TvSession;
struct MainWindowUi;

class PreferencesPage {
public:
    PreferencesPage(TfrmMain& window, const MainWindowUi& ui, TvSession& session,
                    ErrorHandler& errors);

    void connectControls();
    // The lists as the session has them now.
    void showLists();
    // The capture file box as the settings have it.
    void showCaptureFile();
    // The browse button: a save dialog in the recording folder with the
    // box's name; only the box changes, the graph builds read it.
    void browseCaptureFile();

    // The configuration dialogs, modal and owned by the window.
    void showDeviceDialog(Filter& filter);
    void showAudioDialog(Filter& filter);
    void showCompressorDialog(Filter& filter);
    void showCrossbarDialog(Crossbar& crossbar);
    void showTunerDialog(TvTuner& tuner);
    // Throws what the dialog's OK failed with.
    void showVideoFormatDialog(Pin& pin);

private:
    TfrmMain& window_;
    const MainWindowUi& ui_;
    TvSession& session_;
    ErrorHandler& errors_;
    // Set while the page fills its controls, so their change signals do not
    // act as a person's choice.
    bool filling_ = false;
};

} // namespace qeltv
