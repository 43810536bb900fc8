// Engine-only parts of streaming: the buffer, extreme timestamps and values,
// the customer index under growth, and batches against single events.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <tuple>

#include "engine/streaming.hpp"
#include "error.hpp"
#include "text.hpp"

namespace segmora::engine {
namespace {

StreamingEvent event(std::string id, double value, std::int64_t timestamp) {
    return StreamingEvent{std::move(id), {}, value, timestamp, EventType::Purchase};
}

StreamingSegmentationEngine make_engine(std::uint64_t batch_size, ReclusterConfig recluster = {}) {
    StreamingConfig config;
    config.batch_size = batch_size;
    return StreamingSegmentationEngine(config, recluster);
}

TEST(StreamingBuffer, FlushesWhenFullAndAtCheckpoints) {
    struct Case { std::uint64_t batch_size; int events; std::size_t held; };
    for (const Case& c : {Case{0, 5, 0}, Case{1, 5, 0}, Case{3, 7, 1}, Case{10, 9, 9}, Case{10, 10, 0}}) {
        auto engine = make_engine(c.batch_size);
        for (int i = 0; i < c.events; ++i) engine.process_event(event(format("c{}", i), 1.0, unix_now()));
        EXPECT_EQ(engine.buffer_size(), c.held) << c.batch_size;
        EXPECT_EQ(engine.customer_count(), static_cast<std::size_t>(c.events));
        engine.checkpoint();
        EXPECT_EQ(engine.buffer_size(), 0u);
    }
}

TEST(StreamingScore, ExtremeTimestampsAndValues) {
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    struct Case { double value; std::int64_t timestamp; std::string segment; };
    const Case cases[] = {
        {0.0, kMin, "Lost"},         // no overflow: recency is huge and clamped at 100
        {0.0, kMax, "Champions"},    // far future: negative recency lifts the score
        {nan, unix_now(), "Loyal Customers"},  // a NaN monetary term is ignored by min: (100 + 1 + 100) / 3
        {-inf, unix_now(), "Lost"},
        {inf, unix_now(), "Loyal Customers"},
    };
    for (const Case& c : cases) {
        auto engine = make_engine(100);
        const auto update = engine.process_event(event("x", c.value, c.timestamp));
        EXPECT_EQ(update.new_segment.name(), c.segment) << c.value << " " << c.timestamp;
    }
}

TEST(StreamingIndex, ManyCustomersKeepFirstAppearanceOrder) {
    auto engine = make_engine(100);
    const int n = 5000;
    for (int round = 0; round < 2; ++round)
        for (int i = n - 1; i >= 0; --i) engine.process_event(event(format("id{}", i), 1.0, unix_now()));
    ASSERT_EQ(engine.customer_count(), static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        const auto& c = engine.customers()[static_cast<std::size_t>(i)];
        ASSERT_EQ(c.state.customer_id, format("id{}", n - 1 - i));
        ASSERT_EQ(c.state.frequency, 2u);
    }
    EXPECT_EQ(engine.segment_of("id17"), &engine.customers()[n - 1 - 17].segment);
    EXPECT_EQ(engine.segment_of("id5000"), nullptr);
    EXPECT_EQ(engine.segment_of(""), nullptr);
}

TEST(StreamingBatch, SameAsOneEventAtATime) {
    auto single = make_engine(7), batched = make_engine(7);
    std::vector<StreamingEvent> events;
    for (int i = 0; i < 3000; ++i) events.push_back(event(format("k{}", (i * 7919) % 701), i % 13, unix_now() - i * 9000));
    std::vector<StreamingSegmentUpdate> one;
    for (const auto& e : events) one.push_back(single.process_event(e));
    const auto many = batched.process_events(events);
    ASSERT_EQ(many.size(), one.size());
    for (std::size_t i = 0; i < one.size(); ++i)
        ASSERT_EQ(std::tie(many[i].customer_id, many[i].previous_segment, many[i].new_segment),
                  std::tie(one[i].customer_id, one[i].previous_segment, one[i].new_segment)) << "event " << i;
    for (std::size_t i = 0; i < single.customer_count(); ++i) {
        const auto &b = batched.customers()[i].state, &s = single.customers()[i].state;
        ASSERT_EQ(std::tie(b.customer_id, b.monetary), std::tie(s.customer_id, s.monetary)) << "customer " << i;
    }
    EXPECT_EQ(batched.buffer_size(), single.buffer_size());
}

TEST(StreamingRestore, RebuildsTheIndexAndRefusesInconsistentParts) {
    auto engine = make_engine(50);
    for (int i = 0; i < 500; ++i) engine.process_event(event(format("r{}", i % 97), i, unix_now()));
    auto restored = StreamingSegmentationEngine::restore(engine.state());
    ASSERT_EQ(restored.customer_count(), 97u);
    for (int i = 0; i < 97; ++i)
        ASSERT_EQ(restored.segment_of(format("r{}", i)), &restored.customers()[static_cast<std::size_t>(i)].segment);
    EXPECT_EQ(restored.buffer_size(), engine.buffer_size());

    const auto refused = [&](auto damage) {
        StreamingEngineState s = engine.state();
        damage(s);
        EXPECT_THROW(StreamingSegmentationEngine::restore(std::move(s)), SegmoraError);
    };
    refused([](StreamingEngineState& s) { s.customers.push_back(s.customers.front()); });
    refused([](StreamingEngineState& s) { s.customers[3].segment = Segment{false, Segment::kRuleCount}; });
    refused([](StreamingEngineState& s) { s.buffer.max_size = 49; });
    refused([](StreamingEngineState& s) { s.buffer.events.resize(50); });
    refused([](StreamingEngineState& s) { s.baseline = RfmSnapshot{{1.0}, {}, {}}; });
}

}  // namespace
}  // namespace segmora::engine
