#include "engine/streaming.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <unordered_map>

#include "engine/clustering.hpp"
#include "engine/matrix.hpp"
#include "error.hpp"
#include "text.hpp"

namespace segmora::engine {

std::optional<EventType> parse_event_type(std::string_view text) noexcept {
    if (text == "purchase") return EventType::Purchase;
    if (text == "engagement") return EventType::Engagement;
    if (text == "pageview" || text == "page_view") return EventType::Pageview;
    if (text == "custom") return EventType::Custom;
    return std::nullopt;
}

std::optional<TimeWindow> parse_time_window(std::string_view text) noexcept {
    if (text == "minute") return TimeWindow::Minute;
    if (text == "hour") return TimeWindow::Hour;
    if (text == "day") return TimeWindow::Day;
    if (text == "week") return TimeWindow::Week;
    return std::nullopt;
}

void StreamingBuffer::push(StreamingEvent event) {
    events.push_back(std::move(event));
    if (events.size() >= max_size) flush();
}

void StreamingBuffer::flush() {
    events.clear();
    created_at = unix_now();
}

namespace {
constexpr std::array<std::string_view, 5> kRuleNames = {"Champions", "Loyal Customers", "Potential Loyalists",
                                                        "At Risk", "Lost"};
constexpr std::int64_t kSecondsPerDay = 86400;
}  // namespace

std::string Segment::name() const {
    return is_cluster ? format("cluster_{}", id) : std::string(kRuleNames[id]);
}

Segment score_segment(const StreamingRFMState& s) noexcept {
    const double recency_term = 100.0 - static_cast<double>(std::min<std::int64_t>(s.recency_days, 100));
    const double frequency_term = static_cast<double>(std::min<std::uint64_t>(s.frequency, 100));
    const double monetary_term = std::fmin(s.monetary / 1000.0, 100.0);
    const double score = (recency_term + frequency_term + monetary_term) / 3.0;
    using R = Segment::Rule;
    if (score >= 80.0) return Segment::rule(R::Champions);
    if (score >= 60.0) return Segment::rule(R::LoyalCustomers);
    if (score >= 40.0) return Segment::rule(R::PotentialLoyalists);
    if (score >= 20.0) return Segment::rule(R::AtRisk);
    return Segment::rule(R::Lost);
}

std::int64_t days_between(std::int64_t now, std::int64_t timestamp) noexcept {
    __extension__ using Wide = __int128;  // no overflow for any two timestamps
    return static_cast<std::int64_t>((static_cast<Wide>(now) - static_cast<Wide>(timestamp)) / kSecondsPerDay);
}

RfmSnapshot RfmSnapshot::capture(const std::vector<TrackedCustomer>& customers, std::int64_t now) {
    RfmSnapshot snap;
    const std::size_t reserve = std::max<std::size_t>(customers.size(), 4);
    snap.recency.reserve(reserve);
    snap.frequency.reserve(reserve);
    snap.monetary.reserve(reserve);
    for (const auto& c : customers)
        snap.recency.push_back(static_cast<double>(days_between(now, c.state.last_event_timestamp)));
    for (const auto& c : customers) snap.frequency.push_back(static_cast<double>(c.state.frequency));
    for (const auto& c : customers) snap.monetary.push_back(c.state.monetary);
    return snap;
}

void CustomerIndex::grow() {
    std::vector<Slot> old(std::max<std::size_t>(16, 2 * slots_.size()));
    old.swap(slots_);
    for (const Slot& slot : old) {
        if (slot.position == 0) continue;
        std::size_t i = slot.hash & mask();
        while (slots_[i].position != 0) i = (i + 1) & mask();
        slots_[i] = slot;
    }
}

StreamingSegmentationEngine::StreamingSegmentationEngine(StreamingConfig config, ReclusterConfig recluster_config)
    : config_(config), recluster_config_(recluster_config) {
    buffer_.max_size = config_.batch_size;
    buffer_.created_at = unix_now();
}

StreamingSegmentUpdate StreamingSegmentationEngine::process_event(StreamingEvent event) {
    const std::uint64_t hash = CustomerIndex::hash_of(event.customer_id);
    return process_hashed(std::move(event), hash);
}

std::vector<StreamingSegmentUpdate> StreamingSegmentationEngine::process_events(std::vector<StreamingEvent> events) {
    // A customer's slot is fetched kSlotAhead events early and its record
    // kRecordAhead events early, so the lookups of a large table overlap.
    constexpr std::size_t kSlotAhead = 16, kRecordAhead = 8;
    const std::size_t n = events.size();
    std::vector<std::uint64_t> hashes(n);
    for (std::size_t i = 0; i < n; ++i) hashes[i] = CustomerIndex::hash_of(events[i].customer_id);
    std::vector<StreamingSegmentUpdate> updates;
    updates.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (i + kSlotAhead < n) index_.prefetch(hashes[i + kSlotAhead]);
        if (i + kRecordAhead < n) {
            if (const auto at = index_.peek(hashes[i + kRecordAhead]); at && *at < customers_.size())
                __builtin_prefetch(&customers_[*at]);
        }
        updates.push_back(process_hashed(std::move(events[i]), hashes[i]));
    }
    return updates;
}

