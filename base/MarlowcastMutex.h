#pragma once
// Whether Marlowcast runs, as its instance mutex tells: the supervisor's
// health check, the upgrade's wait for Marlowcast to exit and a second start
// of the supervisor all ask the same question.

// True while Marlowcast's instance mutex exists, and also when its absence
// cannot be established (a mutex that exists but may not be opened counts as
// running). Keeps nothing open; any thread may ask.
bool IsMarlowcastRunning();
