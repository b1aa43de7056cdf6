// The program's own main, compiled under another name (CMakeLists.txt) for the timed viewer and the
// end-to-end tests' viewer, so that they run exactly what users run once their cameras or
// observers are in place: the process settings and the command line included.
#pragma once

int viewerMain(int argc, char **argv);
