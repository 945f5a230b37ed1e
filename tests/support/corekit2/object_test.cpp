#include <gtest/gtest.h>

#include <cstring>
#include <string_view>
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

// The count of references, checked through what both add_ref and release answer.
uint32_t refs(object_interface_t* object) {
    const uint32_t raised = object->add_ref();
    EXPECT_EQ(object->release() + 1, raised);
    return raised - 1;
}

// Counts 0, 1, 2; `live` is the number of handlers not yet released.
class RangeHandler final : public iterator_handler_t<int> {
public:
    static inline int live = 0;
    explicit RangeHandler(int next) : m_next(next) { ++live; }
    ~RangeHandler() { --live; }
    bool at_end() const override { return m_next >= 3; }
    int current() const override { return m_next; }
    void advance() override { ++m_next; }
    iterator_handler_t* copy() const override { return new RangeHandler(m_next); }
    void release() override { delete this; }

private:
    int m_next;
};

}  // namespace

TEST(ObjectTest, ReferenceCountsHandlesAndTheRegistry) {
    {
        sptr_t<Counted> a(new Counted), b = a;
        sptr_t<Counted> c(std::move(b));
        EXPECT_FALSE(b);
        sptr_t<object_interface_t> base(a);
        b.attach(c.detach());
        EXPECT_EQ(refs(a.get()), 3u);
        b.reset();
        base = nullptr;
        a = sptr_t<Counted>(make_object<Counted>().detach(), adopt_ref);
        EXPECT_EQ(Counted::destroyed, 1);
        EXPECT_EQ(refs(a.get()), 1u);
    }
    EXPECT_EQ(Counted::destroyed, 2);
    EXPECT_STREQ(make_object<ref_counted_t<object_interface_t>>()->get_type(), "object");

    object_registry_t& registry = get_object_registry();
    const object_factory_t makeCounted = []() -> object_interface_t* { return new Counted; };
    const object_factory_t makeNothing = []() -> object_interface_t* { return nullptr; };
    EXPECT_FALSE(registry.register_type("test.null", nullptr));
    ASSERT_TRUE(registry.register_type("test.counted", makeCounted));
    EXPECT_FALSE(registry.register_type("test.counted", makeNothing));
    EXPECT_STREQ(registry.create("test.counted")->get_type(), "test.counted");
    EXPECT_EQ(Counted::destroyed, 3);  // the handle create gave held the only reference
    ASSERT_TRUE(registry.register_type("test.failing", makeNothing));
    EXPECT_FALSE(registry.create("test.failing"));
    EXPECT_FALSE(registry.create("test.unknown"));
    EXPECT_TRUE(registry.unregister_dyncreate_type("test.counted"));
    EXPECT_FALSE(registry.is_registered("test.counted"));
}

TEST(ObjectTest, PoolServesManyThreadsWithoutSharingBlocks) {
    std::vector<int> corrupted(4);
    const auto churn = [&corrupted](int t) {
        // Up to 64 blocks held at once, each filled with a byte of its own, checked on return.
        const auto fill = [t](std::size_t size) { return static_cast<char>(size * 7 + t); };
        std::string_view held[64];
        for (int round = 0; round < 20000 + 64; ++round) {
            std::string_view& block = held[round % 64];
            if (round >= 64) {
                corrupted[t] += block.find_first_not_of(fill(block.size())) != block.npos;
                pool_deallocate(const_cast<char*>(block.data()), block.size());
            }
            const std::size_t n = static_cast<std::size_t>(round * 37 + t * 11) % 700;
            if (round < 20000)
                block = {static_cast<char*>(std::memset(pool_allocate(n), fill(n), n)), n};
        }
    };
    std::thread a(churn, 0), b(churn, 1), c(churn, 2), d(churn, 3);
    for (std::thread* thread : {&a, &b, &c, &d}) thread->join();
    EXPECT_EQ(corrupted, std::vector<int>(4));
}

TEST(IteratorTest, CopiesAdvanceIndependently) {
    {
        generic_iterator_t<int> it(new RangeHandler(0));
        ++it;
        generic_iterator_t<int> copy(it);
        ++ ++copy;
        EXPECT_EQ(*it, 1);
        EXPECT_EQ(*++copy, 0);  // at the end: stays there and reads as T()
        copy = std::move(it);
        EXPECT_EQ(*copy, 1);
        EXPECT_EQ(*++generic_iterator_t<int>(), 0);
    }
    EXPECT_EQ(RangeHandler::live, 0);
}
