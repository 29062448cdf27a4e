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

bool RunningEventState::Tick() {
    if (runningRow_ == -1) return false;
    countdown_.CountDownOneSecond();
    return true;
}
