// Events and waits: time-outs, wake-ups from other threads, auto-reset behaviour and the
// verifier's rule against blocking at DISPATCH_LEVEL.
#include <gtest/gtest.h>

#include <ntoskrnl/host/verifier.h>
#include <wdm.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

LARGE_INTEGER RelativeMs(LONGLONG ms)
{
    LARGE_INTEGER timeout;
    timeout.QuadPart = -ms * 10'000;
    return timeout;
}

TEST(Event, WaitTimesOutAfterTheRelativeInterval)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER timeout = RelativeMs(30);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
              STATUS_TIMEOUT);
    // The wait lasted at least the interval asked for (a lower bound only).
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
}

TEST(Event, ZeroTimeoutPollsWithoutBlocking)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
}

TEST(Event, AbsoluteTimeoutInThePastReturnsAtOnce)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER past;
    KeQuerySystemTime(&past);
    past.QuadPart -= 10'000'000;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &past), STATUS_TIMEOUT);
}

TEST(Event, WaitIsSatisfiedBySetFromAnotherThread)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::thread setter([&event] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    });
    LARGE_INTEGER timeout = RelativeMs(10'000);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
              STATUS_SUCCESS);
    setter.join();
    // A notification event stays signalled until it is reset.
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST(Event, NotificationReleasesEveryWaiter)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<int> woken{0};
    std::thread waiters[3];
    for (auto& waiter : waiters) {
        waiter = std::thread([&] {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            ++woken;
        });
    }
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    for (auto& waiter : waiters) {
        waiter.join();
    }
    EXPECT_EQ(woken, 3);
}

TEST(Event, SynchronizationEventReleasesOneWaiterPerSet)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<int> woken{0};
    auto waitOnce = [&] {
        LARGE_INTEGER timeout = RelativeMs(2'000);
        if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) ==
            STATUS_SUCCESS) {
            ++woken;
        }
    };
    std::thread first(waitOnce);
    std::thread second(waitOnce);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    // Wait until exactly one waiter has consumed the signal.
    while (woken == 0) {
        std::this_thread::yield();
    }
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    first.join();
    second.join();
    EXPECT_EQ(woken, 2);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST(Event, WaiterThatTimedOutLeavesTheEventForTheOthers)
{
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    std::atomic<bool> patientWoken{false};
    std::thread patient([&] {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        patientWoken = true;
    });
    // Several short waits come and go on other stacks while the patient waiter sleeps; a
    // wait that is over must not stay queued on the event.
    for (int round = 0; round < 3; ++round) {
        std::thread hasty([&] {
            LARGE_INTEGER timeout = RelativeMs(10);
            EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout),
                      STATUS_TIMEOUT);
        });
        hasty.join();
    }
    EXPECT_FALSE(patientWoken);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    patient.join();
    EXPECT_TRUE(patientWoken);
}

TEST(Event, SetReturnsThePreviousState)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);
    KeClearEvent(&event);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
}

TEST(EventDeathTest, BlockingWaitAtDispatchLevelStops)
{
    EXPECT_DEATH(
        {
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            LARGE_INTEGER timeout = RelativeMs(1);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        },
        "blocking wait at DISPATCH_LEVEL.*STOP: 0x000000C4 \\(0x3A, 0x2,");
}

TEST(Event, PollAtDispatchLevelIsAllowed)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    NTSTATUS status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero);
    KeLowerIrql(old);
    EXPECT_EQ(status, STATUS_SUCCESS);
}

TEST(Clock, InterruptTimeAdvancesAndSystemTimeIsAfter1601)
{
    ULONGLONG first = KeQueryInterruptTime();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_GT(KeQueryInterruptTime(), first);
    LARGE_INTEGER now;
    KeQuerySystemTime(&now);
    // 2020-01-01 in 100 ns units since 1601-01-01.
    EXPECT_GT(now.QuadPart, 132'223'104'000'000'000LL);
    LARGE_INTEGER frequency;
    KeQueryPerformanceCounter(&frequency);
    EXPECT_EQ(frequency.QuadPart, 10'000'000);
}

}  // namespace
