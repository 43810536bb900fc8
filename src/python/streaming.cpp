// PyStreamingEvent, PyStreamingConfig, PyStreamingSegmentUpdate,
// PyStreamingSegmentationEngine, PyReclusterConfig and PyReclusterEvent.
#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/streaming.hpp"
#include "python/bindings.hpp"
#include "python/drift.hpp"
#include "python/lowercase.hpp"
#include "python/transactions.hpp"
#include "python/toolkit/classdef.hpp"
#include "python/toolkit/format.hpp"
#include "python/toolkit/unlocked.hpp"

namespace segmora::py {

template <>
inline constexpr std::uint32_t enum_count<engine::EventType> = 4;
template <>
inline constexpr std::uint32_t enum_count<engine::TimeWindow> = 4;

namespace {

using engine::ReclusterConfig;
using engine::ReclusterEvent;
using engine::StreamingConfig;
using engine::StreamingEvent;
using engine::StreamingSegmentationEngine;
using engine::StreamingSegmentUpdate;
using Engine = StreamingSegmentationEngine;

// A dict of str keys to str values, in the dict's order.
struct MetadataArg {
    std::vector<std::pair<std::string, std::string>> entries;
};

}  // namespace

template <>
struct From<MetadataArg> {
    static MetadataArg convert(PyObject* obj, const char* arg) {
        MetadataArg out;
        convert_dict<std::string, std::string>(
            obj, arg, [&](std::string key, std::string value) { out.entries.emplace_back(std::move(key), std::move(value)); });
        return out;
    }
};

namespace {

// The lower-cased text of a str argument that has a default (`fallback` when omitted).
std::string lowered_or(Args& a, const char* name, const char* fallback) {
    if (!a.raw(name)) return fallback;
    (void)a.get<std::string>(name);  // type check in parameter order
    return lowered(a.raw(name), name);
}

// ---- PyStreamingEvent ----

// 9999-12-31T23:59:59Z: a later timestamp is an epoch in milliseconds or finer, read as seconds.
constexpr std::int64_t kLatestTimestamp = 253'402'300'799;

// Refuses what would corrupt every later result of an engine: a value that is
// not a finite number, a timestamp past the year 9999.
void check_event(const StreamingEvent& e) {
    if (!std::isfinite(e.value))
        raise_argument(PyExc_ValueError, "value", format("must be a finite number, got {}", e.value));
    if (e.timestamp > kLatestTimestamp)
        raise_argument(PyExc_ValueError, "timestamp",
                       format("must be whole seconds since the Unix epoch up to {} (9999-12-31T23:59:59Z), got {} "
                              "(milliseconds?)",
                              kLatestTimestamp, e.timestamp));
}

struct EventNew {
    static constexpr const char* signature =
        "PyStreamingEvent(customer_id, event_type, value, timestamp, metadata=None)";
    static constexpr Raises raises = Raises::ValueError;
    static StreamingEvent create(Args& a) {
        StreamingEvent event;
        event.customer_id = a.get<std::string>("customer_id");
        (void)a.get<std::string>("event_type");
        event.value = a.get<double>("value");
        event.timestamp = a.get<std::int64_t>("timestamp");
        event.metadata = a.get_or<MetadataArg>("metadata", MetadataArg{}).entries;
        const std::string type_text = lowered(a.raw("event_type"), "event_type");
        const auto type = engine::parse_event_type(type_text);
        if (!type)
            raise(PyExc_ValueError,
                  format("Unknown event type '{}'. Expected one of: purchase, engagement, pageview, custom", type_text));
        event.event_type = *type;
        check_event(event);
        return event;
    }
};

// ---- PyStreamingConfig ----

struct ConfigNew {
    static constexpr const char* signature =
        "PyStreamingConfig(batch_size=100, batch_timeout_ms=5000, window='hour', decay_factor=0.95)";
    static constexpr Raises raises = Raises::ValueError;
    static StreamingConfig create(Args& a) {
        StreamingConfig config;
        config.batch_size = a.get_given_or<std::uint64_t>("batch_size", config.batch_size);
        config.batch_timeout_ms = a.get_given_or<std::uint64_t>("batch_timeout_ms", config.batch_timeout_ms);
        const std::string window_text = lowered_or(a, "window", "hour");
        config.decay_factor = a.get_given_or<double>("decay_factor", config.decay_factor);
        const auto window = engine::parse_time_window(window_text);
        if (!window)
            raise(PyExc_ValueError, format("Unknown window '{}'. Expected one of: minute, hour, day, week", window_text));
        config.window = *window;
        return config;
    }
};

// ---- PyReclusterConfig ----

constexpr const char* kReclusterConfigDoc =
    "Configuration for drift-triggered re-clustering: how severe drift in the\n"
    "tracked population's RFM distribution must be (`min_severity`), how many\n"
    "customers must be tracked before drift is even evaluated\n"
    "(`min_customers`), and how many clusters to re-fit with\n"
    "(`n_clusters`) when it fires.";

struct ReclusterConfigNew {
    static constexpr const char* signature = "PyReclusterConfig(min_severity='high', min_customers=30, n_clusters=4)";
    static constexpr Raises raises = Raises::ValueError;
    static ReclusterConfig create(Args& a) {
        ReclusterConfig config;
        if (a.raw("min_severity")) (void)a.get<std::string>("min_severity");
        config.min_customers = a.get_given_or<std::uint64_t>("min_customers", config.min_customers);
        config.n_clusters = a.get_given_or<std::uint64_t>("n_clusters", config.n_clusters);
        if (PyObject* severity = a.raw("min_severity")) config.min_severity = parse_severity_argument(severity);
        return config;
    }
};

// ---- PyStreamingSegmentUpdate ----

std::optional<std::string> previous_of(const StreamingSegmentUpdate& u) {
    return u.previous_segment ? std::optional<std::string>(u.previous_segment->name()) : std::nullopt;
}
std::string new_segment_of(const StreamingSegmentUpdate& u) { return u.new_segment.name(); }

// ---- PyReclusterEvent ----

constexpr const char* kReclusterEventDoc =
    "Record of a completed drift-triggered re-cluster: which features\n"
    "drifted (and by how much), how many customers were re-fit, and into how\n"
    "many clusters.";

Ref drift_list(const std::vector<engine::FeatureDrift>& drifts) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(drifts.size())));
    for (std::size_t i = 0; i < drifts.size(); ++i)
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), feature_drift_to_py(drifts[i]).release());
    return list;
}

