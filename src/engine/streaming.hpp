// Streaming segmentation: per-customer running RFM state fed one event at a
// time, a fixed score rule that labels the customer after every event, and
// drift-triggered re-clustering of every tracked customer with k-means.
//
// Customers are kept in first-appearance order (a keyed-hash index over a
// vector), so snapshots, re-fit matrices, label assignments and every listing
// repeat exactly across runs and processes. A customer's latest event is the
// one with the greatest timestamp, whatever the order events arrive in, and
// recency is counted from it: against the processing time when an event is
// applied, against the caller's clock when the checkpoint snapshots or re-fits
// the customers, and against a given instant by relabel, which lets labels age
// between batches without events. An engine never refuses an event:
// its buffer keeps copies of the events since the last flush and is flushed when
// it reaches batch_size and at every batch checkpoint. process_event never
// throws; check_drift and maybe_recluster throw only the k-means errors
// (SegmoraError), and leave the engine as it was when they do. Times are whole
// seconds since the Unix epoch from the system clock.
// Interrupts: applying events is one linear pass and is never stopped midway;
// the re-fit polls (through k-means) and, when stopped, unwinds as Interrupted
// before any label, baseline or history entry changes. A batch interrupted
// there keeps its events applied and its buffer flushed, exactly as when the
// re-fit fails, and nothing of the re-fit.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/drift_detection.hpp"
#include "engine/keyed_hash.hpp"

namespace segmora::engine {

enum class EventType : std::uint8_t { Purchase = 0, Engagement = 1, Pageview = 2, Custom = 3 };
// "purchase", "engagement", "pageview"/"page_view", "custom" exactly (the caller lower-cases).
std::optional<EventType> parse_event_type(std::string_view text) noexcept;

enum class TimeWindow : std::uint8_t { Minute = 0, Hour = 1, Day = 2, Week = 3 };
// "minute", "hour", "day", "week" exactly (the caller lower-cases).
std::optional<TimeWindow> parse_time_window(std::string_view text) noexcept;

struct StreamingEvent {
    std::string customer_id;
    std::vector<std::pair<std::string, std::string>> metadata;  // annotations, keys unique, caller's order
    double value = 0.0;
    std::int64_t timestamp = 0;
    EventType event_type = EventType::Purchase;
};

struct StreamingConfig {
    std::uint64_t batch_size = 100;        // buffer capacity; the buffer is flushed when it is reached
    std::uint64_t batch_timeout_ms = 5000; // kept with the configuration; no operation reads it
    double decay_factor = 0.95;            // kept with the configuration; no operation reads it
    TimeWindow window = TimeWindow::Hour;  // kept with the configuration; no operation reads it
};

struct ReclusterConfig {
    std::uint64_t min_customers = 30;  // tracked customers needed to arm a baseline or check drift
    std::uint64_t n_clusters = 4;      // clusters to re-fit with (at most the customer count)
    DriftSeverity min_severity = DriftSeverity::High;  // lowest severity that triggers a re-fit
};

// Copies of the events processed since the last flush.
struct StreamingBuffer {
    std::vector<StreamingEvent> events;
    std::uint64_t max_size = 0;
    std::int64_t created_at = 0;  // creation or last flush

    // Keeps `event`; flushes once max_size events are held.
    void push(StreamingEvent event);
    void flush();
};

struct StreamingRFMState {
    std::string customer_id;
    std::int64_t recency_days = 0;  // (last labelling time - latest event's timestamp) / 86400, toward zero
    std::uint64_t frequency = 0;
    double monetary = 0.0;
    std::int64_t last_event_timestamp = 0;  // the greatest event timestamp seen
    std::uint64_t event_count = 0;
    double total_value = 0.0;
};

// A segment label: one of the five score-rule names or a k-means cluster.
struct Segment {
    enum class Rule : std::uint8_t { Champions, LoyalCustomers, PotentialLoyalists, AtRisk, Lost };
    static constexpr std::uint64_t kRuleCount = 5;
    bool is_cluster = false;
    std::uint64_t id = 0;  // a Rule, or the cluster label

