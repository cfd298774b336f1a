// The about box.
#pragma once

#include <QDialog>

namespace qeltv {

class TfrmAbout : public QDialog {
    Q_OBJECT
public:
    static constexpr int kWidth = 341;
    static constexpr int kHeight = 272;
    static constexpr const char* kContactAddress = "qeltv@example.org";

    explicit TfrmAbout(QWidget* owner);
    QString titleLine() const;

private:
    void FormCreate();
};

} // namespace qeltv
