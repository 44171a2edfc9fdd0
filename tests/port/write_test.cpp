// Write requests through IRP_MJ_WRITE on a started port: chunking, the
// bytes at the far end, the write time-out on the machine clock, queued
// writes, cancellation, failed and held chunks, and surprise removal.
#include "write_fixture.h"

namespace ztest {
namespace {

// Chunks for each chip revision and limit, and the bytes arrive intact.
TEST_F(WriteTest, ChunksFollowTheLimitAndTheChipRevision)
{
    struct Row {
        UCHAR revision;
        ULONG maxWriteLength;
        size_t length;
        std::vector<size_t> chunks;
    };
    const Row rows[] = {
        {2, 32, 100, {32, 32, 32, 4}},
        {0, 32, 37, {32, 3, 2}},
        {0, 32, 5, {3, 2}},
        {2, 32, 5, {5}},
        {0, 32, 6, {3, 3}},
        {0, 5, 12, {3, 3, 3, 3}},
        {2, 0, 40, {32, 8}},          // no limit set: the default
        {2, 128, 200, {128, 72}},
        {2, 1000, 200, {128, 72}},    // never above the chip's largest
    };
    char first = 'A';
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "revision " << int(row.revision) << " limit " << row.maxWriteLength
                                        << " length " << row.length);
        rx->ChipRevision = row.revision;
        rx->MaxWriteLength = row.maxWriteLength;
        far->clearReceived();
        BulkOutTap tap(*machine, rx);
        std::string data = pattern(row.length, first++);
        auto w = write(data);
        EXPECT_EQ(w->returned(), STATUS_PENDING);
        ASSERT_TRUE(w->wait());
        EXPECT_EQ(w->status(), STATUS_SUCCESS);
        EXPECT_EQ(w->information(), row.length);
        EXPECT_EQ(tap.lengths(), row.chunks);
        EXPECT_EQ(farReceived(), data);
        EXPECT_EQ(rx->WriteQueuedBytes, 0u);
    }
}

TEST_F(WriteTest, AWriteIsCountedAndRecordsTransmitterEmpty)
{
    rx->WaitMask = 0;
    rx->HistoryMask = 0;
    ULONG before = rx->PerfStats.TransmittedCount;
    auto w = write(pattern(100));
    EXPECT_EQ(rx->WriteQueuedBytes, 100u);
    ASSERT_TRUE(w->wait());
    EXPECT_EQ(ReadSharedUlong(&rx->PerfStats.TransmittedCount) - before, 100u);
    EXPECT_EQ(rx->WriteQueuedBytes, 0u);
    // Recorded even though the wait mask does not ask for it.
    EXPECT_EQ(ReadSharedUlong(&rx->HistoryMask) & SERIAL_EV_TXEMPTY, ULONG(SERIAL_EV_TXEMPTY));
}

// (Multiplier x length + constant) x the rate's factor, exactly, for a
// write that cannot be sent (XOFF holds it). The worker keeps waiting on
// the clock meanwhile, so time passes.
TEST_F(WriteTest, TheTimeOutIsStretchedBelow115200)
{
    struct Row {
        ULONG rate, multiplier, constant;
        size_t length;
        uint64_t dueMs;
    };
    const Row rows[] = {
        {9600, 10, 100, 20, 1800},
        {9600, 0, 10, 1, 60},
        {19200, 0, 10, 1, 30},
        {38400, 0, 10, 1, 10},
        {57600, 0, 10, 1, 10},
        {115200, 0, 10, 1, 10},
        {921600, 5, 0, 4, 20},
        {1200, 0, 10, 1, 480},
        {300, 0, 10, 1, 1920},
    };
    holdTransmission(true);
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << row.rate << " bit/s");
        rx->BaudRate = row.rate;
        setWriteTimeouts(row.multiplier, row.constant);
        uint64_t start = now();
        auto w = write(pattern(row.length));
        ASSERT_TRUE(w->wait());
        EXPECT_EQ(w->status(), STATUS_TIMEOUT);
        EXPECT_EQ(w->information(), 0u);
        EXPECT_EQ(w->completedAt() - start, row.dueMs * kMs);
        EXPECT_EQ(rx->WriteQueuedBytes, 0u);
    }
    holdTransmission(false);
    EXPECT_EQ(farReceived(), "");
}

