#include "capture/GraphPersistence.h"

#include "common/UniqueFd.h"

#include "capture/Devices.h"
#include "capture/FilterGraph.h"
#include "capture/PictureControls.h"
#include "capture/TunerState.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <sstream>
#include <unistd.h>
#include <vector>

namespace qeltv {

namespace {

constexpr const char* kEndLine = "end";
constexpr const char* kV4l2MonikerPrefix = "v4l2:";
// A filter line: kind, name, moniker, and for a V4L2 device card and bus info.
constexpr std::size_t kFilterFields = 3;
constexpr std::size_t kIdentifiedFilterFields = 5;
// Bytes read from a graph file at a time.
constexpr std::size_t kReadChunkSize = 4096;

using GraphLines = std::vector<std::vector<std::string>>;

std::string Escape(const std::string& field) {
    std::string out;
    for (char c : field) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
    return out;
}

// False for a dangling or unknown escape.
bool Unescape(const std::string& field, std::string& out) {
    out.clear();
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '\\') {
            out += field[i];
            continue;
        }
        if (++i == field.size())
            return false;
        switch (field[i]) {
        case '\\':
            out += '\\';
            break;
        case 't':
            out += '\t';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        default:
            return false;
        }
    }
    return true;
}

void WriteLine(std::ostringstream& out, std::initializer_list<std::string> fields) {
    bool first = true;
    for (const std::string& f : fields) {
        if (!first)
            out << '\t';
        out << Escape(f);
        first = false;
    }
    out << '\n';
}

// The properties worth keeping: readable, writable after construction, not
// the element's name, and not at the value the filter starts with (so a
// user's return to the element's own default, away from a real-time setting
// of ours, is kept too).
std::vector<std::pair<std::string, std::string>> ChangedProperties(const Filter& filter,
                                                                   GstElement* element) {
    std::vector<std::pair<std::string, std::string>> result;
    guint count = 0;
    const auto specs = GstOwned<GParamSpec*>::adopt(
        g_object_class_list_properties(G_OBJECT_GET_CLASS(element), &count));
    for (guint i = 0; i < count; ++i) {
        GParamSpec* param = specs.get()[i];
        const GParamFlags flags = param->flags;
        if (!(flags & G_PARAM_READABLE) || !(flags & G_PARAM_WRITABLE) ||
            (flags & (G_PARAM_CONSTRUCT_ONLY | G_PARAM_DEPRECATED)))
            continue;
        const std::string name = param->name;
        if (name == "name" || name == "parent")
            continue;
        GstOwnedValue value(param->value_type);
        g_object_get_property(G_OBJECT(element), param->name, value.get());
        if (!filter.isAtOwnDefault(param, *value.get())) {
            if (const auto text = GstOwned<gchar>::adopt(gst_value_serialize(value.get())))
                result.emplace_back(name, text.get());
        }
    }
    return result;
}

[[noreturn]] void Invalid(int line, const std::string& what) {
    throw CaptureError("graph file line " + std::to_string(line) + ": " + what,
                       status::VFW_E_INVALID_FILE_FORMAT);
}

struct Located {
    Filter* filter;
    Pin* pin;
};

Located FindPeer(const FilterGraph& graph, GstPad* pad) {
    for (Filter* filter : graph.filters()) {
        for (Pin* pin : filter->pins()) {
            if (pin->pad() == pad)
                return {filter, pin};
        }
    }
    return {nullptr, nullptr};
}

long ParseLong(int line, const std::string& text) {
    errno = 0;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0)
        Invalid(line, "not a number: " + text);
    return value;
}

} // namespace

std::string SerializeGraph(const FilterGraph& graph) {
    return SerializeGraph(graph, V4l2DeviceFinder());
}

