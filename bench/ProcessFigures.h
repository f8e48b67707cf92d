// What the window figures ask of the system about this process: how long ago it was started
// and its peak memory. One file per system (ProcessFiguresPosix.cpp, ProcessFiguresWin32.cpp).
#pragma once

namespace quillon::bench {

// Milliseconds since the system started this process.
double MillisSinceProcessStart();
// Peak resident memory (Linux: maximum RSS; Windows: peak working set), in MiB.
double PeakMemoryMiB();

}  // namespace quillon::bench
