// The countdown kept for the running event of one list. The list control owns
// one for the lifetime of its view; rebuilding the rows does not reset it.
// GUI thread only.
#pragma once

#include "model/PlaylistEvent.h"
#include "model/Timecode.h"

class RunningEventState {
public:
    // The row counted down, -1 for none (the start).
    int RunningRow() const { return runningRow_; }
    // The remaining time shown for that row; 00:00:00:00 at the start.
    const Timecode& Countdown() const { return countdown_; }

    // Call after appending `event` at `row` with all its texts set. For an
    // event that is not Running: nothing, returns false. For a Running one:
    // at a row other than RunningRow() the countdown restarts from the
    // event's duration and that row becomes RunningRow(); at the same row the
    // countdown goes on. Returns true: the caller selects `row`.
    bool ApplyRunningRule(int row, const PlaylistEvent& event);

    // One step of the one-second timer. Returns false when no row is counted
    // down. Otherwise the countdown is one second less and the caller writes
    // Countdown().Format() into the Duration column of RunningRow() (a row
    // that no longer exists is simply not written).
    bool Tick();
    // `steps` one-second steps at once (a late timer catches up); false when
    // no row is counted down. At most kMaxSteps are applied.
    bool Tick(long steps);
    static constexpr long kMaxSteps = 1000000;

private:
    int runningRow_ = -1;
    Timecode countdown_;
};
