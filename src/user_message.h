// The program's one voice on stderr: every line a user reads starts with "edge-viewer: ", and a
// library's error text inside it reads as part of the sentence.
#pragma once

#include <string>
#include <string_view>

inline constexpr char programName[] = "edge-viewer";

// "edge-viewer: " + line, as one line. Any thread: the line goes out whole, never mixed with
// another thread's.
void tellUser(std::string_view line);

// The same line as text, for a caller that decides itself where it goes.
std::string userLine(std::string_view line);

// A library's error text (GStreamer's, GLib's, the C library's) as the fragment that follows
// "...: " or sits in brackets in such a line: without its closing full stop or newline, and with
// its first letter in lower case, unless that letter starts an initialism (HTTP, V4L2, JPEG) or a
// name in capitals.
std::string errorFragment(std::string_view text);
