// Graph persistence: the whole graph as versioned text, so a restart comes
// back with the same filters, their settings, pin formats, links, tuner and
// crossbar state.
//
//   qeltv-graph 1
//   filter   <name> <moniker>
//   property <filter> <property> <value as GStreamer serialises it>
//   format   <filter> <pin> <caps>
//   mixer    <filter> <pin> <0|1>
//   crossbar <filter> <output> <input>
//   tuner    <filter> <country> <tuning space> <mode> <input type> <channel> <frequency_hz>
//   link     <filter> <pin> <filter> <pin>
//   end
//
// Fields are separated by one tab; backslash, tab, CR and LF inside a field
// are written \\, \t, \r, \n. Filters are listed in graph order, then their
// state, then the links; the same graph always gives the same bytes.
#pragma once

#include <filesystem>
#include <string>

namespace qeltv {

class FilterGraph;

constexpr const char* kGraphFileMagic = "qeltv-graph";
constexpr int kGraphFileVersion = 1;
// Longest graph file read back; anything longer is not a graph file.
constexpr std::size_t kMaxGraphFileSize = 4 * 1024 * 1024;

std::string SerializeGraph(const FilterGraph& graph);
// Rebuilds the graph from text into the active graph (whose filters of the
// same names must be gone). Throws CaptureError with status
// VFW_E_INVALID_FILE_FORMAT naming the line on any failure; the filters added
// so far are removed again.
void LoadGraph(FilterGraph& graph, const std::string& text);

// Writes the file atomically (temporary file, fsync, rename); CaptureError
// with E_FAIL when it cannot be written.
void SaveGraphFile(const FilterGraph& graph, const std::filesystem::path& file);
// CaptureError E_NOTFOUND when the file cannot be read, otherwise as LoadGraph.
void LoadGraphFile(FilterGraph& graph, const std::filesystem::path& file);

} // namespace qeltv
