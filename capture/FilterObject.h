// Filters, their pins, and the filter objects of the main window.
//
// A Filter is one element or bin in the graph's pipeline, named like the
// filter object that owns it (or, for what wiring inserted, by GStreamer).
// Its pins are pads, listed in a fixed order with name and direction; a pin
// may carry a stream configuration (GetFormat/SetFormat through the
// capsfilter of its branch) and an audio input mixer (put_Enable/get_Enable).
// A FilterObject holds a moniker and, while attached, the filter made from it.
#pragma once

#include "capture/Crossbar.h"
#include "capture/GstRef.h"
#include "capture/MediaType.h"
#include "capture/Status.h"
#include "capture/TvTuner.h"

#include <gst/gst.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace qeltv {

class AudioEncoderTrials;
class AutoTuneStore;
class FilterGraph;
class FilterObject;
class PictureControls;
class VirtualTvCard;

// Longest filter and pin names reported by QueryFilterInfo and QueryPinInfo.
constexpr std::size_t kMaxFilterNameLength = 128;
constexpr std::size_t kMaxPinNameLength = 128;
// A queue's "leaky" value that drops the oldest buffers when it is full.
constexpr int kLeakyDownstream = 2;

// What binding a moniker may need: the Virtual TV Card and the auto-tune
// store that tuners take their frequency overrides from. Owned by the main
// window.
struct CaptureContext {
    VirtualTvCard& card;
    AutoTuneStore& autoTune;
    // Which formats the audio compressors take, kept for the session; each
    // filter tries them itself without it.
    AudioEncoderTrials* audioTrials = nullptr;
};

// How far (relative to the frame duration) a requested frame rate may lie
// from the nearest rate a device offers and still be taken as that rate.
constexpr double kFrameRateTolerance = 0.005;

enum class PinDirection { Input, Output };
enum class MediaKind { Any, Video, Audio };

class Filter;

class Pin {
public:
    Pin(Filter& filter, std::string name, PinDirection direction, MediaKind kind, GstPad* pad);
    Pin(const Pin&) = delete;
    Pin& operator=(const Pin&) = delete;

    Filter& filter() const { return filter_; }
    // QueryPinInfo: the name, at most kMaxPinNameLength characters.
    std::string name() const { return name_.substr(0, kMaxPinNameLength); }
    PinDirection direction() const { return direction_; }
    MediaKind kind() const { return kind_; }
    // The pad that carries the stream; null for a mixer line.
    GstPad* pad() const { return pad_; }
    bool IsConnected() const;
    // The pin at the other end of the link, or nullptr.
    Pin* ConnectedTo() const;

    // Stream configuration, present when the pin has a format filter.
    bool hasStreamConfig() const { return formatFilter_ != nullptr || configure_ != nullptr; }
    // The format the pin delivers: the negotiated one while streaming,
    // otherwise the one it is set to. E_NOINTERFACE without a stream
    // configuration; VFW_E_INVALIDMEDIATYPE when nothing is set yet.
    HResult GetFormat(MediaType& type) const;
    // Sets the pin's format. The frame duration becomes the nearest rate the
    // device offers at that format and size, within kFrameRateTolerance;
    // GetFormat then reports the format applied. VFW_E_INVALIDMEDIATYPE when
    // the device cannot deliver it (the pin then keeps its format),
    // E_NOINTERFACE without a stream configuration.
    HResult SetFormat(const MediaType& type);
    // The formats the pin offers, in a fixed order (GetStreamCaps).
    std::vector<MediaType> GetStreamCaps() const;
    // The caps the pin is set to (what the graph file keeps); empty if none.
    CapsRef formatCaps() const;
    HResult setFormatCaps(const CapsRef& caps);

    // Audio input mixer.
    bool hasMixer() const { return static_cast<bool>(getEnable_); }
    HResult put_Enable(bool enable);
    HResult get_Enable(bool& enabled) const;

    // Set up by the filter that makes the pin.
    void setFormatFilter(GstElement* capsfilter, CapsRef deliverable,
                         std::vector<MediaType> offered);
    // A stream configuration that the filter applies itself (an encoder's
    // output, say): apply returns a status; current reports the caps.
    void setConfigure(std::function<HResult(const CapsRef&)> apply,
                      std::function<CapsRef()> current, std::vector<MediaType> offered);
    void setMixer(std::function<bool()> get, std::function<void(bool)> set);
    void setFormatListener(std::function<void(Pin&)> listener) {
        formatListener_ = std::move(listener);
    }

private:
    Filter& filter_;
    std::string name_;
    PinDirection direction_;
    MediaKind kind_;
    GstPad* pad_;
    GstElement* formatFilter_ = nullptr; // borrowed: the filter's bin owns it
    CapsRef deliverable_;
    std::vector<MediaType> offered_;
    std::function<HResult(const CapsRef&)> configure_;
    std::function<CapsRef()> currentCaps_;
    std::function<bool()> getEnable_;
    std::function<void(bool)> setEnable_;
    std::function<void(Pin&)> formatListener_;
};

class Filter {
public:
    // Takes ownership of element (floating or not) and names it.
    Filter(GstElement* element, std::string name, std::string moniker);
    virtual ~Filter();
    Filter(const Filter&) = delete;
    Filter& operator=(const Filter&) = delete;