Ref drifts_of(const ReclusterEvent& e) { return drift_list(e.drifts); }

Ref recluster_event_to_py(ReclusterEvent event) { return wrap_as(recluster_event_type(), std::move(event)); }

// ---- PyStreamingSegmentationEngine ----

constexpr const char* kEngineDoc =
    "Stateful real-time segmentation engine: feed it events one at a time (or\n"
    "in batches) and it maintains an incrementally-updated RFM-like state and\n"
    "segment assignment per customer, without requiring a full batch refit.\n"
    "\n"
    "`process_batch` is also the drift-triggered re-clustering checkpoint:\n"
    "once enough customers are tracked, the first batch arms a drift\n"
    "baseline, and every batch after that checks the current RFM\n"
    "distribution against it via `DriftDetector`. If drift crosses\n"
    "`recluster_config`'s threshold, a real k-means re-fit runs over every\n"
    "tracked customer's (recency, frequency, monetary) vector and segment\n"
    "assignments are overwritten with the fresh cluster labels.";

struct EngineNew {
    static constexpr const char* signature = "PyStreamingSegmentationEngine(config, recluster_config=None)";
    static constexpr Raises raises = Raises::ValueError;
    static Engine create(Args& a) {
        const StreamingConfig config = *a.get<Borrowed<StreamingConfig>>("config");
        const auto recluster = a.get_or<std::optional<Borrowed<ReclusterConfig>>>("recluster_config", std::nullopt);
        return Engine(config, recluster ? **recluster : ReclusterConfig{});
    }
};

// What a snapshot, drift check or re-fit reads: three values per tracked customer.
std::size_t tracked_values(const Engine& engine) { return engine.customer_count() * 3; }

Ref update_to_py(StreamingSegmentUpdate update) { return wrap_as(streaming_segment_update_type(), std::move(update)); }

// A copy of one PyStreamingEvent item, read under a shared borrow.
StreamingEvent copy_event(PyObject* item, const char* arg) {
    if (!PyObject_TypeCheck(item, class_type<StreamingEvent>))
        raise_argument(PyExc_TypeError, arg,
                       format("'{}' object cannot be converted to 'PyStreamingEvent'", type_name(item)));
    auto* inst = instance_of<StreamingEvent>(item);
    BorrowGuard guard(inst->borrow, Access::Shared);
    return inst->value;
}

