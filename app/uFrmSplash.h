// The splash window shown while the first instance starts.
#pragma once

#include <QWidget>

namespace qeltv {

class TfrmSplash : public QWidget {
    Q_OBJECT
public:
    static constexpr int kWidth = 249;
    static constexpr int kHeight = 121;

    explicit TfrmSplash(QWidget* parent = nullptr);
    QString versionLine() const;

private:
    void FormCreate();
};

} // namespace qeltv
