// Graph persistence: the whole graph as versioned text, so a restart comes
// back with the same filters, their settings, pin formats, links, tuner and
// crossbar state.
//
//   qeltv-graph 1
//   filter   <name> <moniker> [<card> <bus info>]
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
//
// A V4L2 device's filter line also carries the device's card name and bus
// info, so a restart finds the device again when it was given another node;
// files without them load by node, as they always did.
#pragma once

#include "capture/Status.h"

#include <filesystem>
#include <string>

namespace qeltv {

class FilterGraph;
class V4l2DeviceFinder;

// A device the graph file names is not connected, under its old node or any
// other. The file is sound: the caller builds the graph from its device
// choices instead of treating the file as damaged. Status E_NOTFOUND; the
// text names the device.
class DeviceMissingError : public CaptureError {
public:
    DeviceMissingError(int line, const std::string& filter, const std::string& card,
                       const std::string& busInfo, const std::string& node);
    const std::string& card() const { return card_; }
    const std::string& busInfo() const { return busInfo_; }
    const std::string& node() const { return node_; }

private:
    std::string card_;
    std::string busInfo_;
    std::string node_;
};

constexpr const char* kGraphFileMagic = "qeltv-graph";
constexpr int kGraphFileVersion = 1;
// Longest graph file read back; anything longer is not a graph file.
constexpr std::size_t kMaxGraphFileSize = 4 * 1024 * 1024;

// V4L2 devices are identified through devices (the system's when not given).
std::string SerializeGraph(const FilterGraph& graph);
std::string SerializeGraph(const FilterGraph& graph, const V4l2DeviceFinder& devices);
// Rebuilds the graph from text into the active graph (whose filters of the
// same names must be gone), each V4L2 device at the node LocateDevices finds.
// Throws DeviceMissingError for a device that is not connected, before any
// filter is made; otherwise CaptureError with status
// VFW_E_INVALID_FILE_FORMAT naming the line on any failure, the filters added
// so far removed again.
void LoadGraph(FilterGraph& graph, const std::string& text);
void LoadGraph(FilterGraph& graph, const std::string& text, const V4l2DeviceFinder& devices);
// The graph file's text with every identified V4L2 device named by the node
// it has now. CaptureError VFW_E_INVALID_FILE_FORMAT for a file that does not
// parse, DeviceMissingError for a device that is not connected.
std::string LocateDevices(const std::string& text, const V4l2DeviceFinder& devices);

// Writes the file atomically (temporary file, fsync, rename); CaptureError
// with E_FAIL when it cannot be written.
void SaveGraphFile(const FilterGraph& graph, const std::filesystem::path& file);
// CaptureError E_NOTFOUND when the file cannot be read, otherwise as LoadGraph.
void LoadGraphFile(FilterGraph& graph, const std::filesystem::path& file);
void LoadGraphFile(FilterGraph& graph, const std::filesystem::path& file,
                   const V4l2DeviceFinder& devices);

} // namespace qeltv
