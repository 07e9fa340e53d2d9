#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <set>
#include <vector>

#include "runtime/block_pool.h"
#include "runtime/segment_pool.h"

namespace kestrel {
namespace {

TEST(SegmentPoolTest, SecondBlockOpensAtNode1365AndAFreedNodeMakesItsBlockCurrent) {
    auto pool = std::make_unique<SegmentPool>();
    std::vector<void*> firstBlockNodes;
    std::set<void*> distinct;
    for (uint32_t i = 0; i < kSegmentNodesPerBlock; ++i) {
        void* node = pool->Allocate();
        ASSERT_NE(node, nullptr);
        ASSERT_EQ(SegmentPool::BlockOf(node), pool->FirstBlock());
        // The owner's words (second to fifth) are usable without disturbing the pool.
        std::memset(static_cast<char*>(node) + sizeof(void*), 0xAB, 4 * sizeof(void*));
        distinct.insert(node);
        firstBlockNodes.push_back(node);
    }
    EXPECT_EQ(distinct.size(), kSegmentNodesPerBlock);

    void* overflow = pool->Allocate();
    ASSERT_NE(overflow, nullptr);
    const SegmentBlock* second = SegmentPool::BlockOf(overflow);
    EXPECT_NE(second, pool->FirstBlock());
    EXPECT_EQ(pool->CurrentBlock(), second);
    EXPECT_EQ(pool->FirstBlock()->next, second);

    void* freed = firstBlockNodes[700];
    SegmentPool::Free(freed);
    EXPECT_EQ(pool->CurrentBlock(), pool->FirstBlock());
    EXPECT_EQ(pool->Allocate(), freed);

    // The first block is full again: the walk moves on to the second block.
    void* next = pool->Allocate();
    EXPECT_EQ(SegmentPool::BlockOf(next), second);
    EXPECT_NE(next, overflow);
    EXPECT_EQ(pool->CurrentBlock(), second);
}

TEST(SegmentPoolTest, FreedNodesAreHandedOutAgainBeforeNewBlocks) {
    auto pool = std::make_unique<SegmentPool>();
    std::vector<void*> nodes;
    for (uint32_t i = 0; i < 3 * kSegmentNodesPerBlock; ++i) nodes.push_back(pool->Allocate());
    for (void* node : nodes) SegmentPool::Free(node);
    std::set<void*> before(nodes.begin(), nodes.end());
    for (uint32_t i = 0; i < 3 * kSegmentNodesPerBlock; ++i) {
        void* node = pool->Allocate();
        ASSERT_EQ(before.erase(node), 1u) << "node " << i << " was not one of the freed ones";
    }
}

TEST(SegmentPoolTest, AFullCurrentBlockSendsTheSearchToTheFirstBlockWithRoom) {
    // Three full blocks; one node freed in the third and one in the first.
    auto pool = std::make_unique<SegmentPool>();
    std::vector<void*> nodes;
    for (uint32_t i = 0; i < 3 * kSegmentNodesPerBlock; ++i) nodes.push_back(pool->Allocate());
    void* inFirst = nodes[5];
    void* inThird = nodes[2 * kSegmentNodesPerBlock + 5];
    const SegmentBlock* first = SegmentPool::BlockOf(inFirst);
    const SegmentBlock* third = SegmentPool::BlockOf(inThird);
    SegmentPool::Free(inFirst);
    SegmentPool::Free(inThird);
    // The third block is current and hands out its node; full again, the
    // search must go back to the first block rather than open a fourth.
    EXPECT_EQ(pool->Allocate(), inThird);
    EXPECT_EQ(pool->Allocate(), inFirst);
    EXPECT_EQ(pool->CurrentBlock(), first);
    // Now every block is full: the next node opens a new one.
    const SegmentBlock* fresh = SegmentPool::BlockOf(pool->Allocate());
    EXPECT_NE(fresh, first);
    EXPECT_NE(fresh, third);
    EXPECT_NE(fresh, SegmentPool::BlockOf(nodes[kSegmentNodesPerBlock]));
}

struct BlockPoolFixture : ::testing::Test {
    std::unique_ptr<BlockPool> pool = std::make_unique<BlockPool>();

