#include "app/ErrorHandler.h"

#include "app/Logging.h"

#include <QMessageBox>
#include <exception>

namespace qeltv {

QString ErrorHandler::MessageText(const QString& what) {
    return QStringLiteral("Exception occured: ") + what +
           QStringLiteral("\n\nTry to remove the \"qeltv.dat\" file from the program directory, "
                          "and restart qEL TV.");
}

void ErrorHandler::report(const QString& what) {
    qCDebug(lcApp).noquote() << "error:" << what;
    if (!installed_) {
        qCWarning(lcApp).noquote() << "unreported error:" << what;
        return;
    }
    QMessageBox box(QMessageBox::Warning, QApplication::applicationDisplayName(), MessageText(what),
                    QMessageBox::Ok, QApplication::activeWindow());
    box.exec();
}

QelApplication::QelApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool QelApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& e) {
        if (handler_)
            handler_->report(QString::fromUtf8(e.what()));
        else
            qCWarning(lcApp) << "unhandled error:" << e.what();
    } catch (...) {
        if (handler_)
            handler_->report(QStringLiteral("Unknown exception"));
    }
    return false;
}

} // namespace qeltv
