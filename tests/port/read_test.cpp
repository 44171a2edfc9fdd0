// Read requests through IRP_MJ_READ on a started port, with bytes from the
// far end of the line and time-outs on the machine clock (exact: a 100 ms
// time-out ends at +100 ms).
#include "receive_fixture.h"

#include <optional>

namespace ztest {
namespace {

constexpr ULONG kForever = MAXULONG;

class ReadTest : public ReceiveTest {};

// Every row of the time-out table, with nothing arriving: the read either
// completes at once, times out after its total time, or waits.
TEST_F(ReadTest, TheTimeOutSettingsChooseBetweenAtOnceTotalTimerAndWaiting)
{
    struct Row {
        ULONG interval, multiplier, constant, length;
        std::optional<uint64_t> totalMs;   // none: no total timer
        bool atOnce;
    };
    const Row rows[] = {
        {kForever, 0, 0, 10, std::nullopt, true},          // what is present, now
        {kForever, 7, kForever, 10, std::nullopt, false},  // waits for the bytes
        {kForever, 0, 100, 10, 100, false},
        {kForever, kForever, 30, 10, 30, false},           // the multiplier counts as 0
        {kForever, 4, 0, 10, 40, false},
        {0, 0, 0, 10, std::nullopt, false},
        {25, 0, 0, 10, std::nullopt, false},
        {0, 2, 10, 10, 30, false},
        {20, 0, 60, 10, 60, false},
        {0, kForever, 0, 1, 4294967295ull, false},         // MAXULONG is a number here
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "interval " << row.interval << " multiplier " << row.multiplier
                                        << " constant " << row.constant);
        setTimeouts(row.interval, row.multiplier, row.constant);
        uint64_t start = now();
        ReadRequest r(*machine, device(), row.length);
        if (row.atOnce) {
            ASSERT_TRUE(r.done());
            EXPECT_EQ(r.returned(), STATUS_SUCCESS);
            EXPECT_EQ(r.status(), STATUS_SUCCESS);
            EXPECT_EQ(r.information(), 0u);
            continue;
        }
        EXPECT_EQ(r.returned(), STATUS_PENDING);
        if (row.totalMs && *row.totalMs < 60'000) {
            ASSERT_TRUE(r.wait());
            EXPECT_EQ(r.status(), STATUS_TIMEOUT);
            EXPECT_EQ(r.information(), 0u);
            EXPECT_EQ(r.completedAt() - start, *row.totalMs * kMs);
        } else {
            advance(10'000 * kMs);
            EXPECT_FALSE(r.done());
            EXPECT_TRUE(r.cancel());
            ASSERT_TRUE(r.wait());
            EXPECT_EQ(r.status(), STATUS_CANCELLED);
        }
    }
}

TEST_F(ReadTest, HeldBytesAreReadAtOnce)
{
    settle(send("hello, world"));
    EXPECT_EQ(held(), 12u);
    setTimeouts(0, 0, 0);
    ReadRequest first(*machine, device(), 5);
    ASSERT_TRUE(first.done());
    EXPECT_EQ(first.status(), STATUS_SUCCESS);
    EXPECT_EQ(first.data(), "hello");
    // Return-what-is-present gives the rest, less than asked for.
    setTimeouts(kForever, 0, 0);
    ReadRequest rest(*machine, device(), 100);
    ASSERT_TRUE(rest.done());
    EXPECT_EQ(rest.status(), STATUS_SUCCESS);
    EXPECT_EQ(rest.data(), ", world");
    EXPECT_EQ(held(), 0u);
}

TEST_F(ReadTest, ATotalTimeOutEndsTheReadAtExactlyItsTimeWithWhatArrived)
{
    setTimeouts(0, 0, 100);
    uint64_t start = now();
    ReadRequest empty(*machine, device(), 10);
    ASSERT_TRUE(empty.wait());
    EXPECT_EQ(empty.status(), STATUS_TIMEOUT);
    EXPECT_EQ(empty.information(), 0u);
    EXPECT_EQ(empty.completedAt(), start + 100 * kMs);

    start = now();
    ReadRequest partial(*machine, device(), 10);
    advance(30 * kMs);
    send("abcd");
    ASSERT_TRUE(partial.wait());
    EXPECT_EQ(partial.status(), STATUS_TIMEOUT);
    EXPECT_EQ(partial.data(), "abcd");
    EXPECT_EQ(partial.completedAt(), start + 100 * kMs);
}

TEST_F(ReadTest, TheIntervalTimerIsReArmedAfterEachTransferButNeverPastTheTotal)
{
    setTimeouts(20, 0, 1000);
    uint64_t start = now();
    ReadRequest r(*machine, device(), 10);
    // Each transfer that leaves bytes held re-arms the interval: 20 ms
    // (Interval x 10,000 in 100-ns units) from its completion.
    advance(100 * kMs);
    send("a");
    advance(15 * kMs);
    send("b");
    advance(15 * kMs);
    uint64_t last = send("c");
    settle(last + 19 * kMs);
    EXPECT_FALSE(r.done());
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(r.status(), STATUS_TIMEOUT);
    EXPECT_EQ(r.data(), "abc");
    EXPECT_EQ(r.completedAt(), last + 20 * kMs);
    EXPECT_LT(r.completedAt(), start + 1000 * kMs);

    // Bytes 10 ms before the total runs out: the interval is cut short.
    start = now();
    ReadRequest late(*machine, device(), 10);
    advance(990 * kMs);
    send("z");
    ASSERT_TRUE(late.wait());
    EXPECT_EQ(late.status(), STATUS_TIMEOUT);
    EXPECT_EQ(late.data(), "z");
    EXPECT_EQ(late.completedAt(), start + 1000 * kMs);
}

TEST_F(ReadTest, WithOnlyAnIntervalTheFirstBytesEndTheRead)
{
    setTimeouts(50, 0, 0);
    ReadRequest r(*machine, device(), 10);
    advance(500 * kMs);
    EXPECT_FALSE(r.done());
    uint64_t first = send("x");
    send("y");
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(r.status(), STATUS_SUCCESS);
    EXPECT_EQ(r.data(), "x");
    EXPECT_EQ(r.completedAt(), first);
    settle(first + 2 * kMs);
    EXPECT_EQ(held(), 1u);
}

TEST_F(ReadTest, WithoutTimeOutsAReadWaitsForAllItsBytes)
{
    setTimeouts(0, 0, 0);
    settle(send("abcd"));
    ReadRequest r(*machine, device(), 10);
    EXPECT_EQ(r.returned(), STATUS_PENDING);
    send("ef");
    advance(100 * kMs);
    EXPECT_FALSE(r.done());
    uint64_t last = send("ghij");
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(r.status(), STATUS_SUCCESS);
    EXPECT_EQ(r.data(), "abcdefghij");
    EXPECT_EQ(r.completedAt(), last);
}

TEST_F(ReadTest, AReceiveEventTheApplicationWaitsForEndsTheCurrentRead)
{
    setTimeouts(0, 0, 0);
    ReadRequest without(*machine, device(), 10);
    send("ab");
    advance(10 * kMs);
    EXPECT_FALSE(without.done());
    send("cdefghij");
    ASSERT_TRUE(without.wait());
    EXPECT_EQ(without.data(), "abcdefghij");

    // Waited for and seen, SERIAL_EV_RXCHAR ends the read after the next
    // transfer: here the one that brings the 'k'.
    rx->WaitMask = SERIAL_EV_RXCHAR;
    ReadRequest r(*machine, device(), 10);
    uint64_t first = send("k");
    send("l");
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(r.status(), STATUS_SUCCESS);
    EXPECT_EQ(r.data(), "k");
    EXPECT_EQ(r.completedAt(), first);
    EXPECT_TRUE(ReadSharedUlong(&rx->HistoryMask) & SERIAL_EV_RXCHAR);
}

TEST_F(ReadTest, CancellingAQueuedReadLeavesTheCurrentOneAndTheCurrentOneCanBeCancelledToo)
{
    setTimeouts(0, 0, 0);
    ReadRequest current(*machine, device(), 4);
    settle(send("a"));
    ASSERT_EQ(rx->CurrentReadIrp, current.irp());
    ReadRequest queued(*machine, device(), 4);
    ReadRequest last(*machine, device(), 2);
    EXPECT_TRUE(Linked(rx->ReadQueue, queued.irp()));
    EXPECT_TRUE(queued.cancel());
    ASSERT_TRUE(queued.done());
    EXPECT_EQ(queued.status(), STATUS_CANCELLED);
    EXPECT_EQ(queued.information(), 0u);
    EXPECT_EQ(rx->CurrentReadIrp, current.irp());
    // It has left the queue; the one behind it has not.
    EXPECT_FALSE(Linked(rx->ReadQueue, queued.irp()));
    EXPECT_TRUE(Linked(rx->ReadQueue, last.irp()));

    // The current read ends too when its requester gives up (CancelIo, the
    // thread or the process ending); the byte it had not taken stays for
    // the next read, which becomes current.
    EXPECT_TRUE(current.cancel());
    ASSERT_TRUE(current.done());
    EXPECT_EQ(current.status(), STATUS_CANCELLED);
    EXPECT_EQ(current.information(), 0u);
    EXPECT_EQ(rx->CurrentReadIrp, last.irp());
    EXPECT_TRUE(IsListEmpty(&rx->ReadQueue));
    send("b");
    ASSERT_TRUE(last.wait());
    EXPECT_EQ(last.status(), STATUS_SUCCESS);
    EXPECT_EQ(last.data(), "ab");
}

TEST_F(ReadTest, EachReadKeepsItsOwnTimeOutWhateverComesAfterIt)
{
    setTimeouts(0, 0, 100);
    uint64_t start = now();
    ReadRequest first(*machine, device(), 10);
    advance(1 * kMs);
    settle(send("x"));
    advance(5 * kMs);
    ASSERT_EQ(rx->CurrentReadIrp, first.irp());

    // A refused read, one answered at once and a queued one without time-outs
    // leave the first read's time-out as it was.
    ReadRequest refused(*machine, device(), 0);
    EXPECT_EQ(refused.returned(), STATUS_INVALID_PARAMETER);
    setTimeouts(0, 0, 0);
    ReadRequest second(*machine, device(), 3);
    EXPECT_FALSE(second.done());
    ASSERT_TRUE(first.wait());
    EXPECT_EQ(first.status(), STATUS_TIMEOUT);
    EXPECT_EQ(first.data(), "x");
    EXPECT_EQ(first.completedAt(), start + 100 * kMs);

    // The second became current with no time-out of its own: the expiry of
    // the first's timer does not end it. It is served by the next bytes.
    EXPECT_EQ(rx->CurrentReadIrp, second.irp());
    advance(300 * kMs);
    EXPECT_FALSE(second.done());
    send("abc");
    ASSERT_TRUE(second.wait());
    EXPECT_EQ(second.status(), STATUS_SUCCESS);
    EXPECT_EQ(second.data(), "abc");
}

TEST_F(ReadTest, ReadsCompleteInTheOrderTheyCameAndAQueuedReadTimesOutOnItsOwn)
{
    setTimeouts(0, 0, 0);
    ReadRequest first(*machine, device(), 4);
    // The ring already holds what the second read asks for, but the second
    // waits behind the first.
    settle(send("ab"));
    setTimeouts(0, 0, 50);
    uint64_t start = now();
    ReadRequest second(*machine, device(), 1);
    EXPECT_FALSE(second.done());
    EXPECT_FALSE(first.done());
    settle(send("cd"));
    ASSERT_TRUE(first.done());
    EXPECT_EQ(first.data(), "abcd");
    // Then the second is served at once from what follows, or times out on
    // its own deadline, counted from when it was issued.
    ASSERT_TRUE(second.wait());
    EXPECT_EQ(second.status(), STATUS_TIMEOUT);
    EXPECT_EQ(second.information(), 0u);
    EXPECT_EQ(second.completedAt(), start + 50 * kMs);
}

TEST_F(ReadTest, AReadWithoutLengthOrBufferIsRefused)
{
    ReadRequest empty(*machine, device(), 0);
    ASSERT_TRUE(empty.done());
    EXPECT_EQ(empty.returned(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(empty.status(), STATUS_INVALID_PARAMETER);
    ReadRequest noBuffer(*machine, device(), 8, false);
    ASSERT_TRUE(noBuffer.done());
    EXPECT_EQ(noBuffer.status(), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(noBuffer.information(), 0u);
}

TEST_F(ReadTest, AStoppedPortRefusesReadsAndARestartResumesReception)
{
    PVOID worker = rx->ReadThread;
    ASSERT_EQ(machine->pnp().queryStopDevice(pdo(0)), STATUS_SUCCESS);
    ASSERT_EQ(machine->pnp().stopDevice(pdo(0)), STATUS_SUCCESS);
    EXPECT_EQ(ReadSharedLong(&rx->DeviceState), PortStateStopped);
    EXPECT_EQ(rx->BulkInContext.Idle, 1);
    ReadRequest refused(*machine, device(), 4);
    ASSERT_TRUE(refused.done());
    EXPECT_EQ(refused.status(), STATUS_DELETE_PENDING);

    ASSERT_EQ(machine->pnp().startDevice(pdo(0)), STATUS_SUCCESS);
    advance(1);
    EXPECT_EQ(rx->ReadThread, worker);
    EXPECT_EQ(rx->BulkInContext.Idle, 0);
    setTimeouts(0, 0, 0);
    ReadRequest r(*machine, device(), 4);
    send("next");
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(r.data(), "next");
}

TEST_F(ReadTest, ACancelledRemovalLeavesReceptionRunning)
{
    setTimeouts(0, 0, 0);
    ASSERT_EQ(machine->pnp().queryRemoveDevice(pdo(0)), STATUS_SUCCESS);
    ReadRequest during(*machine, device(), 2);
    send("q1");
    ASSERT_TRUE(during.wait());
    EXPECT_EQ(during.data(), "q1");
    ASSERT_EQ(machine->pnp().cancelRemoveDevice(pdo(0)), STATUS_SUCCESS);
    EXPECT_EQ(ReadSharedLong(&rx->DeviceState), PortStateStarted);
    ReadRequest after(*machine, device(), 2);
    send("q2");
    ASSERT_TRUE(after.wait());
    EXPECT_EQ(after.data(), "q2");
}

TEST_F(ReadTest, LineErrorsOnTheWireAreRecordedFromTheStatusBytes)
{
    settle(far->send("a", zmodel::kFramingFault) + zmodel::kTransferLatency);
    EXPECT_EQ(rx->PerfStats.FrameErrorCount, 1u);
    EXPECT_EQ(rx->BreakErrorFlag, 0u);
    settle(far->sendBreak(20 * kMs) + 2 * kMs);
    EXPECT_EQ(rx->BreakErrorFlag, 1u);
    settle(far->send("bc", zmodel::kOverrunFault) + zmodel::kTransferLatency);
    EXPECT_EQ(rx->PerfStats.SerialOverrunErrorCount, 1u);
    EXPECT_EQ(rx->PerfStats.ParityErrorCount, 0u);
}

TEST_F(ReadTest, AnUnpluggedDeviceFailsTheCurrentRead)
{
    setTimeouts(0, 0, 0);
    ReadRequest r(*machine, device(), 10);
    settle(send("a"));
    ASSERT_EQ(rx->CurrentReadIrp, r.irp());
    hub().disconnect(hubPort(0));
    ASSERT_TRUE(r.wait());
    EXPECT_EQ(r.status(), STATUS_DELETE_PENDING);
    EXPECT_EQ(r.information(), 0u);
}

} // namespace
} // namespace ztest
