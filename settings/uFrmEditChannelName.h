// The channel name dialog: a label, an editable box whose drop-down part
// holds no entries, "&OK" (default) and "&Cancel".
#pragma once

#include <QDialog>

class QComboBox;

namespace qeltv {

class TfrmEditChannelname : public QDialog {
    Q_OBJECT
public:
    TfrmEditChannelname(QWidget* owner, const QString& name);
    QString name() const;
    QComboBox* nameBox() const { return box_; }

private:
    QComboBox* box_;
};

} // namespace qeltv
