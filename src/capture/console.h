// Where the capture layer's dialogs talk to the user: the process's terminal, or streams in tests.
#pragma once

#include <iosfwd>
#include <string>

struct Console {
	std::istream *in;
	std::ostream *out; // dialog text; the process's stderr, so that stdout stays the program's
	bool isTerminal;   // only a terminal is asked anything, and only in the foreground
};

// Main thread. Standard input and standard error, and whether standard input is the terminal of
// a foreground process; or the console that overrideConsole() set.
Console &captureConsole();

// Main thread, for tests: dialogs use console from now on; null restores the process's own.
void overrideConsole(const Console *console);

// Reads one line from the console into answer, without surrounding blanks. False at the end of
// input.
bool readAnswer(Console &console, std::string &answer);
