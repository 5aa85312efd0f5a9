#pragma once

#include <cstdint>

namespace tresor::posix {

// How coarse the time stamps of a file system may be, and from when on a stamp tells one state of a file
// from every later one.
//
// File systems stamp times in steps of their own: the usual Linux ones in nanoseconds from a clock that
// moves once a tick (4 to 10 ms), NTFS in 100 ns, exFAT in 10 ms, exFAT through FUSE in whole seconds, FAT in
// 2 s. A file written twice within one step shows the same times both times, and with the same size the two
// states cannot be told apart. A state is only fit to be recorded as backed up once its stamp's step is
// over: from then on every change gets a later stamp.
//
// The step is read from the stamp itself: a stamp lies on its file system's grid, so the coarsest of the
// steps above (and their tens) that divides it is at least the file system's own. That asks the file system
// nothing, and it errs only towards a longer step (a nanosecond stamp that happens to be round), which costs
// a short wait, never a state taken for another.

// The coarsest step of 1 ns, 10 ns, ... 1 s and 2 s that divides the stamp `stempelNs` (nanoseconds since
// the epoch, also before it).
std::int64_t ZeitrasterNs(std::int64_t stempelNs);

// How far the stamp of a change made right now may lie ahead of a reading of the coarse clock taken before
// it (a tick of that clock and the time to the stamp; 7.4 ms were seen at a tick of 4 ms, more on a busy
// machine). A stamp further ahead was set by hand or by a clock that was put back: no change made now gets
// it.
inline constexpr std::int64_t StempelvorlaufNs = 50'000'000;

// The clock the kernel stamps times from (CLOCK_REALTIME_COARSE), in nanoseconds since the epoch: the reading
// that StempelEindeutig compares stamps with.
std::int64_t GrobeUhrNs();

// True when every change made after the clock read `uhrNs` (CLOCK_REALTIME_COARSE or a finer one) gets
// another stamp than `stempelNs`: the stamp's step is over by then, or the stamp lies further ahead than a
// change made now could give.
bool StempelEindeutig(std::int64_t stempelNs, std::int64_t uhrNs);

// How long at most to wait for the stamp `stempelNs` to become one that StempelEindeutig accepts, when the
// file is not changed meanwhile: its step, the lead a stamp may have, and a step more.
std::int64_t StempelWartezeitNs(std::int64_t stempelNs);

} // namespace tresor::posix
