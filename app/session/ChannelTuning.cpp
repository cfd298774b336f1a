#include "app/session/ChannelTuning.h"

#include "app/Logging.h"
#include "capture/GraphBuilder.h"
#include "common/Utf8.h"
#include "settings/ChannelList.h"

namespace qeltv {

ChannelTuning::ChannelTuning(ChannelList& channels, GraphBuilder& graph, SessionView& view,
                             SessionNotify notify)
    : channels_(channels), graph_(graph), view_(view), notify_(std::move(notify)) {}

QStringList ChannelTuning::quickChannelEntries() const {
    QStringList entries;
    for (const auto& c : channels_.channels())
        entries << fromUtf8(c.quickText());
    return entries;
}

QString ChannelTuning::quickChannelText() const {
    if (quickChannelIndex_ < 0 || static_cast<std::size_t>(quickChannelIndex_) >= channels_.size())
        return QString();
    return fromUtf8(channels_.at(static_cast<std::size_t>(quickChannelIndex_)).quickText());
}

void ChannelTuning::resetQuickChannel() {
    const auto selected = channels_.selected();
    quickChannelIndex_ = selected ? static_cast<int>(*selected) : (channels_.empty() ? -1 : 0);
}

void ChannelTuning::chooseSelectedChannel() {
    const auto selected = channels_.selected();
    if (selected && graph_.tuneTo(ChannelNumberOr(channels_.at(*selected).number, 1)))
        quickChannelIndex_ = static_cast<int>(*selected);
    qCDebug(lcApp) << "channel chosen:" << (selected ? static_cast<long>(*selected) : -1L)
                   << "tuner:" << (graph_.tuner() != nullptr);
    notify_(SessionChange::ChannelChosen);
    showChannelCaption();
}

void ChannelTuning::showChannelCaption() {
    // The caption over the picture needs a known tuner.
    qCDebug(lcApp).noquote() << "caption:" << quickChannelText()
                             << "tuner:" << (graph_.tuner() != nullptr);
    if (graph_.tuner())
        view_.showOsdText(quickChannelText());
}

void ChannelTuning::stepTo(bool moved) {
    if (!moved)
        return;
    notify_(SessionChange::ChannelChosen);
    chooseSelectedChannel();
}

void ChannelTuning::firstChannel() {
    stepTo(channels_.selectFirst());
}

void ChannelTuning::previousChannel() {
    stepTo(channels_.selectPrevious());
}

void ChannelTuning::nextChannel() {
    stepTo(channels_.selectNext());
}

void ChannelTuning::lastChannel() {
    stepTo(channels_.selectLast());
}

void ChannelTuning::chooseQuickChannel(int index) {
    if (index < 0 || static_cast<std::size_t>(index) >= channels_.size())
        return;
    channels_.select(static_cast<std::size_t>(index));
    stepTo(true);
}

void ChannelTuning::selectChannel(std::optional<std::size_t> index) {
    if (index && *index >= channels_.size())
        return;
    if (channels_.selected() == index)
        return;
    channels_.select(index);
    notify_(SessionChange::ChannelChosen);
}

void ChannelTuning::renameChannel(std::size_t index, const QString& name) {
    if (index >= channels_.size())
        return;
    channels_.at(index).setName(toUtf8(name));
    // The quick-channel box is filled again and shows the selected row.
    resetQuickChannel();
    notify_(SessionChange::Channels);
}

} // namespace qeltv
