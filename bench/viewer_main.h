// The program's own main, compiled for the timed viewer under another name (bench/CMakeLists.txt),
// so that the timed viewer runs exactly what users run once its observers are in place.
#pragma once

int viewerMain(int argc, char **argv);
