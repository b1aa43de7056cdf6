// How a camera's or a source's faults read on stderr: GStreamer's errors in words a user
// understands. Pure: no GStreamer state, only its error codes.
#pragma once

#include <chrono>
#include <string>

#include <glib.h>

// A camera's GStreamer error in plain words, with GStreamer's own text after it in brackets.
std::string plainReason(const GError *error);
// The same for a video file or stream, where a camera's hints (unplugged, in use) do not apply:
// GStreamer's own text.
std::string playbackReason(const GError *error);

// The start of a fault line: what failed (opening or, once frames came, running) on which camera
// or source (playsSource: a video file or stream, whose faults are worded for playback).
std::string faultSubject(const std::string &cameraName, bool playsSource, bool gotFrame);

// "3 seconds", "1 second", "250 ms".
std::string durationWords(std::chrono::milliseconds duration);