struct ProcessEvent {
    static constexpr const char* signature = "process_event($self, event)";
    static constexpr const char* doc =
        "Apply one event to its customer and relabel the customer by the score rule.\n"
        "\n"
        "The customer's running state gains the event (frequency + 1, monetary + value; the\n"
        "latest event is the one with the greatest timestamp) and its recency is the whole\n"
        "days from that event to now. The score ((100 - min(recency, 100)) + min(frequency,\n"
        "100) + min(monetary / 1000, 100)) / 3 names the segment: \"Champions\" from 80,\n"
        "\"Loyal Customers\" from 60, \"Potential Loyalists\" from 40, \"At Risk\" from 20, else\n"
        "\"Lost\". Returns the PyStreamingSegmentUpdate; event must be a PyStreamingEvent\n"
        "(TypeError otherwise).\n"
        "\n"
        ">>> import time\n"
        ">>> engine = PyStreamingSegmentationEngine(PyStreamingConfig())\n"
        ">>> update = engine.process_event(PyStreamingEvent(\"c1\", \"purchase\", 50.0, int(time.time())))\n"
        ">>> update.previous_segment, update.new_segment, update.segment_changed\n"
        "(None, 'At Risk', True)";
    static constexpr Raises raises = Raises::RuntimeError;
    static constexpr Access access = Access::Exclusive;
    static Ref call(Engine& self, Args& a) {
        StreamingEvent event = copy_event(a.raw("event"), "event");
        return update_to_py(self.process_event(std::move(event)));
    }
};

struct ProcessBatch {
    static constexpr const char* signature = "process_batch($self, events)";
    static constexpr const char* doc =
        "Apply a batch of events in order, then run the drift checkpoint.\n"
        "\n"
        "events: a sequence of PyStreamingEvent; every item is copied before the first is\n"
        "applied, so a bad item (TypeError naming its index) changes nothing. The\n"
        "checkpoint flushes the buffer, arms the drift baseline once enough customers are\n"
        "tracked, and later re-fits k-means over every customer when drift crosses the\n"
        "re-cluster threshold (see the class). Returns the updates in event order; a\n"
        "RuntimeError of the re-fit discards them, the events staying applied.\n"
        "\n"
        ">>> import time\n"
        ">>> now = int(time.time())\n"
        ">>> engine = PyStreamingSegmentationEngine(PyStreamingConfig())\n"
        ">>> updates = engine.process_batch([PyStreamingEvent(c, \"purchase\", 10.0, now) for c in \"abca\"])\n"
        ">>> [u.customer_id for u in updates], engine.customer_count()\n"
        "(['a', 'b', 'c', 'a'], 3)";
    static constexpr Raises raises = Raises::RuntimeError;
    static constexpr Access access = Access::Exclusive;
    static Ref call(Engine& self, Args& a) {
        std::vector<StreamingEvent> events;
        {
            // Every item is copied before the first is processed: a bad item changes nothing.
            SequenceItems items(a.raw("events"), "events");
            events.reserve(items.size());
            for (std::size_t i = 0; i < items.size(); ++i)
                events.push_back(at_position("events", "item", i, [&] { return copy_event(items[i], "events"); }));
        }
        // The engine stays exclusively borrowed while the lock is away: another
        // thread's call on it is refused, never run against a half-done batch.
        std::vector<StreamingSegmentUpdate> updates;
        unlocked(events.size() + tracked_values(self), [&] {
            updates = self.process_events(std::move(events));
            self.checkpoint();  // its error discards the updates; the events stay applied
        });
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(updates.size())));
        for (std::size_t i = 0; i < updates.size(); ++i)
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), update_to_py(std::move(updates[i])).release());
        return list;
    }
};

struct GetSegment {
    static constexpr const char* signature = "get_segment($self, customer_id)";
    static constexpr const char* doc =
        "The customer's current segment name, or None for a customer never seen.";
    static constexpr Raises raises = Raises::RuntimeError;
    static constexpr Access access = Access::Shared;
    static Ref call(const Engine& self, Args& a) {
        const engine::Segment* segment = self.segment_of(a.get<std::string>("customer_id"));
        return segment ? to_py(segment->name()) : none();
    }
};

