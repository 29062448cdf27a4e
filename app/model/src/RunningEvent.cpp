#include "model/RunningEvent.h"

bool RunningEventState::ApplyRunningRule(int row, const PlaylistEvent& event) {
    if (!event.IsRunning()) return false;
    // The row index is the only identity: the same index keeps counting.
    if (row != runningRow_) {
        countdown_ = event.duration;
        runningRow_ = row;
    }
    return true;
}

bool RunningEventState::Tick() { return Tick(1); }

bool RunningEventState::Tick(long steps) {
    if (runningRow_ == -1) return false;
    if (steps > kMaxSteps) steps = kMaxSteps;
    for (long i = 0; i < steps; ++i) countdown_.CountDownOneSecond();
    return true;
}