    static Segment rule(Rule r) noexcept { return {false, static_cast<std::uint64_t>(r)}; }
    static Segment cluster(std::uint64_t label) noexcept { return {true, label}; }
    // "Champions", "Loyal Customers", "Potential Loyalists", "At Risk", "Lost", or "cluster_{label}".
    std::string name() const;
    friend bool operator==(const Segment&, const Segment&) = default;
};

// The score-rule label of a running state: score = ((100 - min(recency, 100)) +
// min(frequency, 100) + min(monetary / 1000, 100)) / 3, NaN-ignoring mins, then
// >= 80, 60, 40, 20 for the first four names, else "Lost".
Segment score_segment(const StreamingRFMState& state) noexcept;

struct StreamingSegmentUpdate {
    std::string customer_id;
    std::optional<Segment> previous_segment;  // none for a first-seen customer
    Segment new_segment;
    bool segment_changed = false;  // previous differs from new
    double confidence = 0.85;
    std::int64_t timestamp = 0;    // processing time
};

// A tracked customer: running state and current label.
struct TrackedCustomer {
    StreamingRFMState state;
    Segment segment;
};

// Whole days from `timestamp` to `now`, toward zero, for any two timestamps.
std::int64_t days_between(std::int64_t now, std::int64_t timestamp) noexcept;

// Recency, frequency and monetary of every tracked customer, in tracking order;
// recency in whole days from each one's latest event to `now`.
struct RfmSnapshot {
    std::vector<double> recency;
    std::vector<double> frequency;
    std::vector<double> monetary;

    static RfmSnapshot capture(const std::vector<TrackedCustomer>& customers, std::int64_t now);
};

struct ReclusterEvent {
    std::vector<FeatureDrift> drifts;  // recency, frequency, monetary
    std::int64_t timestamp = 0;        // when the re-fit finished
    std::uint64_t customers_reclustered = 0;
    std::uint64_t n_clusters = 0;      // clusters actually fitted
};

// Positions of customer records by id: open addressing over (keyed hash,
// position) slots with linear probing, kept at most half full, so a lookup
// touches one slot and then the record itself. Ids are hashed with the
// process's keyed SipHash; nothing depends on the slot order.
class CustomerIndex {
public:
    // The position of `key` (whose record id is read through `id_at`), or none.
    template <class IdAt>
    std::optional<std::size_t> find(std::string_view key, IdAt id_at) const {
        if (slots_.empty()) return std::nullopt;
        const std::uint64_t h = KeyedStringHash{}(key);
        for (std::size_t i = h & mask();; i = (i + 1) & mask()) {
            const Slot& slot = slots_[i];
            if (slot.position == 0) return std::nullopt;
            if (slot.hash == h && id_at(slot.position - 1) == key) return slot.position - 1;
        }
    }
    static std::uint64_t hash_of(std::string_view key) noexcept { return KeyedStringHash{}(key); }
    // Asks the processor to fetch the first slot `hash` probes (a hint only).
    void prefetch(std::uint64_t hash) const noexcept {
        if (!slots_.empty()) __builtin_prefetch(&slots_[hash & mask()]);
    }
    // The position in the first slot `hash` probes, if it holds that hash (a hint only: the key is not compared).
    std::optional<std::size_t> peek(std::uint64_t hash) const noexcept {
        if (slots_.empty()) return std::nullopt;
        const Slot& slot = slots_[hash & mask()];
        if (slot.position == 0 || slot.hash != hash) return std::nullopt;
        return slot.position - 1;
    }
    // The position of `key` (whose hash_of is `h`), or `next` recorded for it
    // (second: whether it was added).
    template <class IdAt>
    std::pair<std::size_t, bool> find_or_add(std::string_view key, std::uint64_t h, std::size_t next, IdAt id_at) {
        if (2 * (size_ + 1) > slots_.size()) grow();
        for (std::size_t i = h & mask();; i = (i + 1) & mask()) {
            Slot& slot = slots_[i];
            if (slot.position == 0) {
                slot = {h, next + 1};
                ++size_;
                return {next, true};
            }
            if (slot.hash == h && id_at(slot.position - 1) == key) return {slot.position - 1, false};
        }
    }

private:
    struct Slot {
        std::uint64_t hash = 0;
        std::uint64_t position = 0;  // record position + 1; 0 marks an empty slot
    };
    std::size_t mask() const noexcept { return slots_.size() - 1; }
    void grow();