StreamingSegmentUpdate StreamingSegmentationEngine::process_hashed(StreamingEvent event, std::uint64_t hash) {
    const auto [at, inserted] = index_.find_or_add(event.customer_id, hash, customers_.size(),
                                                   [&](std::size_t i) -> const std::string& {
                                                       return customers_[i].state.customer_id;
                                                   });
    if (inserted) {
        customers_.emplace_back();
        customers_.back().state.customer_id = event.customer_id;
    }
    TrackedCustomer& customer = customers_[at];
    StreamingRFMState& state = customer.state;
    state.frequency += 1;
    state.monetary += event.value;
    // The latest event is the one with the greatest timestamp: one that arrives late changes nothing here.
    if (inserted || event.timestamp > state.last_event_timestamp) state.last_event_timestamp = event.timestamp;
    state.event_count += 1;
    state.total_value += event.value;
    const std::int64_t now = unix_now();
    state.recency_days = days_between(now, state.last_event_timestamp);

    StreamingSegmentUpdate update;
    update.new_segment = score_segment(state);
    if (!inserted) update.previous_segment = customer.segment;
    update.segment_changed = !update.previous_segment || *update.previous_segment != update.new_segment;
    if (update.segment_changed) customer.segment = update.new_segment;
    update.timestamp = now;
    update.customer_id = event.customer_id;
    buffer_.push(std::move(event));
    return update;
}

void StreamingSegmentationEngine::checkpoint() {
    buffer_.flush();
    if (!baseline_) {
        if (customers_.size() >= recluster_config_.min_customers) baseline_ = RfmSnapshot::capture(customers_, unix_now());
        return;
    }
    maybe_recluster();
}

std::optional<std::vector<FeatureDrift>> StreamingSegmentationEngine::check_drift() const {
    if (!baseline_ || customers_.size() < recluster_config_.min_customers) return std::nullopt;
    const RfmSnapshot current = RfmSnapshot::capture(customers_, unix_now());
    std::vector<FeatureDrift> drifts;
    drifts.reserve(3);
    drifts.push_back(DriftDetector::detect_feature_drift("recency", baseline_->recency, current.recency,
                                                         DriftMethod::KolmogorovSmirnov));
    drifts.push_back(DriftDetector::detect_feature_drift("frequency", baseline_->frequency, current.frequency,
                                                         DriftMethod::KolmogorovSmirnov));
    drifts.push_back(DriftDetector::detect_feature_drift("monetary", baseline_->monetary, current.monetary,
                                                         DriftMethod::Hellinger));
    return drifts;
}

std::optional<ReclusterEvent> StreamingSegmentationEngine::maybe_recluster() {
    std::optional<std::vector<FeatureDrift>> drifts = check_drift();
    if (!drifts) return std::nullopt;
    const bool triggered = std::any_of(drifts->begin(), drifts->end(), [&](const FeatureDrift& d) {
        return d.severity >= recluster_config_.min_severity;
    });
    if (!triggered) return std::nullopt;

    const std::size_t n = customers_.size();
    const std::uint64_t k = std::min<std::uint64_t>(std::max<std::uint64_t>(n, 1), recluster_config_.n_clusters);
    const std::int64_t now = unix_now();
    Matrix rfm(n, 3);
    for (std::size_t i = 0; i < n; ++i) {
        const StreamingRFMState& s = customers_[i].state;
        rfm(i, 0) = static_cast<double>(days_between(now, s.last_event_timestamp));
        rfm(i, 1) = static_cast<double>(s.frequency);
        rfm(i, 2) = s.monetary;
    }
    const KMeansResult fit = kmeans(rfm, k, 300, 42, -1);  // throws before anything changes

    const std::size_t labelled = std::min(fit.labels.size(), n);
    for (std::size_t i = 0; i < labelled; ++i) customers_[i].segment = Segment::cluster(fit.labels[i]);
    baseline_ = RfmSnapshot::capture(customers_, now);
    ReclusterEvent event{std::move(*drifts), unix_now(), n, k};
    history_.push_back(event);
    return event;
}