void set_item(PyObject* dict, const Ref& key, const Ref& value) {
    if (PyDict_SetItem(dict, key.get(), value.get()) < 0) throw PyErrorAlreadySet{};
}

struct GetAllSegments {
    static constexpr const char* signature = "get_all_segments($self)";
    static constexpr const char* doc =
        "A new dict of every tracked customer's id to its segment name.";
    static constexpr Raises raises = Raises::RuntimeError;
    static constexpr Access access = Access::Shared;
    static Ref call(const Engine& self, Args&) {
        Ref dict = Ref::steal(PyDict_New());
        for (const engine::TrackedCustomer& c : self.customers())
            set_item(dict.get(), to_py(c.state.customer_id), to_py(c.segment.name()));
        return dict;
    }
};

struct CustomerCount {
    static constexpr const char* signature = "customer_count($self)";
    static constexpr const char* doc =
        "The number of customers tracked (every customer with an event).";
    static constexpr Raises raises = Raises::RuntimeError;
    static constexpr Access access = Access::Shared;
    static Ref call(const Engine& self, Args&) { return to_py(self.customer_count()); }
};

struct BufferSize {
    static constexpr const char* signature = "buffer_size($self)";
    static constexpr const char* doc =
        "The number of events in the buffer: the events since the last flush (the buffer\n"
        "is flushed when it reaches batch_size and at every batch checkpoint).";
    static constexpr Raises raises = Raises::RuntimeError;
    static constexpr Access access = Access::Shared;
    static Ref call(const Engine& self, Args&) { return to_py(self.buffer_size()); }
};

struct SegmentDistribution {
    static constexpr const char* signature = "segment_distribution($self)";
    static constexpr const char* doc =
        "A new dict of segment name to the number of customers in it (only segments with\n"
        "customers appear).\n"
        "\n"
        ">>> import time\n"
        ">>> engine = PyStreamingSegmentationEngine(PyStreamingConfig())\n"
        ">>> _ = engine.process_batch([PyStreamingEvent(c, \"purchase\", 10.0, int(time.time())) for c in \"ab\"])\n"
        ">>> engine.segment_distribution()\n"
        "{'At Risk': 2}";
    static constexpr Raises raises = Raises::RuntimeError;
    static constexpr Access access = Access::Shared;
    static Ref call(const Engine& self, Args&) {
        Ref dict = Ref::steal(PyDict_New());
        for (const auto& [segment, count] : self.segment_distribution())
            set_item(dict.get(), to_py(segment.name()), to_py(count));
        return dict;
    }
};

struct Relabel {
    static constexpr const char* signature = "relabel($self, as_of=None)";
    static constexpr const char* doc =
        "Re-label every tracked customer by the score rule against the instant `as_of`\n"
        "(default: now; a datetime, date, datetime64, int epoch seconds or RFC 3339 str):\n"
        "each customer's recency becomes the whole days from its latest event to `as_of`,\n"
        "so labels age between batches without events. Labels of a re-fit (\"cluster_{}\")\n"
        "are replaced too. Returns how many labels changed. An unreadable as_of is a\n"
        "TypeError or ValueError naming it.\n"
        "\n"
        ">>> engine = PyStreamingSegmentationEngine(PyStreamingConfig())\n"
        ">>> _ = engine.process_event(PyStreamingEvent(\"c1\", \"purchase\", 50.0, 1717200000))\n"
        ">>> engine.relabel(as_of=\"2024-06-01T00:00:00Z\"), engine.get_segment(\"c1\")\n"
        "(1, 'At Risk')";
    static constexpr Raises raises = Raises::RuntimeError;
    static constexpr Access access = Access::Exclusive;
    static Ref call(Engine& self, Args& a) {
        const engine::Instant as_of = read_instant(a.raw("as_of"), "as_of");
        return to_py(unlocked(tracked_values(self), [&] { return self.relabel(as_of.seconds); }));
    }
};

