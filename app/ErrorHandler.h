// The application-wide error handler: every error that nothing else handles
// (from the start-up sequence or from any event handler) is shown in one
// warning box, and the program goes on.
#pragma once

#include <QApplication>
#include <QString>

namespace qeltv {

class ErrorHandler {
public:
    // "Exception occured: <what>" + two line breaks + the hint about qeltv.dat.
    static QString MessageText(const QString& what);

    void install() { installed_ = true; }
    void remove() { installed_ = false; }
    bool installed() const { return installed_; }

    // Shows the warning box (only OK) while installed; afterwards the error
    // only goes to the diagnostics.
    void report(const QString& what);

private:
    bool installed_ = false;
};

// The application object catches what an event handler throws, where Qt
// delivers the event, and hands it to the error handler.
class QelApplication : public QApplication {
public:
    QelApplication(int& argc, char** argv);
    void setErrorHandler(ErrorHandler* handler) { handler_ = handler; }
    bool notify(QObject* receiver, QEvent* event) override;

private:
    ErrorHandler* handler_ = nullptr;
};

} // namespace qeltv
