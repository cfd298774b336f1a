// The configuration dialog of a filter: one modal window, owned by the main
// window and placed at its top-left corner, captioned with the filter's own
// name, that shows what a user of that filter expects to change and changes
// it at once. Capture devices show their picture controls, audio devices
// their volume, mute and input lines, compressors the encoder's documented
// writable properties, the crossbar its routing table and the tuner its
// channel, tuning, frequency and signal. What changes stays with the filter,
// so the graph file keeps it.
#pragma once

#include "capture/Crossbar.h"
#include "capture/FilterObject.h"
#include "capture/PictureControls.h"
#include "capture/TvTuner.h"

#include <QDialog>

class QFormLayout;
class QLabel;

namespace qeltv {

class TfrmProperties : public QDialog {
    Q_OBJECT
public:
    TfrmProperties(QWidget* owner, const QString& caption);

    // Rows for each kind of filter; editors are named after what they edit
    // (a property's name, a control's name, an output pin's index).
    void addPictureControls(PictureControls& controls);
    // The element's readable and writable properties that carry a
    // description; only those in `only` when it is not empty.
    void addElementProperties(GstElement* element, const QStringList& only = {});
    void addMixerLines(Filter& filter);
    void addCrossbar(Crossbar& crossbar);
    void addTuner(TvTuner& tuner);

    // What the last change that failed said; empty while none failed.
    QString lastFailure() const { return lastFailure_; }

private:
    void report(const QString& what, HResult hr);
    void addRow(const QString& label, QWidget* editor);

    QFormLayout* rows_ = nullptr;
    QLabel* status_ = nullptr;
    QString lastFailure_;
};

// The dialogs as the Preferences page opens them.
void ShowCaptureDeviceProperties(QWidget* owner, Filter& filter);
void ShowAudioDeviceProperties(QWidget* owner, Filter& filter);
void ShowCompressorProperties(QWidget* owner, Filter& filter);
void ShowCrossbarProperties(QWidget* owner, Crossbar& crossbar);
void ShowTunerProperties(QWidget* owner, TvTuner& tuner);

} // namespace qeltv