struct CustomerStates {
    static constexpr const char* signature = "customer_states($self, as_of=None)";
    static constexpr const char* doc =
        "The running state of every tracked customer, in order of first event, as a dict of\n"
        "equal-length columns ready for pandas.DataFrame: customer_id, recency_days (whole days\n"
        "from the latest event to `as_of`; default now), frequency (events), monetary (summed\n"
        "values), last_event_timestamp (the greatest event timestamp, epoch seconds) and segment\n"
        "(the current label). Numbers are NumPy arrays when NumPy is loaded, else array.array.\n"
        "as_of takes what relabel takes.\n"
        "\n"
        ">>> engine = PyStreamingSegmentationEngine(PyStreamingConfig())\n"
        ">>> _ = engine.process_event(PyStreamingEvent(\"c1\", \"purchase\", 50.0, 1717200000))\n"
        ">>> states = engine.customer_states(as_of=\"2024-06-11T00:00:00Z\")\n"
        ">>> states[\"customer_id\"], states[\"recency_days\"].tolist(), states[\"monetary\"].tolist()\n"
        "(['c1'], [10], [50.0])";
    static constexpr Raises raises = Raises::RuntimeError;
    static constexpr Access access = Access::Shared;
    static Ref call(const Engine& self, Args& a) {
        const std::int64_t now = read_instant(a.raw("as_of"), "as_of").seconds;
        const auto& customers = self.customers();
        const std::size_t n = customers.size();
        std::vector<std::int64_t> recency(n), frequency(n), last(n);
        std::vector<double> monetary(n);
        Ref ids = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
        Ref segments = Ref::steal(PyList_New(static_cast<Py_ssize_t>(n)));
        for (std::size_t i = 0; i < n; ++i) {
            const engine::StreamingRFMState& s = customers[i].state;
            recency[i] = engine::days_between(now, s.last_event_timestamp);
            frequency[i] = static_cast<std::int64_t>(s.frequency);
            monetary[i] = s.monetary;
            last[i] = s.last_event_timestamp;
            PyList_SetItem(ids.get(), static_cast<Py_ssize_t>(i), to_py(s.customer_id).release());
            PyList_SetItem(segments.get(), static_cast<Py_ssize_t>(i), to_py(customers[i].segment.name()).release());
        }
        const OutputColumns columns;
        const ColumnDict out;
        out.put("customer_id", std::move(ids));
        out.put("recency_days", columns.int64s(recency));
        out.put("frequency", columns.int64s(frequency));
        out.put("monetary", columns.floats(monetary));
        out.put("last_event_timestamp", columns.int64s(last));
        out.put("segment", std::move(segments));
        return out.dict();
    }
};

struct SetReclusterBaseline {
    static constexpr const char* signature = "set_recluster_baseline($self)";
    static constexpr const char* doc =
        "(Re-)arm drift detection against the current RFM distribution,\n"
        "without performing a re-cluster.";
    static constexpr Raises raises = Raises::RuntimeError;
    static constexpr Access access = Access::Exclusive;
    static Ref call(Engine& self, Args&) {
        unlocked(tracked_values(self), [&] { self.set_recluster_baseline(); });
        return none();
    }
};

struct CheckDrift {
    static constexpr const char* signature = "check_drift($self)";
    static constexpr const char* doc =
        "Compare the current RFM distribution against the last-captured\n"
        "baseline. Returns `None` if no baseline is armed yet or there\n"
        "aren't enough tracked customers for the comparison to be\n"
        "meaningful.";
    static constexpr Raises raises = Raises::RuntimeError;
    static constexpr Access access = Access::Shared;
    static Ref call(const Engine& self, Args&) {
        const auto drifts = unlocked(tracked_values(self), [&] { return self.check_drift(); });
        return drifts ? drift_list(*drifts) : none();
    }
};

struct MaybeRecluster {
    static constexpr const char* signature = "maybe_recluster($self)";
    static constexpr const char* doc =
        "Check for drift and, if it crosses the configured threshold, re-fit\n"
        "real k-means clusters over every tracked customer and overwrite\n"
        "their segment assignments. Returns `None` if nothing was triggered.";
    static constexpr Raises raises = Raises::RuntimeError;
    static constexpr Access access = Access::Exclusive;
    static Ref call(Engine& self, Args&) {
        auto event = unlocked(tracked_values(self), [&] { return self.maybe_recluster(); });
        return event ? recluster_event_to_py(std::move(*event)) : none();
    }
};