    std::vector<Slot> slots_;  // a power of two in size
    std::size_t size_ = 0;
};

// Everything an engine holds (the customer index aside, which is rebuilt from
// the customers), for saving an engine and restoring it.
struct StreamingEngineState {
    StreamingConfig config;
    ReclusterConfig recluster_config;
    StreamingBuffer buffer;
    std::vector<TrackedCustomer> customers;  // in first-appearance order
    std::optional<RfmSnapshot> baseline;
    std::vector<ReclusterEvent> history;
};

class StreamingSegmentationEngine {
public:
    StreamingSegmentationEngine(StreamingConfig config, ReclusterConfig recluster_config);

    // Updates the customer's running state and label. Never refuses an event.
    StreamingSegmentUpdate process_event(StreamingEvent event);
    // process_event on each event in order (the next customers' records are
    // fetched ahead while one is processed; the results are the same).
    std::vector<StreamingSegmentUpdate> process_events(std::vector<StreamingEvent> events);
    // The end of a batch: flushes the buffer, then arms the baseline (first time
    // min_customers are tracked) or runs maybe_recluster. Throws its errors.
    void checkpoint();

    // Three drifts (recency and frequency by KS, monetary by Hellinger) of the
    // current states, recency counted to now, against the baseline; none without
    // a baseline or with fewer than min_customers tracked.
    std::optional<std::vector<FeatureDrift>> check_drift() const;
    // A k-means re-fit of every customer (raw recency to now, frequency,
    // monetary; seed 42, 300 iterations) when a drift reaches min_severity:
    // assignments become "cluster_{}", the baseline is re-armed and the event
    // is recorded. Throws the k-means error, changing nothing.
    std::optional<ReclusterEvent> maybe_recluster();
    void set_recluster_baseline();
    // Sets every customer's recency to whole days from its latest event to
    // `now` and labels it by the score rule (a re-fit's cluster label too);
    // returns how many labels changed.
    std::uint64_t relabel(std::int64_t now);

    // The customer's label, if the customer was ever processed.
    const Segment* segment_of(std::string_view customer_id) const;
    // Every tracked customer, in first-appearance order.
    const std::vector<TrackedCustomer>& customers() const noexcept { return customers_; }
    // (label, customers) for every label in use, in order of first appearance along the customers.
    std::vector<std::pair<Segment, std::uint64_t>> segment_distribution() const;
    std::size_t customer_count() const noexcept { return customers_.size(); }
    std::size_t buffer_size() const noexcept { return buffer_.events.size(); }
    const std::vector<ReclusterEvent>& history() const noexcept { return history_; }
    bool baseline_armed() const noexcept { return baseline_.has_value(); }

    // A copy of everything the engine holds.
    StreamingEngineState state() const;
    // The engine holding `state`, which continues exactly as the saved one would.
    // DataValidation when the parts could not come from one engine: a repeated
    // customer id, a score-rule label out of range, a buffer of another capacity
    // than batch_size or holding as many events as that, baseline columns of
    // unequal lengths or longer than the customers.
    static StreamingSegmentationEngine restore(StreamingEngineState state);

private:
    StreamingSegmentUpdate process_hashed(StreamingEvent event, std::uint64_t hash);

    StreamingBuffer buffer_;
    std::vector<ReclusterEvent> history_;
    std::optional<RfmSnapshot> baseline_;
    StreamingConfig config_;
    ReclusterConfig recluster_config_;
    // State and label share one record, so an event touches one slot and one record.
    CustomerIndex index_;                     // customer id -> position in customers_
    std::vector<TrackedCustomer> customers_;  // in first-appearance order
};

}  // namespace segmora::engine
