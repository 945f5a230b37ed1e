#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <thread>

#include "corekit2/iterator.hpp"
#include "corekit2/object_registry.hpp"

using namespace corekit2;

namespace {

class Counted : public ref_counted_t<object_interface_t> {
public:
    static inline int destroyed = 0;
    ~Counted() override { ++destroyed; }
    const char* get_type() const override { return "test.counted"; }
};

uint32_t refs(object_interface_t* object) {
    object->add_ref();
    return object->release();
}

// Counts 0, 1, 2 and keeps `live` at the number of handlers alive.
class RangeHandler final : public iterator_handler_t<int> {
public:
    RangeHandler(int next, int& live) : m_next(next), m_live(live) { ++m_live; }
    bool at_end() const override { return m_next >= 3; }
    int current() const override { return m_next; }
    void advance() override { ++m_next; }
    iterator_handler_t* copy() const override { return new RangeHandler(m_next, m_live); }
    void release() override {
        --m_live;
        delete this;
    }

private:
    int m_next;
    int& m_live;
};

}  // namespace

TEST(ObjectTest, ReferenceCountsAndHandles) {
    Counted::destroyed = 0;
    auto* raw = new Counted;
    EXPECT_EQ(raw->add_ref(), 1u);
    EXPECT_EQ(raw->release(), 0u);
    EXPECT_EQ(Counted::destroyed, 1);
    {
        sptr_t<Counted> a(new Counted), b = a;
        sptr_t<Counted> c(std::move(b));
        EXPECT_FALSE(b);
        sptr_t<object_interface_t> base(a);
        EXPECT_EQ(refs(a.get()), 3u);
        Counted* detached = c.detach();
        EXPECT_EQ(refs(detached), 3u);
        b.attach(detached);
        EXPECT_EQ(refs(a.get()), 3u);
        b.reset();
        base = nullptr;
        a = make_object<Counted>();
        EXPECT_EQ(Counted::destroyed, 2);
        EXPECT_EQ(refs(a.get()), 1u);
        raw = new Counted;
        raw->add_ref();
        sptr_t<Counted> adopted(raw, adopt_ref);
        EXPECT_EQ(refs(raw), 1u);
    }
    EXPECT_EQ(Counted::destroyed, 4);
    EXPECT_STREQ(make_object<ref_counted_t<object_interface_t>>()->get_type(), "object");
}

TEST(ObjectTest, PoolServesManyThreadsWithoutSharingBlocks) {
    std::atomic<int> corrupted{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &corrupted] {
            // Each block is filled with a byte of its own, checked when the block is returned.
            const auto fill = [t](std::size_t size) { return static_cast<char>(size * 7 + t); };
            std::deque<std::pair<char*, std::size_t>> held;
            const auto releaseFirst = [&] {
                const auto [block, size] = held.front();
                for (std::size_t i = 0; i < size; ++i) corrupted += block[i] != fill(size);
                pool_deallocate(block, size);
                held.pop_front();
            };
            for (int round = 0; round < 20000; ++round) {
                const std::size_t size = static_cast<std::size_t>(round * 37 + t * 11) % 700;
                held.emplace_back(static_cast<char*>(pool_allocate(size)), size);
                std::memset(held.back().first, fill(size), size);
                if (round % 3 == 0 || held.size() > 64) releaseFirst();
            }
            while (!held.empty()) releaseFirst();
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(corrupted.load(), 0);
}

TEST(ObjectTest, RegistryCreatesRegisteredTypes) {
    object_registry_t& registry = get_object_registry();
    const object_factory_t makeCounted = [] {
        return static_cast<object_interface_t*>(new Counted);
    };
    const object_factory_t makeNothing = [] { return static_cast<object_interface_t*>(nullptr); };
    EXPECT_FALSE(registry.register_type("test.null", nullptr));
    ASSERT_TRUE(registry.register_type("test.counted", makeCounted));
    EXPECT_FALSE(registry.register_type("test.counted", makeNothing));
    Counted::destroyed = 0;
    {
        sptr_t<object_interface_t> object = registry.create("test.counted");
        ASSERT_TRUE(object);
        EXPECT_STREQ(object->get_type(), "test.counted");
        EXPECT_EQ(refs(object.get()), 1u);
    }
    EXPECT_EQ(Counted::destroyed, 1);
    ASSERT_TRUE(registry.register_type("test.failing", makeNothing));
    EXPECT_FALSE(registry.create("test.failing"));
    EXPECT_FALSE(registry.create("test.unknown"));
    EXPECT_TRUE(registry.unregister_dyncreate_type("test.counted"));
    EXPECT_FALSE(registry.is_registered("test.counted"));
    EXPECT_FALSE(registry.create("test.counted"));
}

TEST(IteratorTest, CopiesAdvanceIndependently) {
    int live = 0;
    {
        generic_iterator_t<int> it(new RangeHandler(0, live));
        ++it;
        generic_iterator_t<int> copy(it);
        ++ ++copy;
        EXPECT_EQ(*it, 1);
        EXPECT_TRUE(copy.at_end());
        EXPECT_EQ(*++copy, 0);
        copy = std::move(it);
        EXPECT_TRUE(it.at_end());
        EXPECT_EQ(*copy, 1);
        EXPECT_EQ(live, 1);
        generic_iterator_t<int> none;
        EXPECT_EQ(*++none, 0);
    }
    EXPECT_EQ(live, 0);
}
