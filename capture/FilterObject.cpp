#include "capture/FilterObject.h"

#include "capture/FilterGraph.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace qeltv {

const char* const kAviMuxMoniker = "@device:sw:{083863F1-70DE-11D0-BD40-00A0C911CE86}\\{E2510970-"
                                   "F137-11CE-8B67-00AA00A3F1A6}";
const char* const kFileWriterMoniker = "@device:sw:{083863F1-70DE-11D0-BD40-00A0C911CE86}\\{"
                                       "8596E5F0-0DA5-11D0-BD21-00A0C911CE86}";
const char* const kNullRendererMoniker = "@device:sw:{083863F1-70DE-11D0-BD40-00A0C911CE86}\\{"
                                         "C1F400A4-3F08-11D3-9F0B-006008039E37}";

// ---------------------------------------------------------------- Pin

namespace {

struct OfferedRate {
    int numerator = 0;
    int denominator = 1;
    double distance = 0; // relative difference of the frame durations
};

// Keeps in best the rate num/den when its frame duration is nearer to
// wanted_s (seconds per frame) than best's.
void ConsiderRate(int num, int den, double wanted_s, std::optional<OfferedRate>& best) {
    if (num <= 0 || den <= 0)
        return;
    const double offered_s = static_cast<double>(den) / num;
    const double distance = std::abs(wanted_s - offered_s) / offered_s;
    if (!best || distance < best->distance)
        best = OfferedRate{num, den, distance};
}

// Walks a framerate field: one fraction, a list of them, or a range (which
// holds the wanted rate itself when it lies inside).
void ConsiderRates(const GValue* rates, int wantedNum, int wantedDen,
                   std::optional<OfferedRate>& best) {
    const double wanted_s = static_cast<double>(wantedDen) / wantedNum;
    if (GST_VALUE_HOLDS_FRACTION(rates)) {
        ConsiderRate(gst_value_get_fraction_numerator(rates),
                     gst_value_get_fraction_denominator(rates), wanted_s, best);
    } else if (GST_VALUE_HOLDS_LIST(rates)) {
        for (guint i = 0; i < gst_value_list_get_size(rates); ++i)
            ConsiderRates(gst_value_list_get_value(rates, i), wantedNum, wantedDen, best);
    } else if (GST_VALUE_HOLDS_FRACTION_RANGE(rates)) {
        const GValue* low = gst_value_get_fraction_range_min(rates);
        const GValue* high = gst_value_get_fraction_range_max(rates);
        GstOwnedValue wanted(GST_TYPE_FRACTION);
        gst_value_set_fraction(wanted.get(), wantedNum, wantedDen);
        if (gst_value_compare(wanted.get(), low) != GST_VALUE_LESS_THAN &&
            gst_value_compare(wanted.get(), high) != GST_VALUE_GREATER_THAN) {
            ConsiderRate(wantedNum, wantedDen, wanted_s, best);
        } else {
            ConsiderRates(low, wantedNum, wantedDen, best);
            ConsiderRates(high, wantedNum, wantedDen, best);
        }
    }
}

// The requested caps with the nearest frame rate the device delivers at
// that format and size: a frame duration in 100 ns units is rarely an
// offered fraction exactly (333333 is not 30/1, 333667 not 30000/1001).
// Empty when no offered rate lies within kFrameRateTolerance; the requested
// caps as they are when they name no rate or the device has no such format
// and size (the pin then refuses them).
CapsRef NearestOfferedRate(const CapsRef& requested, const CapsRef& deliverable) {
    const GstStructure* wanted = gst_caps_get_structure(requested.get(), 0);
    int wantedNum = 0;
    int wantedDen = 0;
    if (!wanted || !gst_structure_get_fraction(wanted, "framerate", &wantedNum, &wantedDen) ||
        wantedNum <= 0 || wantedDen <= 0)
        return requested;
    CapsRef anyRate(gst_caps_copy(requested.get()));
    gst_structure_remove_field(gst_caps_get_structure(anyRate.get(), 0), "framerate");
    CapsRef candidates(gst_caps_intersect(anyRate.get(), deliverable.get()));
    if (gst_caps_is_empty(candidates.get()))
        return requested;
    std::optional<OfferedRate> best;
    for (guint i = 0; i < gst_caps_get_size(candidates.get()); ++i) {
        const GValue* rates =
            gst_structure_get_value(gst_caps_get_structure(candidates.get(), i), "framerate");
        if (rates)
            ConsiderRates(rates, wantedNum, wantedDen, best);
        else // any rate
            ConsiderRate(wantedNum, wantedDen, static_cast<double>(wantedDen) / wantedNum, best);
    }
    if (!best || best->distance > kFrameRateTolerance)
        return {};
    gst_caps_set_simple(anyRate.get(), "framerate", GST_TYPE_FRACTION, best->numerator,
                        best->denominator, nullptr);
    return anyRate;
}

} // namespace

