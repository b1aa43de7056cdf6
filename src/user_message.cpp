// Lines for the user; see the header.
#include "user_message.h"

#include <cctype>
#include <cstdio>

namespace {

bool upper(char letter)
{
	return std::isupper(static_cast<unsigned char>(letter)) != 0;
}

bool lower(char letter)
{
	return std::islower(static_cast<unsigned char>(letter)) != 0;
}

} // namespace

std::string userLine(std::string_view line)
{
	std::string text(programName);
	text += ": ";
	text += line;
	return text;
}

void tellUser(std::string_view line)
{
	// One call: stdio locks the stream for it, so lines from two threads never interleave.
	const std::string text = userLine(line) + "\n";
	std::fputs(text.c_str(), stderr);
}

std::string errorFragment(std::string_view text)
{
	while (!text.empty() && (text.back() == '.' || text.back() == '\n' || text.back() == ' '))
		text.remove_suffix(1);
	std::string fragment(text);
	// "Could not open" and "A device" read "could not open" and "a device"; "HTTP error",
	// "V4L2 device", "I/O error" and a lone "X" stay as they are.
	const bool word = fragment.size() > 1 && upper(fragment[0]) &&
			  (lower(fragment[1]) || (fragment[0] == 'A' && fragment[1] == ' '));
	if (word)
		fragment[0] =
			static_cast<char>(std::tolower(static_cast<unsigned char>(fragment[0])));
	return fragment;
}
