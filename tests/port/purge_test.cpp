// The purge control's work (SerialStartPurge) on a started port: aborting
// reads and writes in their order, a write whose chunk is in flight, and
// emptying the receive ring.
#include "write_fixture.h"

namespace ztest {
namespace {

class PurgeTest : public WriteTest {
protected:
    void SetUp() override
    {
        WriteTest::SetUp();
        setTimeouts(0, 0, 0);   // reads wait for their bytes
    }
};

// Writes first (queued newest first, then the current), then the reads
// the same way; every one cancelled with nothing transferred.
TEST_F(PurgeTest, BothAbortsEndQueuedRequestsNewestFirstThenTheCurrent)
{
    holdTransmission(true);
    auto w1 = write("current write");
    auto w2 = write("queued write");
    std::vector<std::unique_ptr<PortRequest>> reads;
    for (int i = 0; i < 4; i++)
        reads.push_back(readRequest(10));
    // One byte arrives: the oldest read becomes current and waits for more.
    settle(send("x"));
    ASSERT_EQ(rx->CurrentReadIrp, reads[0]->irp());

    EXPECT_EQ(purge(SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT), STATUS_SUCCESS);
    const PortRequest* expected[] = {w2.get(), w1.get(), reads[3].get(), reads[2].get(), reads[1].get(),
                                     reads[0].get()};
    for (int i = 0; i < 6; i++) {
        SCOPED_TRACE(i);
        ASSERT_TRUE(expected[i]->done());
        EXPECT_EQ(expected[i]->order(), i);
        EXPECT_EQ(expected[i]->status(), STATUS_CANCELLED);
        EXPECT_EQ(expected[i]->information(), 0u);
    }
    EXPECT_EQ(rx->CurrentReadIrp, nullptr);
    EXPECT_EQ(rx->CurrentWriteIrp, nullptr);
    EXPECT_EQ(rx->WriteQueuedBytes, 0u);
    // The byte that arrived stays in the ring for the next read.
    EXPECT_EQ(held(), 1u);
    holdTransmission(false);
}

// A program whose completion routine sends its next read at once: the
// aborted reads complete after the port's locks are released, so the new
// read is accepted (and waits) instead of spinning on a lock its own thread
// holds.
TEST_F(PurgeTest, AReadSentFromAnAbortedReadsCompletionIsAccepted)
{
    auto first = readRequest(4);
    std::unique_ptr<PortRequest> next;
    first->onCompletion([&] { next = readRequest(2); });
    EXPECT_EQ(purge(SERIAL_PURGE_RXABORT), STATUS_SUCCESS);
    ASSERT_TRUE(first->done());
    EXPECT_EQ(first->status(), STATUS_CANCELLED);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->returned(), STATUS_PENDING);
    EXPECT_EQ(rx->CurrentReadIrp, next->irp());
    send("ok");
    ASSERT_TRUE(next->wait());
    EXPECT_EQ(next->data(), "ok");
}

TEST_F(PurgeTest, ReceiveClearEmptiesTheRingAndLeavesReadsPending)
{
    settle(send("hello"));
    auto r = readRequest(10);
    EXPECT_EQ(purge(SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS);
    EXPECT_EQ(held(), 0u);
    EXPECT_FALSE(r->done());
    settle(send("0123456789"));
    ASSERT_TRUE(r->done());
    EXPECT_EQ(r->status(), STATUS_SUCCESS);
    EXPECT_EQ(r->data(), "0123456789");
}

TEST_F(PurgeTest, TransmitClearAloneAndUnknownBitsChangeNothing)
{
    settle(send("kept"));
    holdTransmission(true);
    auto w = write("still here");
    auto r = readRequest(10);
    for (ULONG mask : {ULONG(SERIAL_PURGE_TXCLEAR), 0u, 0xFFFFFFF0u}) {
        SCOPED_TRACE(mask);
        EXPECT_EQ(purge(mask), STATUS_SUCCESS);
        EXPECT_FALSE(w->done());
        EXPECT_FALSE(r->done());
        EXPECT_EQ(held(), 4u);
        EXPECT_EQ(rx->WriteQueuedBytes, 10u);
    }
    holdTransmission(false);
    ASSERT_TRUE(w->wait());
    EXPECT_EQ(w->status(), STATUS_SUCCESS);
    EXPECT_EQ(farReceived(), "still here");
}

// A transmit abort while the current write's chunk is in flight: the
// queued write ends at once, the current one only once its cancelled
// chunk is back; later writes are sent whole and counted alone.
TEST_F(PurgeTest, TransmitAbortWaitsForTheChunkInFlight)
{
    BulkOutTap tap(*machine, rx);
    tap.holdChunk(1, true);
    auto a = write(pattern(40));
    auto b = write("queued");
    advance(1 * kMs);
    ASSERT_TRUE(tap.holding());
    tap.watch(a.get());
    ULONG before = rx->PerfStats.TransmittedCount;

    EXPECT_EQ(purge(SERIAL_PURGE_TXABORT), STATUS_SUCCESS);
    ASSERT_TRUE(b->done());
    ASSERT_TRUE(a->done());
    EXPECT_FALSE(tap.watchedDoneAtCancel());
    EXPECT_LT(b->order(), a->order());
    EXPECT_EQ(a->status(), STATUS_CANCELLED);
    EXPECT_EQ(a->information(), 0u);
    EXPECT_EQ(b->status(), STATUS_CANCELLED);
    EXPECT_EQ(rx->WriteQueuedBytes, 0u);

    auto c = write("after the purge");
    ASSERT_TRUE(c->wait());
    EXPECT_EQ(c->status(), STATUS_SUCCESS);
    EXPECT_EQ(tap.chunks().back().bytes, "after the purge");
    EXPECT_EQ(ReadSharedUlong(&rx->PerfStats.TransmittedCount) - before, 15u);
    EXPECT_EQ(farReceived(), "after the purge");
}

// The reads are aborted under the read-service lock, so a bulk-in
// completion serving the current read at the same moment never ends it a
// second time; here the abort just leaves reception running.
TEST_F(PurgeTest, ReceiveAbortLeavesWritesAndReceptionGoing)
{
    holdTransmission(true);
    auto w = write("w");
    auto r = readRequest(3);
    EXPECT_EQ(purge(SERIAL_PURGE_RXABORT), STATUS_SUCCESS);
    ASSERT_TRUE(r->done());
    EXPECT_EQ(r->status(), STATUS_CANCELLED);
    EXPECT_FALSE(w->done());
    auto next = readRequest(3);
    settle(send("abc"));
    ASSERT_TRUE(next->done());
    EXPECT_EQ(next->data(), "abc");
    holdTransmission(false);
    ASSERT_TRUE(w->wait());
}

} // namespace
} // namespace ztest