Pin::Pin(Filter& filter, std::string name, PinDirection direction, MediaKind kind, GstPad* pad)
    : filter_(filter), name_(std::move(name)), direction_(direction), kind_(kind), pad_(pad) {}

bool Pin::IsConnected() const {
    return pad_ && gst_pad_is_linked(pad_);
}

void Pin::setFormatFilter(GstElement* capsfilter, CapsRef deliverable,
                          std::vector<MediaType> offered) {
    formatFilter_ = capsfilter;
    deliverable_ = std::move(deliverable);
    offered_ = std::move(offered);
}

void Pin::setConfigure(std::function<HResult(const CapsRef&)> apply,
                       std::function<CapsRef()> current, std::vector<MediaType> offered) {
    configure_ = std::move(apply);
    currentCaps_ = std::move(current);
    offered_ = std::move(offered);
}

void Pin::setMixer(std::function<bool()> get, std::function<void(bool)> set) {
    getEnable_ = std::move(get);
    setEnable_ = std::move(set);
}

CapsRef Pin::formatCaps() const {
    if (currentCaps_)
        return currentCaps_();
    if (!formatFilter_)
        return {};
    GstCaps* caps = nullptr;
    g_object_get(formatFilter_, "caps", &caps, nullptr);
    CapsRef owned(caps);
    if (!caps || gst_caps_is_any(caps) || gst_caps_is_empty(caps))
        return {};
    return owned;
}

HResult Pin::GetFormat(MediaType& type) const {
    if (!hasStreamConfig())
        return status::E_NOINTERFACE;
    // While streaming the negotiated caps say what really flows.
    if (pad_) {
        CapsRef current(gst_pad_get_current_caps(pad_));
        if (current && !configure_) {
            type = MediaTypeFromCaps(current.get());
            return status::S_OK;
        }
    }
    CapsRef caps = formatCaps();
    if (!caps)
        return status::VFW_E_INVALIDMEDIATYPE;
    type = MediaTypeFromCaps(caps.get());
    return status::S_OK;
}

HResult Pin::setFormatCaps(const CapsRef& caps) {
    if (!hasStreamConfig())
        return status::E_NOINTERFACE;
    if (!caps || gst_caps_is_empty(caps.get()))
        return status::VFW_E_INVALIDMEDIATYPE;
    if (configure_) {
        const HResult hr = configure_(caps);
        if (Succeeded(hr) && formatListener_)
            formatListener_(*this);
        return hr;
    }
    if (deliverable_ && !gst_caps_can_intersect(caps.get(), deliverable_.get()))
        return status::VFW_E_INVALIDMEDIATYPE;
    g_object_set(formatFilter_, "caps", caps.get(), nullptr);
    if (formatListener_)
        formatListener_(*this);
    return status::S_OK;
}

HResult Pin::SetFormat(const MediaType& type) {
    if (!hasStreamConfig())
        return status::E_NOINTERFACE;
    CapsRef caps = MediaTypeToCaps(type);
    if (caps && deliverable_ && !configure_)
        caps = NearestOfferedRate(caps, deliverable_);
    return setFormatCaps(caps);
}

std::vector<MediaType> Pin::GetStreamCaps() const {
    return offered_;
}

HResult Pin::put_Enable(bool enable) {
    if (!setEnable_)
        return status::E_NOINTERFACE;
    setEnable_(enable);
    return status::S_OK;
}

HResult Pin::get_Enable(bool& enabled) const {
    if (!getEnable_)
        return status::E_NOINTERFACE;
    enabled = getEnable_();
    return status::S_OK;
}

// ---------------------------------------------------------------- Filter

namespace {

MediaKind KindOfTemplateName(const std::string& name) {
    if (name.rfind("video", 0) == 0)
        return MediaKind::Video;
    if (name.rfind("audio", 0) == 0)
        return MediaKind::Audio;
    return MediaKind::Any;
}

bool KindMatches(MediaKind pin, MediaKind wanted) {
    return pin == MediaKind::Any || wanted == MediaKind::Any || pin == wanted;
}

bool IsRequestPad(GstPad* pad) {
    const auto templ = GstOwned<GstPadTemplate>::adopt(gst_pad_get_pad_template(pad));
    return templ && GST_PAD_TEMPLATE_PRESENCE(templ.get()) == GST_PAD_REQUEST;
}

std::vector<GstPad*> ElementPads(GstElement* element) {
    std::vector<GstPad*> pads;
    GST_OBJECT_LOCK(element);
    for (GList* l = element->pads; l; l = l->next)
        pads.push_back(GST_PAD(l->data));
    GST_OBJECT_UNLOCK(element);
    return pads;
}

} // namespace

