#include "config/PropertyDialog.h"

#include "capture/GstRef.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScrollArea>
#include <QSlider>
#include <QSpinBox>
#include <QVBoxLayout>

#include <limits>

namespace qeltv {

namespace {

// Decimals shown for floating-point properties.
constexpr int kFloatDecimals = 3;
// The page step of a slider, in its own steps.
constexpr int kSliderPageSteps = 10;
// The dialog is at least this wide, so long names and lists fit.
constexpr int kMinimumWidth = 360;

QString ConnectorName(long type) {
    switch (type) {
    case PhysConn_Video_Tuner:
        return "Video Tuner";
    case PhysConn_Video_Composite:
        return "Video Composite";
    case PhysConn_Video_SVideo:
        return "Video SVideo";
    case PhysConn_Video_VideoDecoder:
        return "Video Decoder";
    case PhysConn_Audio_Tuner:
        return "Audio Tuner";
    case PhysConn_Audio_Line:
        return "Audio Line";
    case PhysConn_Audio_Mic:
        return "Audio Microphone";
    case PhysConn_Audio_AudioDecoder:
        return "Audio Decoder";
    default:
        return QString("Connector %1").arg(type);
    }
}

bool FitsInt(double minimum, double maximum) {
    return minimum >= std::numeric_limits<int>::min() && maximum <= std::numeric_limits<int>::max();
}

// A property's value, read from the element.
GstOwnedValue ReadProperty(GstElement* element, GParamSpec* param) {
    GstOwnedValue value(param->value_type);
    g_object_get_property(G_OBJECT(element), param->name, value.get());
    return value;
}

// Sets a property from a number or text, through GValue transforms.
void SetProperty(GstElement* element, const char* name, const GValue& from) {
    GParamSpec* param = g_object_class_find_property(G_OBJECT_GET_CLASS(element), name);
    GstOwnedValue value(param->value_type);
    if (g_value_transform(&from, value.get()) && !g_param_value_validate(param, value.get()))
        g_object_set_property(G_OBJECT(element), name, value.get());
}

void SetNumber(GstElement* element, const char* name, double number) {
    GstOwnedValue from(G_TYPE_DOUBLE);
    g_value_set_double(from.get(), number);
    SetProperty(element, name, *from.get());
}

} // namespace

TfrmProperties::TfrmProperties(QWidget* owner, const QString& caption) : QDialog(owner) {
    setObjectName("TfrmProperties");
    setWindowTitle(caption);
    setMinimumWidth(kMinimumWidth);
    // The property frame's place: the main window's top-left corner.
    move(owner ? owner->mapToGlobal(QPoint(0, 0)) : QPoint(0, 0));
    auto* layout = new QVBoxLayout(this);
    auto* scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    auto* page = new QWidget(scroll);
    rows_ = new QFormLayout(page);
    scroll->setWidget(page);
    layout->addWidget(scroll, 1);
    status_ = new QLabel(this);
    status_->setObjectName("lblStatus");
    status_->setWordWrap(true);
    layout->addWidget(status_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    buttons->button(QDialogButtonBox::Close)->setObjectName("btnClose");
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}

void TfrmProperties::addRow(const QString& label, QWidget* editor) {
    rows_->addRow(label, editor);
}

void TfrmProperties::report(const QString& what, HResult hr) {
    if (Succeeded(hr))
        return;
    // Shown in the dialog: the change was refused, the value stays as the
    // filter keeps it.
    lastFailure_ = QString("%1 was refused ($%2).")
                       .arg(what)
                       .arg(static_cast<std::uint32_t>(hr), 8, 16, QChar('0'));
    status_->setText(lastFailure_);
}

void TfrmProperties::addPictureControls(PictureControls& controls) {
    for (const PictureControl& c : controls.controls()) {
        const QString name = QString::fromStdString(c.name);
        long value = c.defaultValue;
        report(name, controls.get(c.id, value));
        const std::uint32_t id = c.id;
        switch (c.kind) {
        case PictureControl::Kind::Boolean: {
            auto* box = new QCheckBox(this);
            box->setObjectName(name);
            box->setChecked(value != 0);
            connect(box, &QCheckBox::toggled, this, [this, &controls, id, name](bool on) {
                report(name, controls.set(id, on ? 1 : 0));
            });
            addRow(name, box);
            break;
        }
        case PictureControl::Kind::Menu: {
            auto* list = new QComboBox(this);
            list->setObjectName(name);
            for (const auto& [entry, text] : c.menu) {
                list->addItem(QString::fromStdString(text), QVariant::fromValue<qlonglong>(entry));
                if (entry == value)
                    list->setCurrentIndex(list->count() - 1);
            }
            connect(list, &QComboBox::activated, this, [this, &controls, id, name, list](int i) {
                report(name, controls.set(id, static_cast<long>(list->itemData(i).toLongLong())));
            });
            addRow(name, list);
            break;
        }
        case PictureControl::Kind::Integer: {
            auto* row = new QWidget(this);
            auto* h = new QHBoxLayout(row);
            h->setContentsMargins(0, 0, 0, 0);
            auto* slider = new QSlider(Qt::Horizontal, row);
            slider->setObjectName(name);
            slider->setRange(static_cast<int>(c.minimum), static_cast<int>(c.maximum));
            slider->setSingleStep(static_cast<int>(c.step));
            slider->setPageStep(static_cast<int>(c.step) * kSliderPageSteps);
            slider->setValue(static_cast<int>(value));
            auto* shown = new QLabel(QString::number(value), row);
            auto* reset = new QPushButton("Default", row);
            reset->setObjectName(name + " default");
            h->addWidget(slider, 1);
            h->addWidget(shown);
            h->addWidget(reset);
            const long minimum = c.minimum;
            const long step = c.step;
            connect(slider, &QSlider::valueChanged, this,
                    [this, &controls, id, name, shown, minimum, step](int v) {
                        // The device takes only values on its steps.
                        const long snapped = minimum + (v - minimum) / step * step;
                        shown->setText(QString::number(snapped));
                        report(name, controls.set(id, snapped));
                    });
            const int defaultValue = static_cast<int>(c.defaultValue);
            connect(reset, &QPushButton::clicked, slider,
                    [slider, defaultValue] { slider->setValue(defaultValue); });
            addRow(name, row);
            break;
        }
        }
    }
}

void TfrmProperties::addElementProperties(GstElement* element, const QStringList& only) {
    guint count = 0;
    const auto specs = GstOwned<GParamSpec*>::adopt(
        g_object_class_list_properties(G_OBJECT_GET_CLASS(element), &count));
    for (guint i = 0; i < count; ++i) {
        GParamSpec* param = specs.get()[i];
        const QString name = QString::fromUtf8(param->name);
        if (!only.isEmpty() && !only.contains(name))
            continue;
        if (!(param->flags & G_PARAM_READABLE) || !(param->flags & G_PARAM_WRITABLE) ||
            (param->flags & (G_PARAM_CONSTRUCT_ONLY | G_PARAM_DEPRECATED)))
            continue;
        const char* blurb = g_param_spec_get_blurb(param);
        if (name == "name" || name == "parent" || !blurb || !*blurb)
            continue;
        const GstOwnedValue current = ReadProperty(element, param);
        const QByteArray key = name.toUtf8();
        QWidget* editor = nullptr;
        const GType type = G_PARAM_SPEC_VALUE_TYPE(param);
        if (type == G_TYPE_BOOLEAN) {
            auto* box = new QCheckBox(this);
            box->setChecked(g_value_get_boolean(current.get()));
            connect(box, &QCheckBox::toggled, this, [element, key](bool on) {
                g_object_set(element, key.constData(), on ? TRUE : FALSE, nullptr);
            });
            editor = box;
        } else if (G_IS_PARAM_SPEC_ENUM(param)) {
            auto* list = new QComboBox(this);
            GEnumClass* enumClass = G_PARAM_SPEC_ENUM(param)->enum_class;
            for (guint v = 0; v < enumClass->n_values; ++v) {
                list->addItem(QString::fromUtf8(enumClass->values[v].value_nick),
                              enumClass->values[v].value);
                if (enumClass->values[v].value == g_value_get_enum(current.get()))
                    list->setCurrentIndex(list->count() - 1);
            }
            connect(list, &QComboBox::activated, this, [element, key, list](int index) {
                g_object_set(element, key.constData(), list->itemData(index).toInt(), nullptr);
            });
            editor = list;
        } else if (G_IS_PARAM_SPEC_FLAGS(param)) {
            auto* list = new QListWidget(this);
            GFlagsClass* flagsClass = G_PARAM_SPEC_FLAGS(param)->flags_class;
            const guint set = g_value_get_flags(current.get());
            for (guint v = 0; v < flagsClass->n_values; ++v) {
                auto* item =
                    new QListWidgetItem(QString::fromUtf8(flagsClass->values[v].value_nick), list);
                item->setData(Qt::UserRole, flagsClass->values[v].value);
                item->setFlags(Qt::ItemIsUserCheckable | Qt::ItemIsEnabled);
                item->setCheckState((set & flagsClass->values[v].value) ==
                                                flagsClass->values[v].value &&
                                            flagsClass->values[v].value != 0
                                        ? Qt::Checked
                                        : Qt::Unchecked);
            }
            connect(list, &QListWidget::itemChanged, this, [element, key, list] {
                guint flags = 0;
                for (int r = 0; r < list->count(); ++r)
                    if (list->item(r)->checkState() == Qt::Checked)
                        flags |= list->item(r)->data(Qt::UserRole).toUInt();
                g_object_set(element, key.constData(), flags, nullptr);
            });
            editor = list;
        } else if (type == G_TYPE_STRING) {
            auto* line = new QLineEdit(QString::fromUtf8(g_value_get_string(current.get())), this);
            connect(line, &QLineEdit::editingFinished, this, [element, key, line] {
                g_object_set(element, key.constData(), line->text().toUtf8().constData(), nullptr);
            });
            editor = line;
        } else {
            // Numbers: their range from the property's declaration, the current value
            // through a transform to double.
            double minimum = 0, maximum = 0;
            bool integral = true;
            if (G_IS_PARAM_SPEC_INT(param)) {
                minimum = G_PARAM_SPEC_INT(param)->minimum;
                maximum = G_PARAM_SPEC_INT(param)->maximum;
            } else if (G_IS_PARAM_SPEC_UINT(param)) {
                minimum = G_PARAM_SPEC_UINT(param)->minimum;
                maximum = G_PARAM_SPEC_UINT(param)->maximum;
            } else if (G_IS_PARAM_SPEC_LONG(param)) {
                minimum = static_cast<double>(G_PARAM_SPEC_LONG(param)->minimum);
                maximum = static_cast<double>(G_PARAM_SPEC_LONG(param)->maximum);
            } else if (G_IS_PARAM_SPEC_ULONG(param)) {
                minimum = static_cast<double>(G_PARAM_SPEC_ULONG(param)->minimum);
                maximum = static_cast<double>(G_PARAM_SPEC_ULONG(param)->maximum);
            } else if (G_IS_PARAM_SPEC_INT64(param)) {
                minimum = static_cast<double>(G_PARAM_SPEC_INT64(param)->minimum);
                maximum = static_cast<double>(G_PARAM_SPEC_INT64(param)->maximum);
            } else if (G_IS_PARAM_SPEC_UINT64(param)) {
                minimum = static_cast<double>(G_PARAM_SPEC_UINT64(param)->minimum);
                maximum = static_cast<double>(G_PARAM_SPEC_UINT64(param)->maximum);
            } else if (G_IS_PARAM_SPEC_FLOAT(param)) {
                minimum = G_PARAM_SPEC_FLOAT(param)->minimum;
                maximum = G_PARAM_SPEC_FLOAT(param)->maximum;
                integral = false;
            } else if (G_IS_PARAM_SPEC_DOUBLE(param)) {
                minimum = G_PARAM_SPEC_DOUBLE(param)->minimum;
                maximum = G_PARAM_SPEC_DOUBLE(param)->maximum;
                integral = false;
            } else {
                continue; // caps, structures, objects: nothing a user types
            }
            GstOwnedValue asDouble(G_TYPE_DOUBLE);
            const double value = g_value_transform(current.get(), asDouble.get())
                                     ? g_value_get_double(asDouble.get())
                                     : 0;
            if (integral && FitsInt(minimum, maximum)) {
                auto* spin = new QSpinBox(this);
                spin->setRange(static_cast<int>(minimum), static_cast<int>(maximum));
                spin->setValue(static_cast<int>(value));
                spin->setKeyboardTracking(false);
                connect(spin, &QSpinBox::valueChanged, this,
                        [element, key](int v) { SetNumber(element, key.constData(), v); });
                editor = spin;
            } else {
                auto* spin = new QDoubleSpinBox(this);
                spin->setDecimals(integral ? 0 : kFloatDecimals);
                spin->setRange(minimum, maximum);
                spin->setValue(value);
                spin->setKeyboardTracking(false);
                connect(spin, &QDoubleSpinBox::valueChanged, this,
                        [element, key](double v) { SetNumber(element, key.constData(), v); });
                editor = spin;
            }
        }
        editor->setObjectName(name);
        editor->setToolTip(QString::fromUtf8(blurb));
        addRow(name, editor);
    }
}

void TfrmProperties::addMixerLines(Filter& filter) {
    for (Pin* pin : filter.pins()) {
        if (pin->direction() != PinDirection::Input || !pin->hasMixer())
            continue;
        const QString name = QString::fromStdString(pin->name());
        bool enabled = false;
        report(name, pin->get_Enable(enabled));
        auto* box = new QCheckBox("Enabled", this);
        box->setObjectName(name);
        box->setChecked(enabled);
        connect(box, &QCheckBox::toggled, this,
                [this, pin, name](bool on) { report(name, pin->put_Enable(on)); });
        addRow(name, box);
    }
}

void TfrmProperties::addCrossbar(Crossbar& crossbar) {
    long outputs = 0, inputs = 0;
    report("The pin counts", crossbar.get_PinCounts(outputs, inputs));
    for (long o = 0; o < outputs; ++o) {
        long related = 0, type = 0;
        crossbar.get_CrossbarPinInfo(false, o, related, type);
        const QString name = QString("%1: %2").arg(o).arg(ConnectorName(type));
        auto* list = new QComboBox(this);
        list->setObjectName(QString("output %1").arg(o));
        long routed = -1;
        report(name, crossbar.get_IsRoutedTo(o, routed));
        for (long i = 0; i < inputs; ++i) {
            if (Failed(crossbar.CanRoute(o, i)))
                continue;
            long inputRelated = 0, inputType = 0;
            crossbar.get_CrossbarPinInfo(true, i, inputRelated, inputType);
            list->addItem(QString("%1: %2").arg(i).arg(ConnectorName(inputType)),
                          QVariant::fromValue<qlonglong>(i));
            if (i == routed)
                list->setCurrentIndex(list->count() - 1);
        }
        if (routed < 0)
            list->setCurrentIndex(-1);
        connect(list, &QComboBox::activated, this, [this, &crossbar, o, list, name](int index) {
            report(name, crossbar.Route(o, static_cast<long>(list->itemData(index).toLongLong())));
        });
        addRow(name, list);
    }
}

void TfrmProperties::addTuner(TvTuner& tuner) {
    for (const TunerProperty& p : tuner.properties()) {
        const QString name = QString::fromStdString(p.name);
        if (p.readOnly) {
            auto* shown = new QLabel(QString::number(p.value), this);
            shown->setObjectName(name);
            addRow(name, shown);
            continue;
        }
        auto* spin = new QSpinBox(this);
        spin->setObjectName(name);
        spin->setRange(static_cast<int>(p.minimum), static_cast<int>(p.maximum));
        spin->setValue(static_cast<int>(p.value));
        spin->setKeyboardTracking(false);
        const std::string key = p.name;
        connect(spin, &QSpinBox::valueChanged, this, [this, &tuner, key, name](int v) {
            report(name, tuner.setProperty(key, v));
            // The frequency and signal follow a change of channel or table.
            for (const TunerProperty& now : tuner.properties())
                if (now.readOnly)
                    if (auto* shown = findChild<QLabel*>(QString::fromStdString(now.name)))
                        shown->setText(QString::number(now.value));
            long strength = kSignalUnknown;
            tuner.SignalPresent(strength);
            if (auto* signal = findChild<QLabel*>("Signal strength"))
                signal->setText(QString::number(strength));
        });
        addRow(name, spin);
    }
    long strength = kSignalUnknown;
    report("The signal strength", tuner.SignalPresent(strength));
    auto* signal = new QLabel(QString::number(strength), this);
    signal->setObjectName("Signal strength");
    addRow("Signal strength", signal);
}

// ------------------------------------------------------------ the dialogs

namespace {
QString FilterCaption(Filter& filter) {
    return QString::fromStdString(filter.QueryFilterInfo());
}
} // namespace

void ShowCaptureDeviceProperties(QWidget* owner, Filter& filter) {
    TfrmProperties dialog(owner, FilterCaption(filter));
    if (PictureControls* controls = filter.pictureControls())
        dialog.addPictureControls(*controls);
    dialog.exec();
}

void ShowAudioDeviceProperties(QWidget* owner, Filter& filter) {
    TfrmProperties dialog(owner, FilterCaption(filter));
    if (GstElement* source = filter.configurable())
        dialog.addElementProperties(source, {"volume", "mute"});
    dialog.addMixerLines(filter);
    dialog.exec();
}

void ShowCompressorProperties(QWidget* owner, Filter& filter) {
    TfrmProperties dialog(owner, FilterCaption(filter));
    if (GstElement* encoder = filter.configurable())
        dialog.addElementProperties(encoder);
    dialog.exec();
}

void ShowCrossbarProperties(QWidget* owner, Crossbar& crossbar) {
    TfrmProperties dialog(owner, QString::fromStdString(crossbar.name()));
    dialog.addCrossbar(crossbar);
    dialog.exec();
}

void ShowTunerProperties(QWidget* owner, TvTuner& tuner) {
    TfrmProperties dialog(owner, QString::fromStdString(tuner.name()));
    dialog.addTuner(tuner);
    dialog.exec();
}

} // namespace qeltv
