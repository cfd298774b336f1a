// The channel list as the user steps through it: the selection, the quick
// channel box, renaming, and tuning the chosen channel. Tuning itself is the
// graph builder's (GraphBuilder::tuneTo).
#pragma once

#include "app/session/SessionView.h"

#include <QStringList>

#include <cstddef>
#include <optional>

namespace qeltv {

class ChannelList;
class GraphBuilder;

class ChannelTuning {
public:
    ChannelTuning(ChannelList& channels, GraphBuilder& graph, SessionView& view,
                  SessionNotify notify);

    QStringList quickChannelEntries() const;
    int quickChannelIndex() const { return quickChannelIndex_; }
    QString quickChannelText() const;
    // The quick channel box follows the list's selection again (after the
    // list was loaded, renamed or scanned).
    void resetQuickChannel();

    // Tunes the selected channel and makes it the current one.
    void chooseSelectedChannel();
    void firstChannel();
    void previousChannel();
    void nextChannel();
    void lastChannel();
    void chooseQuickChannel(int index);
    // Follows the list view's highlighted row, without tuning.
    void selectChannel(std::optional<std::size_t> index);
    void renameChannel(std::size_t index, const QString& name);
    // The caption over the picture, when the tuner is known.
    void showChannelCaption();

private:
    void stepTo(bool moved);

    ChannelList& channels_;
    GraphBuilder& graph_;
    SessionView& view_;
    SessionNotify notify_;
    int quickChannelIndex_ = -1;
};

} // namespace qeltv
