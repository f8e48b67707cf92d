// What the window figures ask of the system about this process: how long ago it was started,
// its peak memory and a thread's CPU time. One file per system (ProcessFiguresPosix.cpp, ProcessFiguresWin32.cpp).
#pragma once

namespace quillon::bench {

// Milliseconds since the system started this process.
double MillisSinceProcessStart();
// Peak resident memory (Linux: maximum RSS; Windows: peak working set), in MiB.
double PeakMemoryMiB();
// CPU time the calling thread has used, in milliseconds (tells a busy thread from a starved one).
double ThreadCpuMillis();

}  // namespace quillon::bench
