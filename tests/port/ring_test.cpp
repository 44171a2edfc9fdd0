// The receive ring, through the routines of the loaded driver image on a
// ring of the driver's own pool.
#include "port_fixture.h"

#include "host/nt/kernel.h"

#include <numeric>
#include <string>
#include <vector>

namespace ztest {
namespace {

class RingTest : public PortTest {
protected:
    void SetUp() override
    {
        PortTest::SetUp();
        ASSERT_EQ(machine->pnp().loadDriver(zsim::kPortService), STATUS_SUCCESS);
        init = DRIVER_ROUTINE(InitQueueBuffer);
        release = DRIVER_ROUTINE(FreeQueueBuffer);
        push = DRIVER_ROUTINE(PushQueueBufferEntry);
        pop = DRIVER_ROUTINE(PopQueueBufferEntry);
        count = DRIVER_ROUTINE(GetQueueBufferCount);
        clear = DRIVER_ROUTINE(ClearQueueBuffer);
        resize = DRIVER_ROUTINE(ResizeQueueBuffer);
        allocate = DRIVER_ROUTINE(AllocatePool);
        freePool = DRIVER_ROUTINE(FreePool);
    }
    void TearDown() override
    {
        if (release)
            release(&ring);
        PortTest::TearDown();
    }

    NTSTATUS pushText(const std::string& text)
    {
        return push(&ring, reinterpret_cast<const UCHAR*>(text.data()), ULONG(text.size()));
    }
    std::string popText(ULONG n)
    {
        std::string out(n, '\0');
        EXPECT_EQ(pop(&ring, reinterpret_cast<PUCHAR>(out.data()), n), STATUS_SUCCESS);
        return out;
    }
    // Grows the ring onto storage from the driver's pool, as the queue-size
    // control does: allocated before, the storage left over freed after.
    void grow(ULONG size)
    {
        PUCHAR storage = static_cast<PUCHAR>(allocate(NonPagedPool, size));
        ASSERT_NE(storage, nullptr);
        PUCHAR left = nullptr;
        resize(&ring, storage, size, &left);
        freePool(left);
    }
    // DataCount agrees with the indices, and both indices are in range.
    void expectConsistent()
    {
        EXPECT_LT(ring.ReadIndex, ring.BufferSize);
        EXPECT_LT(ring.WriteIndex, ring.BufferSize);
        EXPECT_EQ(ring.DataCount, (ring.WriteIndex + ring.BufferSize - ring.ReadIndex) % ring.BufferSize);
    }

