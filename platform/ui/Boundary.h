// The one place where the framework meets the toolkit's event loop. Every slot or event that runs a
// screen's handlers goes through run(): the silent abort ends the handler without a word, any other
// exception is shown in the host's error box, and nothing ever crosses the event loop.
#pragma once

#include <functional>

namespace Boundary {

enum class Outcome { Completed, Aborted, Failed };

// Runs fn; returns how it ended. EAbort (and everything derived from it) gives Aborted and shows nothing;
// any other exception is shown as an error and gives Failed.
Outcome run(const std::function<void()>& fn);

// For painting and similar places where no box may open: failures are written to the warning log.
Outcome runQuiet(const std::function<void()>& fn);

inline bool completed(Outcome o) { return o == Outcome::Completed; }

}  // namespace Boundary
