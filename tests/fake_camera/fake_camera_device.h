// The fake camera's device, made from a group of the camera key file, and the registry of cameras
// unplugged through the control FIFO.
#pragma once

#include <string>

#include <gst/gst.h>

// A new floating device for the key file's group named camera; null if there is no such group.
// Its source element is a live videotestsrc in a bin, with a pattern of its own per group.
GstDevice *deviceFromKeyFile(GKeyFile *file, const char *camera);

// Any thread. Whether device was made from the key file group camera: the camera's own name in
// the control lines, which its display name need not be. False for a device of another provider.
bool isDeviceOf(GstDevice *device, const std::string &camera);

// Any thread. Marks the camera of a group unplugged or back: an unplugged camera's sources fail
// as an unplugged V4L2 camera's do, whether streaming or starting.
void setUnplugged(const std::string &camera, bool away);
bool isUnplugged(const char *camera);
