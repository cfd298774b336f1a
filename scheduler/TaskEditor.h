// How the agent has one task edited ("Edit" on the schedule list): the
// agent hands over the task's job and saves it when the edit is accepted.
// The schedule's own dialog is one editor (TaskEditDialog.h); the agent
// itself shows no window.
#pragma once

#include "scheduler/JobFile.h"

namespace qeltv {

class TaskEditor {
public:
    virtual ~TaskEditor() = default;
    // Shows `job` and writes the accepted values into it. False when the
    // edit was cancelled: `job` is then left as it was.
    virtual bool EditJob(Job& job) = 0;
};

} // namespace qeltv