    // QueryFilterInfo: the filter's name, at most kMaxFilterNameLength characters.
    std::string QueryFilterInfo() const { return name_.substr(0, kMaxFilterNameLength); }
    const std::string& name() const { return name_; }
    const std::string& moniker() const { return moniker_; }
    GstElement* element() const { return element_.get(); }
    // The element whose properties the user edits and the graph file keeps.
    virtual GstElement* configurable() const { return element(); }

    // The pins in their fixed order. A plain element's pins are its pads
    // (requested pads appear once wiring asked for them).
    std::vector<Pin*> pins();
    // An input pin able to take a stream of the kind, requesting a pad when
    // the element offers request pads; nullptr when none.
    Pin* acquireInputPin(MediaKind kind);
    // Releases request pads that are no longer linked (after a disconnect).
    void releaseUnlinkedRequestPads();
    // Whether the filter's input starts with a queue (no queue is inserted).
    virtual bool hasInputQueue() const { return false; }

    // The devices a capture filter carries.
    virtual TvTuner* tuner() { return nullptr; }
    virtual Crossbar* crossbar() { return nullptr; }
    virtual TvAudio* tvAudio() { return nullptr; }
    // The picture controls of a video capture filter (its configuration
    // dialog and the graph file use them).
    virtual PictureControls* pictureControls() { return nullptr; }

    // IFileSinkFilter::SetFileName; E_NOINTERFACE for a filter without a file.
    HResult SetFileName(const std::string& path);

    // The object that owns the filter, nullptr for what wiring inserted or a
    // graph file loaded and no object has taken yet.
    FilterObject* owner() const { return owner_; }
    void setOwner(FilterObject* owner) { owner_ = owner; }

    // Whether a property of configurable() holds the value the filter starts
    // with: its own setting where it set one (an encoder's real-time
    // settings), otherwise the element's default. The graph file keeps the
    // others.
    bool isAtOwnDefault(GParamSpec* param, const GValue& value) const;

    // Called before the graph runs; a capture filter chooses its native
    // format from the pins that are linked.
    virtual void prepareToRun() {}

protected:
    Pin& addPin(std::string name, PinDirection direction, MediaKind kind, GstPad* pad);
    bool hasFixedPins() const { return !fixedPins_.empty(); }
    // Takes the property's present value as the filter's own starting value.
    void rememberOwnDefault(GstElement* element, const char* property);

private:
    void refreshPadPins();

    GstOwned<GstElement> element_;
    std::string name_;
    std::string moniker_;
    FilterObject* owner_ = nullptr;
    std::vector<std::unique_ptr<Pin>> fixedPins_;
    std::vector<std::unique_ptr<Pin>> padPins_;
    // Serialized starting values the filter set itself, by property name.
    std::map<std::string, std::string> ownDefaults_;
};

// Makes the filter for a moniker (virtual:tvcard, v4l2:/dev/video0,
// pulse:<device>, encoder:x264enc, pcm:, the three fixed software monikers, or
// element:<factory> for what wiring inserted). Throws CaptureError with
// E_NOTFOUND for an unknown moniker or a factory that is not installed.
std::shared_ptr<Filter> CreateFilter(const std::string& moniker, const std::string& name,
                                     CaptureContext& context);

// The fixed monikers of the AVI Mux, the File Writer and the Null Renderer.
extern const char* const kAviMuxMoniker;
extern const char* const kFileWriterMoniker;
extern const char* const kNullRendererMoniker;

class FilterObject {
public:
    FilterObject(FilterGraph& graph, std::string name);
    virtual ~FilterObject();
    FilterObject(const FilterObject&) = delete;
    FilterObject& operator=(const FilterObject&) = delete;

    const std::string& name() const { return name_; }
    FilterGraph& graph() const { return graph_; }

    // The moniker may change only while detached; an empty moniker means no
    // device.
    void setMoniker(std::string moniker);
    const std::string& moniker() const { return moniker_; }

    // Creates the filter from the moniker and adds it to the graph under the
    // object's name; nothing happens with an empty moniker or when attached.
    // Throws CaptureError when the filter cannot be made or added.
    void Attach();
    // Stops the filter, removes it from the graph and releases it.
    void Detach();
    bool attached() const { return attached_; }
    bool hasFilter() const { return filter_ != nullptr; }
    // The filter; throws CaptureError (E_POINTER) when the object holds none.
    Filter& filter() const;
    Filter* filterOrNull() const { return filter_.get(); }

    // Replaces an attached object's filter with a new one made from the same
    // moniker, carrying over the properties set on the old one. For filters
    // that belong to one stream run, such as a muxer, which keeps counting
    // the streams of its last file after their pins are gone.
    void Renew();

    // Takes over the graph's filter named like this object (after a graph
    // file was loaded); the moniker becomes that filter's. False when the
    // graph holds no such filter.
    bool Rebind();

protected:
    // Makes the filter from the moniker; the video window makes its renderer.
    virtual std::shared_ptr<Filter> makeFilter();
    // Called when the object takes a filter (attach or rebind) and before it
    // lets it go.
    virtual void filterTaken(Filter&) {}
    virtual void filterReleased(Filter&) {}

private:
    friend class FilterGraph;
    // The graph's activation and deactivation.
    void addToGraph();
    void dropFilter();

    FilterGraph& graph_;
    std::string name_;
    std::string moniker_;
    bool attached_ = false;
    std::shared_ptr<Filter> filter_;
};

} // namespace qeltv
