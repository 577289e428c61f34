// Whole-file reading and writing for the program's own files, by UTF-16 path.
#pragma once

#include <string>

#include "platform/platform.h"

namespace km::toolkit {

bool ReadFileBytes(const Text& path, std::string* bytes);
// A regular file is written beside its name and renamed over it, so it is
// whole or untouched; a symbolic link is followed and its target written so;
// a device, FIFO or socket is written in place, never replaced.
bool WriteFileBytes(const Text& path, const std::string& bytes);
// Written through, in place, as a shell's ">" writes: for a device.
bool WriteFileThrough(const Text& path, const std::string& bytes);
// One file however spelled: the same file when both exist (links followed),
// else the same absolute path (letter case aside on Windows).
bool SameFile(const Text& a, const Text& b);

}  // namespace km::toolkit