struct ReclusterHistory {
    static constexpr const char* signature = "recluster_history($self)";
    static constexpr const char* doc = "History of drift-triggered re-clusters this engine has performed.";
    static constexpr Raises raises = Raises::RuntimeError;
    static constexpr Access access = Access::Shared;
    static Ref call(const Engine& self, Args&) {
        const auto& history = self.history();
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(history.size())));
        for (std::size_t i = 0; i < history.size(); ++i)
            PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), recluster_event_to_py(history[i]).release());
        return list;
    }
};

// ---- pickling ----

using engine::Segment;
using engine::TrackedCustomer;

struct EventState {
    static constexpr std::uint32_t version = 1;
    static Ref save(const StreamingEvent& e) {
        return py::make_tuple(e.customer_id, e.metadata, e.value, e.timestamp, static_cast<std::uint32_t>(e.event_type));
    }
    static StreamingEvent load(PyObject* state) {
        StateReader r(state, 5);
        StreamingEvent e;
        e.customer_id = r.next<std::string>();
        e.metadata = r.next<std::vector<std::pair<std::string, std::string>>>();
        std::vector<std::string_view> keys;  // sorted, not hashed: the keys come from the state
        for (const auto& entry : e.metadata) keys.push_back(entry.first);
        std::sort(keys.begin(), keys.end());
        if (std::adjacent_find(keys.begin(), keys.end()) != keys.end()) throw StateError{"item 1 repeats a key"};
        e.value = r.next<double>();
        e.timestamp = r.next<std::int64_t>();
        e.event_type = r.next_enum<engine::EventType>(enum_count<engine::EventType>);
        if (!std::isfinite(e.value) || e.timestamp > kLatestTimestamp)
            throw StateError{"an event value must be finite and its timestamp at most 9999-12-31T23:59:59Z"};
        return e;
    }
};

using ConfigState = FieldsState<StreamingConfig, &StreamingConfig::batch_size, &StreamingConfig::batch_timeout_ms,
                                &StreamingConfig::decay_factor, &StreamingConfig::window>;
using ReclusterConfigState = FieldsState<ReclusterConfig, &ReclusterConfig::min_customers,
                                         &ReclusterConfig::n_clusters, &ReclusterConfig::min_severity>;

// A label as (is_cluster, id); a score-rule id must name one of the rules.
struct SegmentState {
    static Ref save(const Segment& s) { return py::make_tuple(s.is_cluster, s.id); }
    static Segment load(PyObject* state) {
        StateReader r(state, 2);
        Segment s;
        s.is_cluster = r.next<bool>();
        s.id = r.next<std::uint64_t>();
        if (!s.is_cluster && s.id >= Segment::kRuleCount) throw StateError{format("unknown segment rule {}", s.id)};
        return s;
    }
};

// segment_changed is not kept: it follows from the two labels.
struct UpdateState {
    static constexpr std::uint32_t version = 1;
    static Ref save(const StreamingSegmentUpdate& u) {
        return py::make_tuple(u.customer_id, u.previous_segment ? SegmentState::save(*u.previous_segment) : none(),
                              SegmentState::save(u.new_segment), u.confidence, u.timestamp);
    }
    static StreamingSegmentUpdate load(PyObject* state) {
        StateReader r(state, 5);
        StreamingSegmentUpdate u;
        u.customer_id = r.next<std::string>();
        if (PyObject* previous = r.next_object(); previous != Py_None) u.previous_segment = SegmentState::load(previous);
        u.new_segment = SegmentState::load(r.next_object());
        u.segment_changed = !u.previous_segment || *u.previous_segment != u.new_segment;
        u.confidence = r.next<double>();
        u.timestamp = r.next<std::int64_t>();
        return u;
    }
};

struct ReclusterEventState {
    static constexpr std::uint32_t version = 1;
    static Ref save(const ReclusterEvent& e) {
        return py::make_tuple(save_all<FeatureDriftState>(e.drifts), e.timestamp, e.customers_reclustered, e.n_clusters);
    }
    static ReclusterEvent load(PyObject* state) {
        StateReader r(state, 4);
        ReclusterEvent e;
        e.drifts = load_all<FeatureDriftState>(r.next_object(), 0);
        e.timestamp = r.next<std::int64_t>();
        e.customers_reclustered = r.next<std::uint64_t>();
        e.n_clusters = r.next<std::uint64_t>();
        return e;
    }
};