    QUEUE_BUFFER ring{};
    decltype(&InitQueueBuffer) init = nullptr;
    decltype(&FreeQueueBuffer) release = nullptr;
    decltype(&PushQueueBufferEntry) push = nullptr;
    decltype(&PopQueueBufferEntry) pop = nullptr;
    decltype(&GetQueueBufferCount) count = nullptr;
    decltype(&ClearQueueBuffer) clear = nullptr;
    decltype(&ResizeQueueBuffer) resize = nullptr;
    decltype(&AllocatePool) allocate = nullptr;
    decltype(&FreePool) freePool = nullptr;
};

TEST_F(RingTest, TheDefaultRingHoldsOneByteLessThanItsSize)
{
    ASSERT_EQ(init(&ring, 0x10000), STATUS_SUCCESS);
    std::vector<UCHAR> bytes(65535);
    std::iota(bytes.begin(), bytes.end(), 0);
    EXPECT_EQ(push(&ring, bytes.data(), ULONG(bytes.size())), STATUS_SUCCESS);
    EXPECT_EQ(count(&ring), 65535u);
    UCHAR one = 0xEE;
    EXPECT_EQ(push(&ring, &one, 1), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(count(&ring), 65535u);
    expectConsistent();

    std::vector<UCHAR> out(65535);
    ASSERT_EQ(pop(&ring, out.data(), ULONG(out.size())), STATUS_SUCCESS);
    EXPECT_EQ(out, bytes);
    EXPECT_EQ(count(&ring), 0u);
}

TEST_F(RingTest, APushIntoANearlyFullRingStoresWhatFits)
{
    ASSERT_EQ(init(&ring, 16), STATUS_SUCCESS);
    ASSERT_EQ(pushText("abcdefghijk"), STATUS_SUCCESS);   // 11 of 15 places
    EXPECT_EQ(pushText("0123456789"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(count(&ring), 15u);
    expectConsistent();
    EXPECT_EQ(popText(15), "abcdefghijk0123");
}

TEST_F(RingTest, BadArgumentsChangeNothing)
{
    ASSERT_EQ(init(&ring, 16), STATUS_SUCCESS);
    ASSERT_EQ(pushText("abcde"), STATUS_SUCCESS);
    QUEUE_BUFFER before = ring;
    UCHAR out[16];
    EXPECT_EQ(pop(&ring, out, 0), STATUS_ARRAY_BOUNDS_EXCEEDED);
    EXPECT_EQ(pop(&ring, out, 6), STATUS_ARRAY_BOUNDS_EXCEEDED);
    EXPECT_EQ(push(&ring, nullptr, 3), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(push(&ring, out, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ring.DataCount, before.DataCount);
    EXPECT_EQ(ring.ReadIndex, before.ReadIndex);
    EXPECT_EQ(ring.WriteIndex, before.WriteIndex);
    EXPECT_EQ(popText(5), "abcde");
}

TEST_F(RingTest, BytesComeOutInArrivalOrderAcrossTheWrap)
{
    ASSERT_EQ(init(&ring, 8), STATUS_SUCCESS);
    ASSERT_EQ(pushText("123456"), STATUS_SUCCESS);
    EXPECT_EQ(popText(5), "12345");
    ASSERT_EQ(pushText("abcdef"), STATUS_SUCCESS);   // WriteIndex passes 7
    EXPECT_LT(ring.WriteIndex, ring.ReadIndex);
    expectConsistent();
    EXPECT_EQ(popText(7), "6abcdef");
    EXPECT_EQ(ring.ReadIndex, ring.WriteIndex);
}

TEST_F(RingTest, ClearEmptiesAndKeepsTheStorage)
{
    ASSERT_EQ(init(&ring, 8), STATUS_SUCCESS);
    ASSERT_EQ(pushText("12345"), STATUS_SUCCESS);
    popText(2);
    PUCHAR storage = ring.Buffer;
    clear(&ring);
    EXPECT_EQ(ring.DataCount, 0u);
    EXPECT_EQ(ring.ReadIndex, 0u);
    EXPECT_EQ(ring.WriteIndex, 0u);
    EXPECT_EQ(ring.Buffer, storage);
    EXPECT_EQ(ring.BufferSize, 8u);
}

TEST_F(RingTest, ResizingKeepsWrappedDataInOrderAndNeverShrinks)
{
    ASSERT_EQ(init(&ring, 8), STATUS_SUCCESS);
    ASSERT_EQ(pushText("123456"), STATUS_SUCCESS);
    popText(4);
    ASSERT_EQ(pushText("abcde"), STATUS_SUCCESS);   // "56abcde", wrapped
    ASSERT_LT(ring.WriteIndex, ring.ReadIndex);

    PUCHAR storage = ring.Buffer;
    grow(4);
    grow(8);
    EXPECT_EQ(ring.Buffer, storage);
    EXPECT_EQ(ring.BufferSize, 8u);

    grow(32);
    EXPECT_EQ(ring.BufferSize, 32u);
    EXPECT_EQ(ring.ReadIndex, 0u);
    EXPECT_EQ(ring.WriteIndex, 7u);
    EXPECT_EQ(ring.DataCount, 7u);
    ASSERT_EQ(pushText("0123456789"), STATUS_SUCCESS);
    EXPECT_EQ(popText(17), "56abcde0123456789");
}

} // namespace
} // namespace ztest
