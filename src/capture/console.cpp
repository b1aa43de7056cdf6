// The process's console for the capture layer's dialogs, and a test hook to replace it.
#include "console.h"

#include <iostream>

#include <unistd.h>

namespace {

const Console *&consoleOverride()
{
	static const Console *console = nullptr; // main thread only
	return console;
}

// A terminal the process may read: a background job that reads its terminal is stopped by the
// shell's job control, and would wait there unseen.
bool askableTerminal()
{
	return isatty(STDIN_FILENO) == 1 && tcgetpgrp(STDIN_FILENO) == getpgrp();
}

} // namespace

Console &captureConsole()
{
	static Console own{ &std::cin, &std::cerr, askableTerminal() };
	static Console current; // main thread only
	current = consoleOverride() ? *consoleOverride() : own;
	return current;
}

void overrideConsole(const Console *console)
{
	consoleOverride() = console;
}

bool readAnswer(Console &console, std::string &answer)
{
	std::string line;
	if (!std::getline(*console.in, line)) {
		// Leaves the prompt's line, so that what follows starts on a line of its own.
		*console.out << "\n";
		return false;
	}
	const auto first = line.find_first_not_of(" \t\r");
	answer = first == std::string::npos
			 ? std::string()
			 : line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
	return true;
}