struct CustomerState {
    static Ref save(const TrackedCustomer& c) {
        const engine::StreamingRFMState& s = c.state;
        return py::make_tuple(s.customer_id, s.recency_days, s.frequency, s.monetary, s.last_event_timestamp,
                              s.event_count, s.total_value, SegmentState::save(c.segment));
    }
    static TrackedCustomer load(PyObject* state) {
        StateReader r(state, 8);
        TrackedCustomer c;
        engine::StreamingRFMState& s = c.state;
        s.customer_id = r.next<std::string>();
        s.recency_days = r.next<std::int64_t>();
        s.frequency = r.next<std::uint64_t>();
        s.monetary = r.next<double>();
        s.last_event_timestamp = r.next<std::int64_t>();
        s.event_count = r.next<std::uint64_t>();
        s.total_value = r.next<double>();
        c.segment = SegmentState::load(r.next_object());
        // The counts grow by one per event and the sums add the same values,
        // so an engine never holds a count at its maximum (the next event
        // would wrap it to 0) or counts and sums that disagree.
        constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
        if (s.frequency == kMax || s.event_count == kMax)
            throw StateError{format("customer '{}' has a count that cannot grow", s.customer_id)};
        if (s.frequency != s.event_count)
            throw StateError{format("customer '{}' has frequency {} but event_count {}", s.customer_id, s.frequency, s.event_count)};
        if (std::bit_cast<std::uint64_t>(s.monetary) != std::bit_cast<std::uint64_t>(s.total_value) &&
            !(std::isnan(s.monetary) && std::isnan(s.total_value)))
            throw StateError{format("customer '{}' has monetary {} but total_value {}", s.customer_id, s.monetary, s.total_value)};
        return c;
    }
};

// The whole engine: configurations, buffered events, customers in tracking
// order with their labels, the drift baseline and the re-cluster history. The
// customer index is rebuilt from the customers.
struct EngineState {
    static constexpr std::uint32_t version = 1;
    static Ref save(const Engine& engine) {
        const engine::StreamingEngineState s = engine.state();
        const Ref baseline =
            s.baseline ? py::make_tuple(s.baseline->recency, s.baseline->frequency, s.baseline->monetary) : none();
        return py::make_tuple(ConfigState::save(s.config), ReclusterConfigState::save(s.recluster_config),
                              save_all<EventState>(s.buffer.events), s.buffer.created_at,
                              save_all<CustomerState>(s.customers), baseline,
                              save_all<ReclusterEventState>(s.history));
    }
    static Engine load(PyObject* state) {
        StateReader r(state, 7);
        engine::StreamingEngineState s;
        s.config = ConfigState::load(r.next_object());
        s.recluster_config = ReclusterConfigState::load(r.next_object());
        s.buffer.events = load_all<EventState>(r.next_object(), 2);
        s.buffer.max_size = s.config.batch_size;
        s.buffer.created_at = r.next<std::int64_t>();
        s.customers = load_all<CustomerState>(r.next_object(), 4);
        if (PyObject* baseline = r.next_object(); baseline != Py_None) {
            StateReader b(baseline, 3);
            s.baseline = engine::RfmSnapshot{b.next<std::vector<double>>(), b.next<std::vector<double>>(),
                                             b.next<std::vector<double>>()};
        }
        s.history = load_all<ReclusterEventState>(r.next_object(), 6);
        try {
            return Engine::restore(std::move(s));
        } catch (const SegmoraError& e) {
            throw StateError{e.message()};
        }
    }
};

}  // namespace

constexpr const char* kStreamingEventDoc =
    "One customer event for the streaming engine.\n"
    "\n"
    "customer_id: str; event_type: \"purchase\", \"engagement\", \"pageview\" (or \"page_view\")\n"
    "or \"custom\", any case; value: a number; timestamp: whole seconds since the Unix epoch\n"
    "(an int, NumPy integers too; at most 9999-12-31T23:59:59Z); metadata: None or a\n"
    "dict of str to str. A wrong type is a TypeError naming the argument; an unknown\n"
    "event type or a timestamp beyond the range a ValueError. The event type and\n"
    "metadata are kept with the event but not read back.\n"
    "\n"
    ">>> event = PyStreamingEvent(\"c1\", \"Purchase\", 25.0, 1717200000, {\"channel\": \"web\"})\n"
    ">>> event.customer_id, event.value, event.timestamp\n"
    "('c1', 25.0, 1717200000)";

