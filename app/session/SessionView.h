// What the session shows, and what its change notifications are about. The
// main window implements the view; the session's feature objects talk to it.
#pragma once

#include <QString>

#include <functional>

namespace qeltv {

class Crossbar;
class Filter;
class Pin;
class TvTuner;

// The parts of the session a change notification is about.
enum class SessionChange {
    Channels,      // the channel list's rows (and so the quick-channel entries)
    ChannelChosen, // the selection, the current channel, the quick-channel entry
    Preferences,   // the device, compressor, format and input line lists
    CaptureFile,   // the capture file name
    Schedules,     // the schedule list's rows
};

// How a feature object tells the session that its part changed.
using SessionNotify = std::function<void(SessionChange)>;

class SessionView {
public:
    virtual ~SessionView() = default;
    virtual void setBusyCursor(bool busy) = 0;
    virtual void setBackCaption(const QString& caption) = 0;
    virtual void showVideoWindow(bool visible) = 0;
    virtual void setStatusText(const QString& text) = 0;
    // The control-state update for the graph mode.
    virtual void UpdateControls() = 0;
    enum class Box { Plain, Warning };
    // A message box with only OK. With wait false the box is shown without
    // holding the caller (an operation that a web request started): the
    // person at the screen still sees it.
    virtual void showMessageBox(Box kind, const QString& text, bool wait) = 0;
    // The application-wide error handler.
    virtual void reportError(const QString& what) = 0;
    // A tray balloon; icon 0 none, 1 information, 2 warning, 3 error.
    virtual void showBalloon(const QString& title, const QString& text, int icon, int seconds) = 0;
    // The caption over the picture for five seconds; the session asks only
    // when the tuner is known.
    virtual void showOsdText(const QString& text) = 0;
    // Ends the program at once, saving nothing (the corrupted-data path).
    virtual void endProgram() = 0;
    // The configuration dialogs of the Preferences page and F12, modal and
    // owned by the main window; each returns once its dialog has closed. A
    // view without dialogs shows none.
    virtual void showCaptureDeviceProperties(Filter&) {}
    virtual void showAudioDeviceProperties(Filter&) {}
    virtual void showCompressorProperties(Filter&) {}
    virtual void showCrossbarProperties(Crossbar&) {}
    virtual void showTunerProperties(TvTuner&) {}
    // The video format dialog for a pin; throws what the dialog's OK failed
    // with (a frame duration out of range).
    virtual void showVideoFormat(Pin&) {}
};

} // namespace qeltv