    PageDescriptor* Allocate(size_t size, void*& pointer) {
        PageDescriptor* descriptor = nullptr;
        pointer = nullptr;
        EXPECT_TRUE(pool->Allocate(size, descriptor, pointer)) << size;
        return descriptor;
    }
};

TEST_F(BlockPoolFixture, SizesGoToTheSmallestClassThatHoldsThem) {
    static_assert(kBlockPoolClassCount == 12);
    const struct {
        size_t size;
        uint32_t objectSize;
    } cases[] = {{1, 16}, {16, 16}, {17, 32}, {1000, 1024}, {2048, 2048}, {2049, 4096},
                 {32768, 32768}, {32769, 65536}, {100000, 131072}};
    for (const auto& c : cases) {
        void* pointer = nullptr;
        PageDescriptor* descriptor = Allocate(c.size, pointer);
        ASSERT_NE(descriptor, nullptr);
        EXPECT_EQ(descriptor->objectSize, c.objectSize) << c.size;
        std::memset(pointer, 0x5A, c.size);
        pool->Free(descriptor, pointer);
    }
}

TEST_F(BlockPoolFixture, ObjectsOfAClassShareAPageUntilItIsFull) {
    std::vector<std::pair<PageDescriptor*, void*>> objects;
    std::set<void*> pointers;
    for (uint32_t i = 0; i < kBlockPoolPageSize / 4096; ++i) {
        void* pointer = nullptr;
        objects.emplace_back(Allocate(4000, pointer), pointer);
        pointers.insert(pointer);
        EXPECT_EQ(objects.back().first, objects.front().first);
        EXPECT_EQ(objects.back().first->available, kBlockPoolPageSize / 4096 - 1 - i);
    }
    EXPECT_EQ(pointers.size(), objects.size());
    void* extra = nullptr;
    PageDescriptor* second = Allocate(4000, extra);
    EXPECT_NE(second, objects.front().first);

    // Emptied, the second page leaves the class; a freed object of the first
    // page is then the next one handed out.
    pool->Free(second, extra);
    pool->Free(objects[5].first, objects[5].second);
    void* again = nullptr;
    EXPECT_EQ(Allocate(4096, again), objects.front().first);
    EXPECT_EQ(again, objects[5].second);

    for (auto& [descriptor, pointer] : objects) pool->Free(descriptor, pointer);
}

TEST_F(BlockPoolFixture, AnEmptiedPageIsRecycledForAnotherClass) {
    void* small = nullptr;
    PageDescriptor* page = Allocate(24, small);
    unsigned char* base = page->base;
    pool->Free(page, small);

    void* other = nullptr;
    PageDescriptor* reused = Allocate(1024, other);
    EXPECT_EQ(reused, page);
    EXPECT_EQ(other, base);
    EXPECT_EQ(reused->objectSize, 1024u);
    EXPECT_EQ(reused->available, kBlockPoolPageSize / 1024 - 1);
    pool->Free(reused, other);

    // A large region takes a recycled descriptor and gives its page back.
    void* region = nullptr;
    PageDescriptor* large = Allocate(70000, region);
    EXPECT_EQ(large, page);
    EXPECT_EQ(large->available, 0u);
    std::memset(region, 1, 70000);
    pool->Free(large, region);

    void* afterLarge = nullptr;
    PageDescriptor* fresh = Allocate(64, afterLarge);
    EXPECT_EQ(fresh, page);
    EXPECT_EQ(fresh->objectSize, 64u);
    pool->Free(fresh, afterLarge);
}

TEST_F(BlockPoolFixture, DescriptorBlocksAreAddedAndReleasedAsNeeded) {
    // Each region needs a descriptor: one more than a block holds opens a second block.
    std::vector<std::pair<PageDescriptor*, void*>> regions;
    for (uint32_t i = 0; i <= kDescriptorsPerBlock; ++i) {
        void* pointer = nullptr;
        regions.emplace_back(Allocate(65536, pointer), pointer);
        ASSERT_NE(regions.back().first, nullptr);
    }
    EXPECT_EQ(pool->DescriptorBlockCount(), 2u);
    EXPECT_NE(regions.back().first->block, regions.front().first->block);

    for (auto& [descriptor, pointer] : regions) pool->Free(descriptor, pointer);
    EXPECT_EQ(pool->DescriptorBlockCount(), 1u);

    // The pool still works once its later block is gone.
    void* pointer = nullptr;
    PageDescriptor* descriptor = Allocate(100, pointer);
    ASSERT_NE(descriptor, nullptr);
    pool->Free(descriptor, pointer);
}

}  // namespace
}  // namespace kestrel