std::string SerializeGraph(const FilterGraph& graph, const V4l2DeviceFinder& devices) {
    std::ostringstream out;
    out << kGraphFileMagic << ' ' << kGraphFileVersion << '\n';
    const std::vector<Filter*> filters = graph.filters();
    for (Filter* filter : filters) {
        const std::string& moniker = filter->moniker();
        std::optional<V4l2DeviceIdentity> identity;
        if (moniker.rfind(kV4l2MonikerPrefix, 0) == 0)
            identity = devices.identify(moniker.substr(std::strlen(kV4l2MonikerPrefix)));
        if (identity && !identity->card.empty())
            WriteLine(out, {"filter", filter->name(), moniker, identity->card, identity->busInfo});
        else // not identified: found by node, as files always were
            WriteLine(out, {"filter", filter->name(), moniker});
    }
    for (Filter* filter : filters) {
        if (GstElement* configurable = filter->configurable()) {
            for (const auto& [name, value] : ChangedProperties(*filter, configurable))
                WriteLine(out, {"property", filter->name(), name, value});
        }
        for (Pin* pin : filter->pins()) {
            if (pin->hasStreamConfig()) {
                CapsRef caps = pin->formatCaps();
                if (caps)
                    WriteLine(out, {"format", filter->name(), pin->name(), caps.toString()});
            }
            bool enabled = false;
            if (pin->hasMixer() && Succeeded(pin->get_Enable(enabled)))
                WriteLine(out, {"mixer", filter->name(), pin->name(), enabled ? "1" : "0"});
        }
        // Picture controls away from their defaults; the device keeps them
        // only while it is on.
        if (PictureControls* controls = filter->pictureControls()) {
            for (const PictureControl& c : controls->controls()) {
                long value = 0;
                if (Succeeded(controls->get(c.id, value)) && value != c.defaultValue)
                    WriteLine(out, {"control", filter->name(), std::to_string(c.id),
                                    std::to_string(value)});
            }
        }
        if (Crossbar* crossbar = filter->crossbar()) {
            long outputs = 0, inputs = 0;
            crossbar->get_PinCounts(outputs, inputs);
            for (long o = 0; o < outputs; ++o) {
                long input = -1;
                if (Succeeded(crossbar->get_IsRoutedTo(o, input)))
                    WriteLine(out, {"crossbar", filter->name(), std::to_string(o),
                                    std::to_string(input)});
            }
        }
        if (auto* persistent = dynamic_cast<TunerStatePersistence*>(filter->tuner())) {
            const TunerState s = persistent->state();
            WriteLine(out,
                      {"tuner", filter->name(), std::to_string(s.countryCode),
                       std::to_string(s.tuningSpace), std::to_string(static_cast<long>(s.mode)),
                       std::to_string(static_cast<long>(s.inputType)), std::to_string(s.channel),
                       std::to_string(s.frequency_hz)});
        }
    }
    for (Filter* filter : filters) {
        for (Pin* pin : filter->pins()) {
            if (pin->direction() != PinDirection::Output || !pin->IsConnected())
                continue;
            const auto peer = GstOwned<GstPad>::adopt(gst_pad_get_peer(pin->pad()));
            Located target = FindPeer(graph, peer.get());
            if (target.filter)
                WriteLine(out, {"link", filter->name(), pin->name(), target.filter->name(),
                                target.pin->name()});
        }
    }
    out << kEndLine << '\n';
    return out.str();
}

namespace {

// Splits and unescapes every line and checks the header and the end line.
GraphLines ParseGraphLines(const std::string& text) {
    if (text.size() > kMaxGraphFileSize)
        Invalid(1, "larger than a graph file can be");
    GraphLines lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            Invalid(static_cast<int>(lines.size()) + 1, "the file is truncated");
        const std::string raw = text.substr(start, end - start);
        start = end + 1;
        std::vector<std::string> fields;
        std::size_t from = 0;
        while (true) {
            const std::size_t tab = raw.find('\t', from);
            std::string field;
            if (!Unescape(
                    raw.substr(from, tab == std::string::npos ? std::string::npos : tab - from),
                    field))
                Invalid(static_cast<int>(lines.size()) + 1, "a field has a bad escape");
            fields.push_back(field);
            if (tab == std::string::npos)
                break;
            from = tab + 1;
        }
        lines.push_back(std::move(fields));
    }
    if (lines.empty())
        Invalid(1, "the file is empty");
    const std::string header = lines[0][0];
    const std::string magic = std::string(kGraphFileMagic) + " ";
    if (lines[0].size() != 1 || header.rfind(magic, 0) != 0)
        Invalid(1, "not a graph file");
    if (header != magic + std::to_string(kGraphFileVersion))
        Invalid(1, "unknown version " + header.substr(magic.size()));
    if (lines.back().size() != 1 || lines.back()[0] != kEndLine)
        Invalid(static_cast<int>(lines.size()), "the file is truncated (no end line)");
    return lines;
}

// Names each identified V4L2 device by the node it has now.
void LocateDeviceLines(GraphLines& lines, const V4l2DeviceFinder& devices) {
    for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
        std::vector<std::string>& f = lines[i];
        if (f[0] != "filter" || f.size() != kIdentifiedFilterFields ||
            f[2].rfind(kV4l2MonikerPrefix, 0) != 0)
            continue;
        const std::string savedNode = f[2].substr(std::strlen(kV4l2MonikerPrefix));
        const std::optional<std::string> node = devices.find({f[3], f[4]}, savedNode);
        if (!node)
            throw DeviceMissingError(static_cast<int>(i) + 1, f[1], f[3], f[4], savedNode);
        f[2] = kV4l2MonikerPrefix + *node;
    }
}

} // namespace

