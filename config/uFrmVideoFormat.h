// The video format dialog: the picture size and frame rate of one output pin
// of the video capture filter. It reads the pin's format when it opens and,
// on OK, writes a changed copy of it back; Cancel leaves the pin alone.
#pragma once

#include "capture/FilterObject.h"

#include <QDialog>

#include <exception>

class QComboBox;
class QLineEdit;
class QPushButton;
class QToolButton;

namespace qeltv {

class TfrmVideoFormat : public QDialog {
    Q_OBJECT
public:
    static constexpr int kClientWidth = 290;
    static constexpr int kClientHeight = 141;

    TfrmVideoFormat(QWidget* owner, Pin& pin);

    // Shows the dialog modally; throws what OK failed with (a frame duration
    // out of range), after the dialog has closed.
    int execChecked();

    double frameRate() const { return frameRate_; }

    void cmbResolutionChange() {}
    void SpinButton1UpClick();
    void SpinButton1DownClick();
    void btnOKClick();

    QComboBox* cmbResolution = nullptr;
    QLineEdit* edFrameRate = nullptr;
    QToolButton* SpinButton1Up = nullptr;
    QToolButton* SpinButton1Down = nullptr;
    QPushButton* btnOK = nullptr;
    QPushButton* btnCancel = nullptr;

private:
    void showFrameRate();

    Pin& pin_;
    MediaType format_;
    double frameRate_ = 0;
    std::exception_ptr failure_;
};

} // namespace qeltv
