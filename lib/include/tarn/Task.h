#pragma once

namespace tarn {

/// A unit of work for a reactor. For every accepted post() or schedule() the
/// reactor calls exactly one of execute() and discard(), once, unless a
/// scheduled entry is cancelled first (then neither). The reactor never
/// deletes a task: its creator owns it and keeps it alive until one of the two
/// calls has returned; a task may delete itself at the end of either, provided
/// it raises nothing afterwards.
class Task {
public:
    virtual ~Task() = default;
    /// The work, on the reactor thread.
    virtual void execute() = 0;
    /// Called instead of execute() when the reactor will not run the task: on
    /// the reactor thread while its loop ends, or at once on the poster's
    /// thread when the reactor had already stopped.
    virtual void discard() = 0;
};

}  // namespace tarn
