// What the benchmarks share: CPU time over an interval, the machine's core
// count, and the bare baseline of a capture-layer pipeline.
//
// A baseline does exactly the layer's work: it is written out from the
// layer's own pipeline once built (the same elements with the same settings,
// linked the same way, without the layer's bins, ghost pads and probes), and
// both sides are measured in this process over the same interval, from
// PLAYING to their end, so the ratio is the layer's overhead alone.
#pragma once

#include <gst/gst.h>

#include <QElapsedTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <vector>

namespace qeltv::bench {

// CPU seconds (user and system) of every thread of this process.
inline double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

inline unsigned Cores() {
    return std::thread::hardware_concurrency();
}

// CPU and wall seconds of one side over its measured interval.
struct Interval {
    double cpu_s = 0;
    double wall_s = 0;
    void start() {
        cpuStart_ = CpuSeconds();
        wall_.start();
    }
    void stop() {
        cpu_s = CpuSeconds() - cpuStart_;
        wall_s = wall_.elapsed() / 1000.0;
    }

private:
    double cpuStart_ = 0;
    QElapsedTimer wall_;
};

namespace detail {

inline std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + '"';
}

inline std::string FactoryName(GstElement* element) {
    GstElementFactory* factory = gst_element_get_factory(element);
    return factory ? GST_OBJECT_NAME(factory) : "";
}

// The element's settings that differ from their defaults, as launch text.
inline std::string Settings(GstElement* element) {
    std::string text;
    guint count = 0;
    GParamSpec** params = g_object_class_list_properties(G_OBJECT_GET_CLASS(element), &count);
    for (guint i = 0; i < count; ++i) {
        GParamSpec* param = params[i];
        const std::string name = param->name;
        if (name == "name" || name == "parent" ||
            (param->flags & G_PARAM_READWRITE) != G_PARAM_READWRITE)
            continue;
        GValue value = G_VALUE_INIT;
        g_value_init(&value, param->value_type);
        g_object_get_property(G_OBJECT(element), param->name, &value);
        if (!g_param_value_defaults(param, &value)) {
            if (G_VALUE_HOLDS_STRING(&value)) {
                text += " " + name + "=" + Quoted(g_value_get_string(&value));
            } else if (GST_VALUE_HOLDS_CAPS(&value) && gst_value_get_caps(&value)) {
                gchar* caps = gst_caps_to_string(gst_value_get_caps(&value));
                text += " " + name + "=" + Quoted(caps);
                g_free(caps);
            } else if (gchar* serialized = gst_value_serialize(&value)) {
                const std::string plain = serialized;
                const bool bare = plain.find_first_of(" \"'\\,=()") == std::string::npos;
                text += " " + name + "=" + (bare ? plain : Quoted(plain));
                g_free(serialized);
            }
        }
        g_value_unset(&value);
    }
    g_free(params);
    return text;
}

// The pad of a plain element that `pad` delivers to, through ghost pads and
// the bins that hold them; nullptr when the stream ends unlinked there.
inline GstPad* DownstreamPad(GstPad* pad) {
    GstPad* peer = gst_pad_get_peer(pad);
    while (peer) {
        GstPad* next = nullptr;
        if (GST_IS_GHOST_PAD(peer)) {
            // A bin's input: its target inside the bin.
            next = gst_ghost_pad_get_target(GST_GHOST_PAD(peer));
        } else if (GST_IS_PROXY_PAD(peer) && GST_IS_GHOST_PAD(GST_OBJECT_PARENT(peer))) {
            // A bin's output: what the ghost pad is linked to outside.
            next = gst_pad_get_peer(GST_PAD(GST_OBJECT_PARENT(peer)));
        } else {
            return peer;
        }
        gst_object_unref(peer);
        peer = next;
    }
    return nullptr;
}

struct Writer {
    std::set<GstElement*> written;

    // Elements keep the names GStreamer gave them in the layer, unique in
    // the pipeline, so a caller finds the same element on both sides.
    static std::string nameOf(GstElement* element) { return GST_OBJECT_NAME(element); }

