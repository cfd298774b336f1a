// Finishing an AVI file that its writer never finished: a recording killed
// outright, or one whose disk filled up, keeps its frames but has a header
// written at its start (sizes and frame counts of an empty file) and no
// index, so players show no length and cannot seek.
//
// The repair walks the chunks of the `movi` lists, cuts the file after the
// last complete one, writes the index (idx1 in the first RIFF; for a file
// over 1 GB, whose later parts are RIFF AVIX lists, the OpenDML index chunks
// and the stream's super index), and the RIFF and LIST sizes and frame counts
// (avih, each strh, odml/dmlh). It works on files alone: no graph, no window.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace qeltv {

struct AviRepairResult {
    // The file was changed.
    bool repaired = false;
    // Why the file could not be repaired; empty when it was, or when it was
    // finished already.
    std::string error;
    std::uint32_t videoFrames = 0;
    // Chunks cut from the end to make room for the index on a full disk.
    std::uint32_t droppedChunks = 0;
};

// Whether the file is an AVI whose writer finished it: the first RIFF list
// spans what follows it and holds its idx1 index. A file that is no AVI at
// all is not one to repair either: true.
bool AviIsFinished(const std::filesystem::path& file);

// Percent done, 0 to 100; called on the repairing thread.
using AviRepairProgress = std::function<void(int percent)>;

// Repairs an unfinished AVI file in place. A file that is finished, or that
// is no AVI file of a recording, is left untouched.
AviRepairResult RepairAvi(const std::filesystem::path& file,
                          const AviRepairProgress& progress = {});

} // namespace qeltv