DeviceMissingError::DeviceMissingError(int line, const std::string& filter, const std::string& card,
                                       const std::string& busInfo, const std::string& node)
    : CaptureError("graph file line " + std::to_string(line) + ": the device " + card + " (" +
                       busInfo + ") of " + filter + ", last at " + node + ", is not connected",
                   status::E_NOTFOUND),
      card_(card), busInfo_(busInfo), node_(node) {}

std::string LocateDevices(const std::string& text, const V4l2DeviceFinder& devices) {
    GraphLines lines = ParseGraphLines(text);
    LocateDeviceLines(lines, devices);
    std::ostringstream out;
    for (const std::vector<std::string>& fields : lines) {
        bool first = true;
        for (const std::string& field : fields) {
            out << (first ? "" : "\t") << Escape(field);
            first = false;
        }
        out << '\n';
    }
    return out.str();
}

void LoadGraph(FilterGraph& graph, const std::string& text) {
    LoadGraph(graph, text, V4l2DeviceFinder());
}

void LoadGraph(FilterGraph& graph, const std::string& text, const V4l2DeviceFinder& devices) {
    if (!graph.IsActive())
        throw CaptureError("graph file: the filter graph is not active", status::E_POINTER);
    GraphLines lines = ParseGraphLines(text);
    LocateDeviceLines(lines, devices);

    std::vector<Filter*> added;
    int lineNumber = 1;
    try {
        auto filterNamed = [&](const std::string& name) {
            Filter* filter = graph.FindFilterByName(name);
            if (!filter)
                Invalid(lineNumber, "no filter named " + name);
            return filter;
        };
        auto pinNamed = [&](Filter& filter, const std::string& name) {
            Pin* pin = FilterGraph::FindPinByName(filter, name);
            if (!pin)
                Invalid(lineNumber, "the filter " + filter.name() + " has no pin " + name);
            return pin;
        };
        auto expect = [&](const std::vector<std::string>& f, std::size_t n) {
            if (f.size() != n)
                Invalid(lineNumber, f[0] + " takes " + std::to_string(n - 1) + " fields");
        };
        for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
            lineNumber = static_cast<int>(i) + 1;
            const std::vector<std::string>& f = lines[i];
            const std::string& kind = f[0];
            if (kind == "filter") {
                if (f.size() == kIdentifiedFilterFields) {
                    if (f[2].rfind(kV4l2MonikerPrefix, 0) != 0)
                        Invalid(lineNumber, "only a V4L2 device is identified: " + f[1]);
                } else {
                    expect(f, kFilterFields);
                }
                if (graph.FindFilterByName(f[1]))
                    Invalid(lineNumber, "a filter named " + f[1] + " is already in the graph");
                std::shared_ptr<Filter> filter;
                try {
                    filter = CreateFilter(f[2], f[1], graph.context());
                } catch (const CaptureError& e) {
                    Invalid(lineNumber, std::string("cannot create ") + f[1] + ": " + e.what());
                }
                Filter* raw = filter.get();
                graph.addFilter(std::move(filter));
                added.push_back(raw);
            } else if (kind == "property") {
                expect(f, 4);
                GstElement* target = filterNamed(f[1])->configurable();
                GParamSpec* param =
                    target ? g_object_class_find_property(G_OBJECT_GET_CLASS(target), f[2].c_str())
                           : nullptr;
                if (!param || !(param->flags & G_PARAM_WRITABLE))
                    Invalid(lineNumber, f[1] + " has no writable property " + f[2]);
                GstOwnedValue value(param->value_type);
                if (!gst_value_deserialize(value.get(), f[3].c_str()))
                    Invalid(lineNumber, "bad value for " + f[2] + ": " + f[3]);
                g_object_set_property(G_OBJECT(target), param->name, value.get());
            } else if (kind == "format") {
                expect(f, 4);
                Pin* pin = pinNamed(*filterNamed(f[1]), f[2]);
                CapsRef caps(gst_caps_from_string(f[3].c_str()));
                if (!caps || Failed(pin->setFormatCaps(caps)))
                    Invalid(lineNumber, "the pin " + f[2] + " refuses the format " + f[3]);
            } else if (kind == "mixer") {
                expect(f, 4);
                Pin* pin = pinNamed(*filterNamed(f[1]), f[2]);
                if ((f[3] != "0" && f[3] != "1") || Failed(pin->put_Enable(f[3] == "1")))
                    Invalid(lineNumber, "bad mixer line " + f[2]);
            } else if (kind == "control") {
                expect(f, 4);
                PictureControls* controls = filterNamed(f[1])->pictureControls();
                const long id = ParseLong(lineNumber, f[2]);
                if (!controls || id < 0 || id > static_cast<long>(UINT32_MAX) ||
                    Failed(
                        controls->set(static_cast<std::uint32_t>(id), ParseLong(lineNumber, f[3]))))
                    Invalid(lineNumber, f[1] + " refuses the picture control " + f[2]);
            } else if (kind == "crossbar") {
                expect(f, 4);
                Crossbar* crossbar = filterNamed(f[1])->crossbar();
                if (!crossbar || Failed(crossbar->Route(ParseLong(lineNumber, f[2]),
                                                        ParseLong(lineNumber, f[3]))))
                    Invalid(lineNumber, "the crossbar of " + f[1] + " refuses the routing");
            } else if (kind == "tuner") {
                expect(f, 8);
                auto* persistent = dynamic_cast<TunerStatePersistence*>(filterNamed(f[1])->tuner());
                if (!persistent)
                    Invalid(lineNumber, f[1] + " has no tuner");
                TunerState s;
                s.countryCode = ParseLong(lineNumber, f[2]);
                s.tuningSpace = ParseLong(lineNumber, f[3]);
                s.mode = static_cast<TunerMode>(ParseLong(lineNumber, f[4]));
                s.inputType = static_cast<TunerInputType>(ParseLong(lineNumber, f[5]));
                s.channel = ParseLong(lineNumber, f[6]);
                const long frequency = ParseLong(lineNumber, f[7]);
                if (frequency < 0 || frequency > static_cast<long>(UINT32_MAX))
                    Invalid(lineNumber, "bad frequency " + f[7]);
                s.frequency_hz = static_cast<std::uint32_t>(frequency);
                if (Failed(persistent->restoreState(s)))
                    Invalid(lineNumber, "the tuner of " + f[1] + " refuses its state");
            } else if (kind == "link") {
                expect(f, 5);
                Filter* from = filterNamed(f[1]);
                Filter* to = filterNamed(f[3]);
                Pin* output = pinNamed(*from, f[2]);
                Pin* input = FilterGraph::FindPinByName(*to, f[4]);
                if (!input) {
                    // A request pad (the mux's inputs) is asked for by name.
                    const auto requested = GstOwned<GstPad>::adopt(
                        gst_element_request_pad_simple(to->element(), f[4].c_str()));
                    input = pinNamed(*to, f[4]);
                }
                if (Failed(graph.Connect(*output, *input)))
                    Invalid(lineNumber,
                            "cannot link " + f[1] + "." + f[2] + " to " + f[3] + "." + f[4]);
            } else {
                Invalid(lineNumber, "unknown entry " + kind);
            }
        }
    } catch (const CaptureError& e) {
        for (auto it = added.rbegin(); it != added.rend(); ++it)
            graph.removeFilter(**it);
        if (e.status() == status::VFW_E_INVALID_FILE_FORMAT)
            throw;
        Invalid(lineNumber, e.what());
    }
}

