// Owner types for GStreamer and GLib resources.
//
// GStreamer documents every pointer it hands out as either "transfer full"
// (the caller now owns a reference and must drop it) or "transfer none" (the
// caller borrows it). GstOwned<T> is the owned side: it drops its reference
// with the release call that belongs to T when it goes out of scope. The way
// a pointer enters it says which of the two it was:
//
//   auto peer = GstOwned<GstPad>::adopt(gst_pad_get_peer(pad));      // transfer full
//   GstCaps* borrowed = nullptr;
//   gst_event_parse_caps(event, &borrowed);                          // transfer none
//   auto caps = GstOwned<GstCaps>::ref(borrowed);                    // now a reference of its own
//   auto element = GstOwned<GstElement>::sink(gst_element_factory_make(...)); // floating
//
// A plain T* is a borrowed reference; it is valid only as long as its owner
// keeps it. Out parameters that return ownership (GError**, gchar**) are
// filled through out(), which drops what the owner held before.
//
// Types without a reference count of their own (GstStructure, GError, gchar,
// GstIterator, arrays) can only be adopted; a copy is made with their copy call and
// adopted.
//
// Three more owners hold what is not a pointer: GstOwnedValue (a GValue,
// unset when it goes), GstOwnedPadProbe (a probe on a pad, removed when it
// goes) and GstOwnedSignalHandler (a signal handler, disconnected when it
// goes). The last two keep a reference to their pad or instance, so the
// removal never reaches an object that is already gone.
#pragma once

#include <gst/gst.h>

#include <utility>