Filter::Filter(GstElement* element, std::string name, std::string moniker)
    : element_(GstOwned<GstElement>::sink(element)), name_(std::move(name)),
      moniker_(std::move(moniker)) {
    if (element_)
        gst_object_set_name(GST_OBJECT(element_.get()), name_.c_str());
}

Filter::~Filter() {
    if (element_)
        gst_element_set_state(element_.get(), GST_STATE_NULL);
}

Pin& Filter::addPin(std::string name, PinDirection direction, MediaKind kind, GstPad* pad) {
    fixedPins_.push_back(std::make_unique<Pin>(*this, std::move(name), direction, kind, pad));
    return *fixedPins_.back();
}

void Filter::refreshPadPins() {
    const std::vector<GstPad*> pads = ElementPads(element());
    std::vector<std::unique_ptr<Pin>> pins;
    for (GstPad* pad : pads) {
        auto found =
            std::find_if(padPins_.begin(), padPins_.end(),
                         [pad](const std::unique_ptr<Pin>& p) { return p && p->pad() == pad; });
        if (found != padPins_.end()) {
            pins.push_back(std::move(*found));
            continue;
        }
        const auto padName = GstOwned<gchar>::adopt(gst_pad_get_name(pad));
        const std::string name = padName ? padName.get() : "";
        const PinDirection direction =
            GST_PAD_DIRECTION(pad) == GST_PAD_SRC ? PinDirection::Output : PinDirection::Input;
        pins.push_back(
            std::make_unique<Pin>(*this, name, direction, KindOfTemplateName(name), pad));
    }
    padPins_ = std::move(pins);
}

std::vector<Pin*> Filter::pins() {
    std::vector<Pin*> result;
    if (!fixedPins_.empty()) {
        for (auto& pin : fixedPins_)
            result.push_back(pin.get());
        return result;
    }
    refreshPadPins();
    for (auto& pin : padPins_)
        result.push_back(pin.get());
    return result;
}

Pin* Filter::acquireInputPin(MediaKind kind) {
    for (Pin* pin : pins()) {
        if (pin->direction() == PinDirection::Input && pin->pad() && !pin->IsConnected() &&
            KindMatches(pin->kind(), kind))
            return pin;
    }
    if (hasFixedPins())
        return nullptr;
    // Request a pad from the first request template of the kind.
    GstElementClass* klass = GST_ELEMENT_GET_CLASS(element());
    for (GList* l = gst_element_class_get_pad_template_list(klass); l; l = l->next) {
        GstPadTemplate* templ = GST_PAD_TEMPLATE(l->data);
        if (GST_PAD_TEMPLATE_DIRECTION(templ) != GST_PAD_SINK ||
            GST_PAD_TEMPLATE_PRESENCE(templ) != GST_PAD_REQUEST)
            continue;
        if (!KindMatches(KindOfTemplateName(GST_PAD_TEMPLATE_NAME_TEMPLATE(templ)), kind))
            continue;
        const auto pad =
            GstOwned<GstPad>::adopt(gst_element_request_pad(element(), templ, nullptr, nullptr));
        if (!pad)
            continue;
        for (Pin* pin : pins()) {
            if (pin->pad() == pad.get())
                return pin;
        }
    }
    return nullptr;
}

void Filter::releaseUnlinkedRequestPads() {
    if (hasFixedPins())
        return;
    for (GstPad* pad : ElementPads(element())) {
        if (!gst_pad_is_linked(pad) && IsRequestPad(pad))
            gst_element_release_request_pad(element(), pad);
    }
    refreshPadPins();
}

void Filter::rememberOwnDefault(GstElement* element, const char* property) {
    GParamSpec* param = g_object_class_find_property(G_OBJECT_GET_CLASS(element), property);
    if (!param)
        return;
    GstOwnedValue value(param->value_type);
    g_object_get_property(G_OBJECT(element), property, value.get());
    if (const auto text = GstOwned<gchar>::adopt(gst_value_serialize(value.get())))
        ownDefaults_[param->name] = text.get();
}

bool Filter::isAtOwnDefault(GParamSpec* param, const GValue& value) const {
    const auto own = ownDefaults_.find(param->name);
    if (own == ownDefaults_.end())
        return g_param_value_defaults(param, const_cast<GValue*>(&value));
    const auto text = GstOwned<gchar>::adopt(gst_value_serialize(&value));
    return text && own->second == text.get();
}