TEST_F(WriteTest, WithoutTimeOutsAHeldWriteWaitsUntilReleased)
{
    BulkOutTap tap(*machine, rx);
    holdTransmission(true);
    auto w = write("held back");
    advance(10'000 * kMs);
    EXPECT_FALSE(w->done());
    EXPECT_TRUE(tap.chunks().empty());
    uint64_t released = now();
    holdTransmission(false);
    ASSERT_TRUE(w->wait());
    EXPECT_EQ(w->status(), STATUS_SUCCESS);
    // Noticed at the worker's next look, without any signal.
    ASSERT_EQ(tap.chunks().size(), 1u);
    EXPECT_LE(tap.chunks()[0].sentAt - released, WRITE_HOLD_POLL_MS * kMs);
    EXPECT_EQ(farReceived(), "held back");
}

// 100 bytes, the third chunk stuck in flight: the time-out cancels it,
// and the write ends with the 64 bytes sent only once the chunk is back.
// The write queued behind it is then taken up and sent whole.
TEST_F(WriteTest, ATimedOutWriteEndsAfterItsChunkAndTheNextIsTakenUp)
{
    BulkOutTap tap(*machine, rx);
    tap.holdChunk(3, true);
    setWriteTimeouts(0, 50);   // 300 ms at 9600 bit/s
    std::string first = pattern(100, 'a');
    uint64_t start = now();
    auto a = write(first);
    auto b = write("second");   // queued; it re-arms the port's timer for itself
    tap.watch(a.get());
    ASSERT_TRUE(a->wait());
    EXPECT_EQ(a->status(), STATUS_TIMEOUT);
    EXPECT_EQ(a->information(), 64u);
    EXPECT_EQ(a->completedAt(), start + 300 * kMs);
    EXPECT_EQ(tap.cancelledAt(), start + 300 * kMs);
    EXPECT_FALSE(tap.watchedDoneAtCancel());

    ASSERT_TRUE(b->wait());
    EXPECT_EQ(b->status(), STATUS_SUCCESS);
    EXPECT_EQ(b->information(), 6u);
    EXPECT_GT(b->order(), a->order());
    EXPECT_EQ(tap.lengths(), (std::vector<size_t>{32, 32, 32, 6}));
    EXPECT_EQ(farReceived(), first.substr(0, 64) + "second");
    EXPECT_EQ(rx->WriteQueuedBytes, 0u);
}

// A chunk the hardware has taken cannot be called back: the time-out's
// cancel does nothing and the write waits for the chunk, which counts for
// it. The next write starts from its own first byte.
TEST_F(WriteTest, ALateChunkCountsForItsOwnWriteNotTheNext)
{
    BulkOutTap tap(*machine, rx);
    tap.holdChunk(2, false);
    setWriteTimeouts(0, 20);   // 120 ms
    std::string first = pattern(80, 'a');
    uint64_t start = now();
    auto a = write(first);
    auto b = write("next one");
    settle(start + 200 * kMs);
    EXPECT_FALSE(a->done());
    EXPECT_EQ(tap.chunks().size(), 2u);   // nothing of the next write yet

    ULONG before = rx->PerfStats.TransmittedCount;
    tap.release();
    ASSERT_TRUE(a->wait());
    EXPECT_EQ(a->status(), STATUS_TIMEOUT);
    EXPECT_EQ(a->information(), 64u);
    ASSERT_TRUE(b->wait());
    EXPECT_EQ(b->status(), STATUS_SUCCESS);
    EXPECT_EQ(b->information(), 8u);
    auto chunks = tap.chunks();
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(chunks[2].bytes, "next one");
    EXPECT_EQ(ReadSharedUlong(&rx->PerfStats.TransmittedCount) - before, 32u + 8u);
    EXPECT_EQ(farReceived(), first.substr(0, 64) + "next one");
    EXPECT_EQ(rx->WriteQueuedBytes, 0u);
}

// The time-out came while the last chunk was on its way, and it went
// through: every byte was sent, and the write succeeds.
TEST_F(WriteTest, AWriteWhoseLastChunkWentThroughAsItTimedOutSucceeds)
{
    BulkOutTap tap(*machine, rx);
    tap.holdChunk(2, false);
    setWriteTimeouts(0, 20);
    auto a = write(pattern(40));
    advance(200 * kMs);
    EXPECT_FALSE(a->done());
    tap.release();
    ASSERT_TRUE(a->wait());
    EXPECT_EQ(a->status(), STATUS_SUCCESS);
    EXPECT_EQ(a->information(), 40u);
    EXPECT_EQ(farReceived(), pattern(40));
}

TEST_F(WriteTest, ASecondWriteIsStartedByTheLastChunkOfTheFirst)
{
    BulkOutTap tap(*machine, rx);
    auto a = write(pattern(40, 'a'));
    auto b = write(pattern(40, 'A'));
    EXPECT_EQ(b->returned(), STATUS_PENDING);
    EXPECT_EQ(rx->WriteQueuedBytes, 80u);
    ASSERT_TRUE(b->wait());
    ASSERT_TRUE(a->done());
    EXPECT_EQ(a->status(), STATUS_SUCCESS);
    EXPECT_EQ(b->status(), STATUS_SUCCESS);
    EXPECT_LT(a->order(), b->order());
    auto chunks = tap.chunks();
    ASSERT_EQ(chunks.size(), 4u);
    EXPECT_EQ(tap.lengths(), (std::vector<size_t>{32, 8, 32, 8}));
    EXPECT_GE(chunks[2].sentAt, a->completedAt());
    EXPECT_EQ(farReceived(), pattern(40, 'a') + pattern(40, 'A'));
}

TEST_F(WriteTest, AQueuedWriteCanBeCancelledTheCurrentOneCannot)
{
    holdTransmission(true);
    auto a = write("current");
    auto b = write("queued");
    EXPECT_EQ(rx->WriteQueuedBytes, 13u);
    EXPECT_FALSE(a->cancel());
    EXPECT_TRUE(Linked(rx->WriteQueue, b->irp()));
    EXPECT_TRUE(b->cancel());
    ASSERT_TRUE(b->done());
    EXPECT_EQ(b->status(), STATUS_CANCELLED);
    EXPECT_EQ(b->information(), 0u);
    EXPECT_TRUE(IsListEmpty(&rx->WriteQueue));
    EXPECT_EQ(rx->WriteQueuedBytes, 7u);
    holdTransmission(false);
    ASSERT_TRUE(a->wait());
    EXPECT_EQ(a->status(), STATUS_SUCCESS);
    EXPECT_EQ(farReceived(), "current");
}

TEST_F(WriteTest, RefusedWritesLeaveTheCurrentWriteAndItsTimeOutAlone)
{
    holdTransmission(true);
    setWriteTimeouts(0, 100);   // 600 ms
    uint64_t start = now();
    auto a = write("abc");
    advance(100 * kMs);

    auto empty = write("");
    ASSERT_TRUE(empty->done());
    EXPECT_EQ(empty->status(), STATUS_INVALID_PARAMETER);
    PortRequest noBuffer(*machine, device(), IRP_MJ_WRITE, "xyz", nullptr, false);
    ASSERT_TRUE(noBuffer.done());
    EXPECT_EQ(noBuffer.status(), STATUS_INVALID_PARAMETER);
    WriteSharedLong(&rx->Started, 0);
    auto stopped = write("xyz");
    WriteSharedLong(&rx->Started, 1);
    ASSERT_TRUE(stopped->done());
    EXPECT_EQ(stopped->status(), STATUS_DELETE_PENDING);
    EXPECT_EQ(stopped->information(), 0u);

    ASSERT_TRUE(a->wait());
    EXPECT_EQ(a->status(), STATUS_TIMEOUT);
    EXPECT_EQ(a->completedAt(), start + 600 * kMs);
    EXPECT_EQ(rx->WriteQueuedBytes, 0u);
}

TEST_F(WriteTest, AStalledChunkGoesAgainAfterAPipeResetAndPersistentErrorsEndOnlyThatWrite)
{
    // One stall: the pipe is reset and the chunk sent again; nothing is lost.
    uint64_t resets = hub().pipeResets(hubPort(0));
    hub().failNextOnPipe(hubPort(0), zmodel::kBulkOutEndpoint, 1, USBD_STATUS_STALL_PID);
    auto a = write("first");
    ASSERT_TRUE(a->wait());
    EXPECT_EQ(a->status(), STATUS_SUCCESS);
    EXPECT_EQ(a->information(), 5u);
    EXPECT_EQ(hub().pipeResets(hubPort(0)), resets + 1);
    EXPECT_EQ(farReceived(), "first");

    // Errors that go on: the write ends with a device error and what got
    // through, and the next write is sent.
    hub().failNextOnPipe(hubPort(0), zmodel::kBulkOutEndpoint, PIPE_ERROR_RETRIES + 1, USBD_STATUS_CRC);
    auto b = write("lost");
    auto c = write("sent");
    ASSERT_TRUE(b->wait());
    EXPECT_EQ(b->status(), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(b->information(), 0u);
    ASSERT_TRUE(c->wait());
    EXPECT_EQ(c->status(), STATUS_SUCCESS);
    EXPECT_EQ(farReceived(), "firstsent");
    EXPECT_EQ(rx->WriteQueuedBytes, 0u);
}

// The device goes while a chunk is in flight and another write waits: the
// chunk fails and its write ends, the waiting one is taken up and fails
// the same way, and the port goes with nothing left over (the fixture
// checks pool and IRPs).
TEST_F(WriteTest, SurpriseRemovalDuringAWriteEndsItAndTheQueue)
{
    hub().holdNextOnPipe(hubPort(0), zmodel::kBulkOutEndpoint);
    auto a = write(pattern(40));
    auto b = write("waiting");
    advance(10 * kMs);
    EXPECT_FALSE(a->done());
    InterlockedExchange(&rx->handles, 0);
    far.reset();
    unplugController();
    ASSERT_TRUE(a->done());
    EXPECT_EQ(a->status(), STATUS_DELETE_PENDING);
    rx = nullptr;
    // Taken up after the first and sent to a device that is gone.
    ASSERT_TRUE(b->done());
    EXPECT_EQ(b->status(), STATUS_DELETE_PENDING);
    EXPECT_EQ(zsim::portImage(*machine), nullptr);
}

// Writes still held when the device goes (no handle was closed to end them)
// end as writes to a device that is gone, the queued one first.
TEST_F(WriteTest, RemovalEndsTheWritesLeft)
{
    holdTransmission(true);
    auto a = write("held");
    auto b = write("queued");
    InterlockedExchange(&rx->handles, 0);
    rx = nullptr;
    far.reset();
    unplugController();
    ASSERT_TRUE(a->done());
    ASSERT_TRUE(b->done());
    EXPECT_EQ(b->status(), STATUS_DELETE_PENDING);
    EXPECT_EQ(a->status(), STATUS_DELETE_PENDING);
    EXPECT_LT(b->order(), a->order());
}

} // namespace
} // namespace ztest