namespace qeltv {

// Release (and, where the type has one, reference) calls of each type. A
// type used with GstOwned must have a specialization; other modules add
// theirs (GstDiscovererInfo, say) with the GObject or GstObject base below.
template <typename T> struct GstRefTraits;

template <typename T> struct GstObjectRefTraits {
    static void unref(T* p) { gst_object_unref(p); }
    static T* ref(T* p) { return static_cast<T*>(gst_object_ref(p)); }
    static T* refSink(T* p) { return static_cast<T*>(gst_object_ref_sink(p)); }
};

template <typename T> struct GObjectRefTraits {
    static void unref(T* p) { g_object_unref(p); }
    static T* ref(T* p) { return static_cast<T*>(g_object_ref(p)); }
    static T* refSink(T* p) { return static_cast<T*>(g_object_ref_sink(p)); }
};

#define QELTV_GST_OBJECT_REF_TRAITS(Type)                                                          \
    template <> struct GstRefTraits<Type> : GstObjectRefTraits<Type> {}

QELTV_GST_OBJECT_REF_TRAITS(GstObject);
QELTV_GST_OBJECT_REF_TRAITS(GstElement);
QELTV_GST_OBJECT_REF_TRAITS(GstBin);
QELTV_GST_OBJECT_REF_TRAITS(GstPipeline);
QELTV_GST_OBJECT_REF_TRAITS(GstPad);
QELTV_GST_OBJECT_REF_TRAITS(GstPadTemplate);
QELTV_GST_OBJECT_REF_TRAITS(GstBus);
QELTV_GST_OBJECT_REF_TRAITS(GstClock);
QELTV_GST_OBJECT_REF_TRAITS(GstDevice);
QELTV_GST_OBJECT_REF_TRAITS(GstDeviceMonitor);
QELTV_GST_OBJECT_REF_TRAITS(GstElementFactory);
QELTV_GST_OBJECT_REF_TRAITS(GstPluginFeature);
QELTV_GST_OBJECT_REF_TRAITS(GstPlugin);

#undef QELTV_GST_OBJECT_REF_TRAITS

template <> struct GstRefTraits<GObject> : GObjectRefTraits<GObject> {};

#define QELTV_GST_MINI_OBJECT_REF_TRAITS(Type, prefix)                                             \
    template <> struct GstRefTraits<Type> {                                                        \
        static void unref(Type* p) { prefix##_unref(p); }                                          \
        static Type* ref(Type* p) { return prefix##_ref(p); }                                      \
    }

QELTV_GST_MINI_OBJECT_REF_TRAITS(GstCaps, gst_caps);
QELTV_GST_MINI_OBJECT_REF_TRAITS(GstMessage, gst_message);
QELTV_GST_MINI_OBJECT_REF_TRAITS(GstSample, gst_sample);
QELTV_GST_MINI_OBJECT_REF_TRAITS(GstBuffer, gst_buffer);
QELTV_GST_MINI_OBJECT_REF_TRAITS(GstBufferList, gst_buffer_list);
QELTV_GST_MINI_OBJECT_REF_TRAITS(GstEvent, gst_event);
QELTV_GST_MINI_OBJECT_REF_TRAITS(GstQuery, gst_query);
QELTV_GST_MINI_OBJECT_REF_TRAITS(GstTagList, gst_tag_list);

#undef QELTV_GST_MINI_OBJECT_REF_TRAITS

template <> struct GstRefTraits<GstStructure> {
    static void unref(GstStructure* p) { gst_structure_free(p); }
};
template <> struct GstRefTraits<GError> {
    static void unref(GError* p) { g_error_free(p); }
};
template <> struct GstRefTraits<gchar> {
    static void unref(gchar* p) { g_free(p); }
};
// The array g_object_class_list_properties returns: the array is the
// caller's, the parameter specifications in it are borrowed from the class.
template <> struct GstRefTraits<GParamSpec*> {
    static void unref(GParamSpec** p) { g_free(p); }
};
template <> struct GstRefTraits<GstIterator> {
    static void unref(GstIterator* p) { gst_iterator_free(p); }
};

template <typename T>
concept RefCounted = requires(T* p) {
    GstRefTraits<T>::ref(p);
};
template <typename T>
concept Floating = requires(T* p) {
    GstRefTraits<T>::refSink(p);
};

// An owned reference (or, for types without a count, the owned value).
template <typename T> class GstOwned {
public:
    GstOwned() = default;
    GstOwned(std::nullptr_t) {}
    GstOwned(const GstOwned&) = delete;
    GstOwned& operator=(const GstOwned&) = delete;
    GstOwned(GstOwned&& other) noexcept : ptr_(other.release()) {}
    GstOwned& operator=(GstOwned&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~GstOwned() { reset(); }

    // Takes over a reference the caller owns (transfer full).
    [[nodiscard]] static GstOwned adopt(T* owned) { return GstOwned(owned); }
    // Takes a reference of its own to a borrowed pointer (transfer none).
    [[nodiscard]] static GstOwned ref(T* borrowed) requires RefCounted<T> {
        return GstOwned(borrowed ? GstRefTraits<T>::ref(borrowed) : nullptr);
    }
    // Owns an object passed as "transfer floating", as gst_bin_add takes
    // its children: a floating reference (a new element, a new pipeline) is
    // sunk and taken over; a plain one is borrowed, and a reference of its
    // own is added.
    [[nodiscard]] static GstOwned sink(T* floatingOrBorrowed) requires Floating<T> {
        return GstOwned(floatingOrBorrowed ? GstRefTraits<T>::refSink(floatingOrBorrowed)
                                           : nullptr);
    }

    T* get() const { return ptr_; }
    T* operator->() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }

    // Hands the reference to the caller, who must drop it.
    [[nodiscard]] T* release() { return std::exchange(ptr_, nullptr); }
    // Drops the reference held and takes over owned (transfer full).
    void reset(T* owned = nullptr) {
        if (T* old = std::exchange(ptr_, owned))
            GstRefTraits<T>::unref(old);
    }
    // For an out parameter that returns ownership (GError**, gchar**): drops
    // the reference held, then lets the call fill it.
    [[nodiscard]] T** out() {
        reset();
        return &ptr_;
    }

private:
    explicit GstOwned(T* owned) : ptr_(owned) {}

    T* ptr_ = nullptr;
};

// A GList that owns its elements' references (a device list, a feature
// list): both the list and every element are released together.
class GstOwnedObjectList {
public:
    GstOwnedObjectList() = default;
    GstOwnedObjectList(const GstOwnedObjectList&) = delete;
    GstOwnedObjectList& operator=(const GstOwnedObjectList&) = delete;
    GstOwnedObjectList(GstOwnedObjectList&& other) noexcept : list_(other.release()) {}
    GstOwnedObjectList& operator=(GstOwnedObjectList&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~GstOwnedObjectList() { reset(); }

    // Takes over a list of GstObject references (transfer full).
    [[nodiscard]] static GstOwnedObjectList adopt(GList* owned) {
        GstOwnedObjectList result;
        result.list_ = owned;
        return result;
    }

    GList* get() const { return list_; }
    [[nodiscard]] GList* release() { return std::exchange(list_, nullptr); }
    void reset(GList* owned = nullptr) {
        if (GList* old = std::exchange(list_, owned))
            g_list_free_full(old, gst_object_unref);
    }

private:
    GList* list_ = nullptr;
};

// A GValue of its own: initialised to a type (or left empty, for a call that
// initialises it, such as gst_iterator_next), unset when its owner goes out
// of scope.
class GstOwnedValue {
public:
    GstOwnedValue() = default;
    explicit GstOwnedValue(GType type) { g_value_init(&value_, type); }
    GstOwnedValue(const GstOwnedValue&) = delete;
    GstOwnedValue& operator=(const GstOwnedValue&) = delete;
    // A GValue holds no pointer to itself: its bytes move, and the source is
    // left empty.
    GstOwnedValue(GstOwnedValue&& other) noexcept : value_(std::exchange(other.value_, GValue{})) {}
    GstOwnedValue& operator=(GstOwnedValue&& other) noexcept {
        if (this != &other) {
            reset();
            value_ = std::exchange(other.value_, GValue{});
        }
        return *this;
    }
    ~GstOwnedValue() { reset(); }

    GValue* get() { return &value_; }
    const GValue* get() const { return &value_; }
    // True once initialised to a type.
    explicit operator bool() const { return G_IS_VALUE(&value_); }

    // Unsets the value: what it held is dropped and it is empty again.
    void reset() {
        if (G_IS_VALUE(&value_))
            g_value_unset(&value_);
        value_ = GValue{};
    }

private:
    GValue value_ = G_VALUE_INIT;
};

// A probe on a pad, removed from the pad when its owner goes out of scope or
// is reset. Reset it at the moment the probe must stop (before the data its
// callback uses goes); the owner's reference keeps the pad alive until then.
class GstOwnedPadProbe {
public:
    GstOwnedPadProbe() = default;
    GstOwnedPadProbe(const GstOwnedPadProbe&) = delete;
    GstOwnedPadProbe& operator=(const GstOwnedPadProbe&) = delete;
    GstOwnedPadProbe(GstOwnedPadProbe&& other) noexcept
        : pad_(std::move(other.pad_)), id_(std::exchange(other.id_, 0)) {}
    GstOwnedPadProbe& operator=(GstOwnedPadProbe&& other) noexcept {
        if (this != &other) {
            reset();
            pad_ = std::move(other.pad_);
            id_ = std::exchange(other.id_, 0);
        }
        return *this;
    }
    ~GstOwnedPadProbe() { reset(); }

    // Adds a probe to `pad` (borrowed) as gst_pad_add_probe does. The owner
    // is empty when the pad refused the probe (or the probe was an idle
    // probe that has already run).
    [[nodiscard]] static GstOwnedPadProbe add(GstPad* pad, GstPadProbeType mask,
                                              GstPadProbeCallback callback, gpointer data,
                                              GDestroyNotify destroyData = nullptr) {
        GstOwnedPadProbe result;
        result.id_ = gst_pad_add_probe(pad, mask, callback, data, destroyData);
        if (result.id_ != 0)
            result.pad_ = GstOwned<GstPad>::ref(pad);
        return result;
    }

    GstPad* pad() const { return pad_.get(); }
    gulong id() const { return id_; }
    explicit operator bool() const { return id_ != 0; }

    // Removes the probe now: once this returns, its callback is not called
    // again.
    void reset() {
        if (const gulong id = std::exchange(id_, 0))
            gst_pad_remove_probe(pad_.get(), id);
        pad_.reset();
    }

private:
    GstOwned<GstPad> pad_;
    gulong id_ = 0;
};

// A signal handler connected to an instance, disconnected when its owner
// goes out of scope or is reset. The owner's reference keeps the instance
// alive until then.
class GstOwnedSignalHandler {
public:
    GstOwnedSignalHandler() = default;
    GstOwnedSignalHandler(const GstOwnedSignalHandler&) = delete;
    GstOwnedSignalHandler& operator=(const GstOwnedSignalHandler&) = delete;
    GstOwnedSignalHandler(GstOwnedSignalHandler&& other) noexcept
        : instance_(std::move(other.instance_)), id_(std::exchange(other.id_, 0)) {}
    GstOwnedSignalHandler& operator=(GstOwnedSignalHandler&& other) noexcept {
        if (this != &other) {
            reset();
            instance_ = std::move(other.instance_);
            id_ = std::exchange(other.id_, 0);
        }
        return *this;
    }
    ~GstOwnedSignalHandler() { reset(); }

    // Connects `handler` to `signal` of `instance` (borrowed) as
    // g_signal_connect_data does; `destroyData` frees `data` once the
    // handler is disconnected. Empty when the instance has no such signal.
    [[nodiscard]] static GstOwnedSignalHandler connect(gpointer instance, const gchar* signal,
                                                       GCallback handler, gpointer data,
                                                       GClosureNotify destroyData = nullptr,
                                                       GConnectFlags flags = GConnectFlags(0)) {
        GstOwnedSignalHandler result;
        result.id_ = g_signal_connect_data(instance, signal, handler, data, destroyData, flags);
        if (result.id_ != 0)
            result.instance_ = GstOwned<GObject>::ref(G_OBJECT(instance));
        return result;
    }

    GObject* instance() const { return instance_.get(); }
    gulong id() const { return id_; }
    explicit operator bool() const { return id_ != 0; }

    // Disconnects now: once this returns, the handler is not called again.
    void reset() {
        if (const gulong id = std::exchange(id_, 0))
            g_signal_handler_disconnect(instance_.get(), id);
        instance_.reset();
    }

private:
    GstOwned<GObject> instance_;
    gulong id_ = 0;
};

} // namespace qeltv