void FilterGraph::Save(std::ostream& out) const {
    out << SerializeGraph(*this);
}

namespace {

// Reads a whole graph file, refusing one longer than a graph file can be.
std::string ReadGraphText(std::istream& in) {
    std::string text;
    char buffer[kReadChunkSize];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        text.append(buffer, static_cast<std::size_t>(in.gcount()));
        if (text.size() > kMaxGraphFileSize)
            Invalid(1, "larger than a graph file can be");
    }
    return text;
}

} // namespace

void FilterGraph::Load(std::istream& in) {
    LoadGraph(*this, ReadGraphText(in));
}

void SaveGraphFile(const FilterGraph& graph, const std::filesystem::path& file) {
    const std::string text = SerializeGraph(graph);
    const std::string temporary = file.string() + ".tmp";
    UniqueFd fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd)
        throw CaptureError("open " + temporary + ": " + std::strerror(errno), status::E_FAIL);
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd.get(), text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const std::string error = std::strerror(errno);
            fd.reset();
            ::unlink(temporary.c_str());
            throw CaptureError("write " + temporary + ": " + error, status::E_FAIL);
        }
        written += static_cast<std::size_t>(n);
    }
    const int syncError = ::fsync(fd.get()) == 0 ? 0 : errno;
    const int closeError = fd.close();
    const int error = syncError ? syncError : closeError;
    if (error != 0 || ::rename(temporary.c_str(), file.c_str()) != 0) {
        const std::string reason = std::strerror(error ? error : errno);
        ::unlink(temporary.c_str());
        throw CaptureError("save " + file.string() + ": " + reason, status::E_FAIL);
    }
}

void LoadGraphFile(FilterGraph& graph, const std::filesystem::path& file) {
    LoadGraphFile(graph, file, V4l2DeviceFinder());
}

void LoadGraphFile(FilterGraph& graph, const std::filesystem::path& file,
                   const V4l2DeviceFinder& devices) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw CaptureError("open " + file.string() + ": " + std::strerror(errno),
                           status::E_NOTFOUND);
    LoadGraph(graph, ReadGraphText(in), devices);
}

} // namespace qeltv