StreamingEngineState StreamingSegmentationEngine::state() const {
    return {config_, recluster_config_, buffer_, customers_, baseline_, history_};
}

StreamingSegmentationEngine StreamingSegmentationEngine::restore(StreamingEngineState state) {
    const auto refuse = [](std::string_view what) { throw SegmoraError::data_validation(std::string(what)); };
    const std::size_t held = state.buffer.events.size();
    if (state.buffer.max_size != state.config.batch_size || (held > 0 && held >= state.buffer.max_size))
        refuse(format("a buffer of {} events does not fit batch_size {}", held, state.config.batch_size));
    if (state.baseline) {
        const RfmSnapshot& b = *state.baseline;
        if (b.recency.size() != b.frequency.size() || b.recency.size() != b.monetary.size() ||
            b.recency.size() > state.customers.size())
            refuse("the baseline columns do not match the customers");
    }
    StreamingSegmentationEngine engine(state.config, state.recluster_config);
    for (const TrackedCustomer& c : state.customers)
        if (!c.segment.is_cluster && c.segment.id >= Segment::kRuleCount)
            refuse(format("customer '{}' has an unknown segment", c.state.customer_id));
    engine.customers_ = std::move(state.customers);
    for (std::size_t i = 0; i < engine.customers_.size(); ++i) {
        const std::string& id = engine.customers_[i].state.customer_id;
        const auto id_at = [&](std::size_t j) -> const std::string& { return engine.customers_[j].state.customer_id; };
        const auto added = engine.index_.find_or_add(id, CustomerIndex::hash_of(id), i, id_at);
        if (!added.second) refuse(format("customer '{}' appears twice", id));
    }
    engine.buffer_ = std::move(state.buffer);
    engine.baseline_ = std::move(state.baseline);
    engine.history_ = std::move(state.history);
    return engine;
}

void StreamingSegmentationEngine::set_recluster_baseline() { baseline_ = RfmSnapshot::capture(customers_, unix_now()); }

std::uint64_t StreamingSegmentationEngine::relabel(std::int64_t now) {
    std::uint64_t changed = 0;
    for (TrackedCustomer& c : customers_) {
        c.state.recency_days = days_between(now, c.state.last_event_timestamp);
        const Segment label = score_segment(c.state);
        if (label != c.segment) {
            c.segment = label;
            ++changed;
        }
    }
    return changed;
}

const Segment* StreamingSegmentationEngine::segment_of(std::string_view customer_id) const {
    const auto at = index_.find(customer_id, [&](std::size_t i) -> const std::string& {
        return customers_[i].state.customer_id;
    });
    return at ? &customers_[*at].segment : nullptr;
}

std::vector<std::pair<Segment, std::uint64_t>> StreamingSegmentationEngine::segment_distribution() const {
    std::vector<std::pair<Segment, std::uint64_t>> counts;
    std::array<std::size_t, kRuleNames.size()> rule_slot;
    rule_slot.fill(SIZE_MAX);
    std::unordered_map<std::uint64_t, std::size_t, KeyedIntegerHash> cluster_slot;
    for (const TrackedCustomer& c : customers_) {
        const Segment& s = c.segment;
        std::size_t* slot = nullptr;
        if (s.is_cluster) slot = &cluster_slot.try_emplace(s.id, SIZE_MAX).first->second;
        else slot = &rule_slot[s.id];
        if (*slot == SIZE_MAX) {
            *slot = counts.size();
            counts.emplace_back(s, 0);
        }
        ++counts[*slot].second;
    }
    return counts;
}

}  // namespace segmora::engine