HResult Filter::SetFileName(const std::string& path) {
    GstElement* target = configurable();
    if (!target || !g_object_class_find_property(G_OBJECT_GET_CLASS(target), "location"))
        return status::E_NOINTERFACE;
    g_object_set(target, "location", path.c_str(), nullptr);
    return status::S_OK;
}

// ---------------------------------------------------------------- FilterObject

FilterObject::FilterObject(FilterGraph& graph, std::string name)
    : graph_(graph), name_(std::move(name)) {
    graph_.registerObject(*this);
}

FilterObject::~FilterObject() {
    // Derived objects release their filter in their own destructor; this is
    // the last chance for the others.
    if (filter_) {
        std::shared_ptr<Filter> filter = filter_;
        filter_.reset();
        filter->setOwner(nullptr);
        if (graph_.IsActive() && graph_.sharedFilter(*filter))
            graph_.removeFilter(*filter);
    }
    graph_.unregisterObject(*this);
}

void FilterObject::setMoniker(std::string moniker) {
    moniker_ = std::move(moniker);
}

std::shared_ptr<Filter> FilterObject::makeFilter() {
    if (moniker_.empty())
        return nullptr;
    return CreateFilter(moniker_, name_, graph_.context());
}

void FilterObject::addToGraph() {
    if (filter_ || !graph_.IsActive())
        return;
    std::shared_ptr<Filter> filter = makeFilter();
    if (!filter)
        return;
    filter->setOwner(this);
    graph_.addFilter(filter);
    filter_ = filter;
    filterTaken(*filter_);
}

void FilterObject::Attach() {
    if (attached_)
        return;
    attached_ = true;
    try {
        addToGraph();
    } catch (...) {
        attached_ = false;
        throw;
    }
}

void FilterObject::Detach() {
    attached_ = false;
    if (!filter_)
        return;
    std::shared_ptr<Filter> filter = filter_;
    filterReleased(*filter);
    filter_.reset();
    filter->setOwner(nullptr);
    gst_element_set_state(filter->element(), GST_STATE_NULL);
    if (graph_.sharedFilter(*filter))
        graph_.removeFilter(*filter);
}

void FilterObject::dropFilter() {
    if (!filter_)
        return;
    filterReleased(*filter_);
    filter_->setOwner(nullptr);
    filter_.reset();
}

namespace {

// Copies every writable property of `from` whose value differs from the one
// `to` has (the name, which the graph gives, stays).
void CopyChangedProperties(GstElement* from, GstElement* to) {
    guint count = 0;
    const auto specs = GstOwned<GParamSpec*>::adopt(
        g_object_class_list_properties(G_OBJECT_GET_CLASS(from), &count));
    for (guint i = 0; i < count; ++i) {
        GParamSpec* param = specs.get()[i];
        if (!(param->flags & G_PARAM_READABLE) || !(param->flags & G_PARAM_WRITABLE) ||
            (param->flags & (G_PARAM_CONSTRUCT_ONLY | G_PARAM_DEPRECATED)) ||
            std::string(param->name) == "name" || std::string(param->name) == "parent")
            continue;
        GstOwnedValue old(param->value_type);
        GstOwnedValue fresh(param->value_type);
        g_object_get_property(G_OBJECT(from), param->name, old.get());
        g_object_get_property(G_OBJECT(to), param->name, fresh.get());
        if (g_param_values_cmp(param, old.get(), fresh.get()) != 0)
            g_object_set_property(G_OBJECT(to), param->name, old.get());
    }
}

} // namespace

void FilterObject::Renew() {
    if (!attached_ || !filter_)
        return;
    const std::shared_ptr<Filter> old = filter_;
    Detach();
    Attach();
    if (filter_ && old->configurable() && filter_->configurable())
        CopyChangedProperties(old->configurable(), filter_->configurable());
}

Filter& FilterObject::filter() const {
    if (!filter_)
        throw CaptureError("The filter object " + name_ + " holds no filter", status::E_POINTER);
    return *filter_;
}

bool FilterObject::Rebind() {
    Filter* loaded = graph_.FindFilterByName(name_);
    if (!loaded)
        return false;
    std::shared_ptr<Filter> shared = graph_.sharedFilter(*loaded);
    if (shared == filter_)
        return true;
    dropFilter();
    if (shared->owner() && shared->owner() != this)
        shared->owner()->dropFilter();
    shared->setOwner(this);
    filter_ = shared;
    moniker_ = shared->moniker();
    attached_ = true;
    filterTaken(*filter_);
    return true;
}

} // namespace qeltv