PyTypeObject* streaming_event_type() {
    return type_once<StreamingEvent>([] {
        return ClassDef<StreamingEvent>("PyStreamingEvent", kStreamingEventDoc)
            .constructor<EventNew>()
            .property<&StreamingEvent::customer_id>("customer_id", "The customer the event belongs to.")
            .property<&StreamingEvent::value>(
                "value", "The amount the event carries (purchase amount, engagement weight, ...).")
            .property<&StreamingEvent::timestamp>("timestamp", "Event time, whole seconds since the Unix epoch.")
            .pickle<EventState>()
            .build();
    });
}

constexpr const char* kStreamingConfigDoc =
    "Settings of a streaming engine.\n"
    "\n"
    "batch_size: the buffer's capacity (the buffer is flushed when it is reached);\n"
    "batch_timeout_ms, window (\"minute\", \"hour\", \"day\" or \"week\", any case) and\n"
    "decay_factor are kept with the configuration. Integers out of range raise\n"
    "OverflowError, an unknown window ValueError.\n"
    "\n"
    ">>> engine = PyStreamingSegmentationEngine(PyStreamingConfig(batch_size=500, window=\"DAY\"))";

PyTypeObject* streaming_config_type() {
    return type_once<StreamingConfig>([] {
        return ClassDef<StreamingConfig>("PyStreamingConfig", kStreamingConfigDoc).constructor<ConfigNew>().pickle<ConfigState>().build();
    });
}

constexpr const char* kStreamingSegmentUpdateDoc =
    "What one event did to its customer's segment: the previous and new segment,\n"
    "whether it changed, the confidence and the processing time. Made by process_event\n"
    "and process_batch; the attributes are read-only.";

PyTypeObject* streaming_segment_update_type() {
    using U = StreamingSegmentUpdate;
    return type_once<U>([] {
        return ClassDef<U>("PyStreamingSegmentUpdate", kStreamingSegmentUpdateDoc)
            .property<&U::customer_id>("customer_id", "The event's customer.")
            .property<&previous_of>(
                "previous_segment", "The segment before the event; None for a customer seen for the first time.")
            .property<&new_segment_of>("new_segment", "The segment after the event.")
            .property<&U::segment_changed>(
                "segment_changed",
                "Whether the segment changed (False exactly when previous_segment equals new_segment).")
            .property<&U::confidence>("confidence", "Confidence of the label: 0.85.")
            .property<&U::timestamp>("timestamp", "Processing time, whole seconds since the Unix epoch.")
            .pickle<UpdateState>()
            .build();
    });
}

PyTypeObject* streaming_engine_type() {
    return type_once<Engine>([] {
        return ClassDef<Engine>("PyStreamingSegmentationEngine", kEngineDoc)
            .constructor<EngineNew>()
            .method<ProcessEvent>()
            .method<ProcessBatch>()
            .method<GetSegment>()
            .method<GetAllSegments>()
            .method<CustomerCount>()
            .method<BufferSize>()
            .method<SegmentDistribution>()
            .method<CheckDrift>()
            .method<MaybeRecluster>()
            .method<ReclusterHistory>()
            .method<SetReclusterBaseline>()
            .method<Relabel>()
            .method<CustomerStates>()
            .pickle<EngineState>()
            .build();
    });
}

PyTypeObject* recluster_config_type() {
    return type_once<ReclusterConfig>([] {
        return ClassDef<ReclusterConfig>("PyReclusterConfig", kReclusterConfigDoc)
            .constructor<ReclusterConfigNew>()
            .pickle<ReclusterConfigState>()
            .build();
    });
}

PyTypeObject* recluster_event_type() {
    return type_once<ReclusterEvent>([] {
        return ClassDef<ReclusterEvent>("PyReclusterEvent", kReclusterEventDoc)
            .property<&ReclusterEvent::timestamp>(
                "timestamp", "When the re-fit ran, whole seconds since the Unix epoch.")
            .property<&drifts_of>(
                "drifts", "The drift of recency, frequency and monetary value that set it off (PyFeatureDrift each).")
            .property<&ReclusterEvent::customers_reclustered>(
                "customers_reclustered", "Customers re-labelled by the re-fit.")
            .property<&ReclusterEvent::n_clusters>(
                "n_clusters", "Clusters of the re-fit (labels \"cluster_0\" onwards).")
            .pickle<ReclusterEventState>()
            .build();
    });
}

}  // namespace segmora::py
