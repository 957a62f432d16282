// Pin state changes: the framework walks the pin through every state in between, one
// SetDeviceState call per step, and stops the walk at the first step the driver refuses.
#include "ks_test_fixture.h"

namespace kstest {
namespace {

using ksclient::Filter;
using ksclient::Pin;

class KsPinState : public KsOpenPinTest {
protected:

    KSSTATE CurrentState() const
    {
        KSSTATE state = static_cast<KSSTATE>(-1);
        EXPECT_EQ(pin_.GetState(state), STATUS_SUCCESS);
        return state;
    }

    static StateStep Step(KSSTATE to, KSSTATE from) { return StateStep{to, from, from}; }

};

TEST_F(KsPinState, StopToRunArrivesOneStepAtATime)
{
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(StateSteps(), (std::vector<StateStep>{Step(KSSTATE_ACQUIRE, KSSTATE_STOP),
                                                    Step(KSSTATE_PAUSE, KSSTATE_ACQUIRE),
                                                    Step(KSSTATE_RUN, KSSTATE_PAUSE)}));
    EXPECT_EQ(CurrentState(), KSSTATE_RUN);
}

TEST_F(KsPinState, RunToStopWalksBackDown)
{
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    std::size_t up = StateSteps().size();
    ASSERT_EQ(pin_.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    std::vector<StateStep> steps = StateSteps();
    ASSERT_GE(steps.size(), up);
    std::vector<StateStep> down(steps.begin() + static_cast<std::ptrdiff_t>(up), steps.end());
    EXPECT_EQ(down, (std::vector<StateStep>{Step(KSSTATE_PAUSE, KSSTATE_RUN),
                                            Step(KSSTATE_ACQUIRE, KSSTATE_PAUSE),
                                            Step(KSSTATE_STOP, KSSTATE_ACQUIRE)}));
    EXPECT_EQ(CurrentState(), KSSTATE_STOP);
}

TEST_F(KsPinState, SingleStepsAndRepeatsCallTheDriverOnlyForChanges)
{
    ASSERT_EQ(pin_.SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(CurrentState(), KSSTATE_ACQUIRE);
    ASSERT_EQ(pin_.SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);  // already there
    ASSERT_EQ(pin_.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(pin_.SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    EXPECT_EQ(StateSteps(), (std::vector<StateStep>{Step(KSSTATE_ACQUIRE, KSSTATE_STOP),
                                                    Step(KSSTATE_PAUSE, KSSTATE_ACQUIRE),
                                                    Step(KSSTATE_ACQUIRE, KSSTATE_PAUSE)}));
    EXPECT_EQ(CurrentState(), KSSTATE_ACQUIRE);
}

TEST_F(KsPinState, InvalidStateValueIsRefused)
{
    EXPECT_FALSE(NT_SUCCESS(pin_.SetState(static_cast<KSSTATE>(7))));
    EXPECT_TRUE(StateSteps().empty());
    EXPECT_EQ(CurrentState(), KSSTATE_STOP);
}

TEST_F(KsPinState, FailingStepStopsTheWalkAndReportsItsStatus)
{
    Config config = CurrentConfig();
    config.failStep = true;
    config.failTo = KSSTATE_PAUSE;
    config.failFrom = KSSTATE_ACQUIRE;
    config.failStatus = STATUS_INSUFFICIENT_RESOURCES;
    SetConfig(config);

    EXPECT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(StateSteps(), (std::vector<StateStep>{Step(KSSTATE_ACQUIRE, KSSTATE_STOP),
                                                    Step(KSSTATE_PAUSE, KSSTATE_ACQUIRE)}));
    EXPECT_EQ(CurrentState(), KSSTATE_ACQUIRE);  // the last step that succeeded

    // Once the driver agrees, the walk continues from where it stopped.
    config.failStep = false;
    SetConfig(config);
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    std::vector<StateStep> steps = StateSteps();
    ASSERT_EQ(steps.size(), 4u);
    EXPECT_EQ(steps[2], Step(KSSTATE_PAUSE, KSSTATE_ACQUIRE));
    EXPECT_EQ(steps[3], Step(KSSTATE_RUN, KSSTATE_PAUSE));
    EXPECT_EQ(CurrentState(), KSSTATE_RUN);
}

TEST_F(KsPinState, FailingFirstStepLeavesThePinStopped)
{
    Config config = CurrentConfig();
    config.failStep = true;
    config.failTo = KSSTATE_ACQUIRE;
    config.failFrom = KSSTATE_STOP;
    config.failStatus = STATUS_SHARING_VIOLATION;
    SetConfig(config);

    EXPECT_EQ(pin_.SetState(KSSTATE_PAUSE), STATUS_SHARING_VIOLATION);
    EXPECT_EQ(StateSteps().size(), 1u);
    EXPECT_EQ(CurrentState(), KSSTATE_STOP);
}

TEST_F(KsPinState, FailingStepOnTheWayDownStopsThere)
{
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    Config config = CurrentConfig();
    config.failStep = true;
    config.failTo = KSSTATE_ACQUIRE;
    config.failFrom = KSSTATE_PAUSE;
    config.failStatus = STATUS_DEVICE_BUSY;
    SetConfig(config);

    EXPECT_EQ(pin_.SetState(KSSTATE_STOP), STATUS_DEVICE_BUSY);
    EXPECT_EQ(CurrentState(), KSSTATE_PAUSE);
    EXPECT_EQ(StateSteps().back(), Step(KSSTATE_ACQUIRE, KSSTATE_PAUSE));

    config.failStep = false;
    SetConfig(config);  // so that the close can bring the pin down
}

TEST_F(KsPinState, ClosingARunningPinWalksItDownFirst)
{
    ASSERT_EQ(pin_.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(pin_.Close(), STATUS_SUCCESS);
    std::vector<StateStep> steps = StateSteps();
    ASSERT_EQ(steps.size(), 6u);
    EXPECT_EQ(steps[3], Step(KSSTATE_PAUSE, KSSTATE_RUN));
    EXPECT_EQ(steps[4], Step(KSSTATE_ACQUIRE, KSSTATE_PAUSE));
    EXPECT_EQ(steps[5], Step(KSSTATE_STOP, KSSTATE_ACQUIRE));
    EXPECT_EQ(Observed().pinCloses, 1);
}

}  // namespace
}  // namespace kstest