    // Launch text from `element` down to a sink, or to an element written
    // before (a mux); empty when every way ends unlinked. At a tee the first
    // branch that reaches a sink is the one that carries the stream.
    std::string chain(GstElement* element) {
        if (written.count(element))
            return nameOf(element) + ".";
        std::string text = FactoryName(element) + " name=" + nameOf(element) + Settings(element);
        std::vector<GstPad*> sources;
        for (GList* l = element->srcpads; l; l = l->next)
            sources.push_back(GST_PAD(l->data));
        if (sources.empty()) {
            written.insert(element);
            return text;
        }
        for (GstPad* pad : sources) {
            GstPad* target = DownstreamPad(pad);
            if (!target)
                continue;
            GstElement* next = GST_ELEMENT(GST_OBJECT_PARENT(target));
            gst_object_unref(target);
            written.insert(element);
            const std::string rest = chain(next);
            if (!rest.empty())
                return text + " ! " + rest;
            written.erase(element);
        }
        return {};
    }
};

inline void Leaves(GstBin* bin, std::vector<GstElement*>& sources) {
    for (GList* l = bin->children; l; l = l->next) {
        GstElement* child = GST_ELEMENT(l->data);
        if (GST_IS_BIN(child))
            Leaves(GST_BIN(child), sources);
        else if (!child->sinkpads && child->srcpads)
            sources.push_back(child);
    }
}

} // namespace detail

// The layer's pipeline as one launch line of its plain elements: every
// source's stream down to its sink, each element under its name in the
// layer's pipeline.
inline std::string BareDescription(GstElement* pipeline) {
    std::vector<GstElement*> sources;
    detail::Leaves(GST_BIN(pipeline), sources);
    // Children are kept newest first; sources in the order they were added.
    std::reverse(sources.begin(), sources.end());
    detail::Writer writer;
    std::string text;
    for (GstElement* source : sources) {
        const std::string chain = writer.chain(source);
        if (!chain.empty())
            text += (text.empty() ? "" : "  ") + chain;
    }
    return text;
}

// The first plain element made by `factory` in the pipeline (bins searched
// too), or nullptr; a borrowed pointer.
inline GstElement* FindByFactory(GstElement* pipeline, const char* factory) {
    GstElement* found = nullptr;
    std::function<void(GstBin*)> search = [&](GstBin* bin) {
        for (GList* l = bin->children; l && !found; l = l->next) {
            GstElement* child = GST_ELEMENT(l->data);
            if (GST_IS_BIN(child))
                search(GST_BIN(child));
            else if (detail::FactoryName(child) == factory)
                found = child;
        }
    };
    search(GST_BIN(pipeline));
    return found;
}

// Waits until the pipeline has reached PLAYING; false when it failed.
inline bool WaitForPlaying(GstElement* pipeline) {
    constexpr GstClockTime kStateWait_ns = 30 * GST_SECOND;
    GstState state = GST_STATE_NULL;
    return gst_element_get_state(pipeline, &state, nullptr, kStateWait_ns) !=
               GST_STATE_CHANGE_FAILURE &&
           state == GST_STATE_PLAYING;
}

// Waits up to timeout_ns for an error or the end of stream; true at the end
// of stream.
inline bool WaitForEndOfStream(GstElement* pipeline, GstClockTime timeout_ns) {
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* message = gst_bus_timed_pop_filtered(
        bus, timeout_ns, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    const bool ended = message && GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS;
    if (message && !ended) {
        GError* error = nullptr;
        gst_message_parse_error(message, &error, nullptr);
        std::fprintf(stderr, "the baseline failed: %s\n", error ? error->message : "");
        g_clear_error(&error);
    }
    if (message)
        gst_message_unref(message);
    gst_object_unref(bus);
    return ended;
}

// The element of a bare pipeline with the name of the layer's element.
inline GstElement* Counterpart(GstElement* barePipeline, GstElement* layerElement) {
    return gst_bin_get_by_name(GST_BIN(barePipeline), GST_OBJECT_NAME(layerElement));
}

} // namespace qeltv::bench
