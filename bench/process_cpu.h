// CPU time of this process and of the X server beside it, for the benchmarks that paint windows.
#pragma once

#include <sys/types.h>

// CPU time of every thread of this process so far, in ms. Any thread.
double processCpuMs();

// The Xvfb started beside this process by the same parent (tests/run_with_xvfb.sh does so), or 0
// where there is none: a paint's work in the X server happens there, outside this process.
pid_t siblingXvfb();

// CPU time of another process so far, in ms, at the kernel's tick resolution; 0 for pid 0.
double otherProcessCpuMs(pid_t pid);
