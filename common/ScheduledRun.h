// What the program and the scheduling agent's runner agree on about a
// scheduled run: how long the end of a recording may take, and the channel
// on which the program tells the runner what became of its recording.
#pragma once

namespace qeltv {

// However much still reaches the file writers when a recording is stopped,
// the wait for its end of stream ends after this long.
constexpr int kRecordingEndLimit_ms = 60000;
// What the rest of an orderly close takes besides the end of the recording:
// renaming the file, saving the graph and the settings.
constexpr int kCloseAfterRecordingEnd_ms = 30000;
// How long the runner waits after SIGTERM before it sends SIGKILL: the
// program's own limits, so an orderly close is never cut short.
constexpr int kRunnerGracePeriod_ms = kRecordingEndLimit_ms + kCloseAfterRecordingEnd_ms;

// The runner starts the program with this variable naming an inherited
// stream socket; the program writes one line for each of these events:
//   "recording"          the recording asked for has started now
//   "failed <reason>"    it will not be made, and why
// The program takes the variable out of its environment, so programs it
// starts do not inherit the channel.
constexpr const char* kRunnerReportVariable = "QELTV_RUNNER_REPORT_FD";
constexpr const char* kReportRecording = "recording";
constexpr const char* kReportFailed = "failed";
// The longest report line; longer reasons are cut.
constexpr int kMaxReportLineBytes = 512;

} // namespace qeltv
