// Writing a file whole or not at all: into a temporary file beside the target,
// renamed onto it only once every byte is on the disk.
#pragma once

#include <cstdio>
#include <functional>
#include <string>

// Calls write with a new temporary file beside filename (opened "w+b") and,
// when it returns true and the file could be flushed and synced, renames the
// temporary file onto filename with the usual permissions (0666 less the
// umask), then syncs the folder so that the rename lasts. On a failure up to
// the rename the temporary file is removed and an existing file of that name
// is left as it was. True when filename holds what write wrote and the
// folder was synced; false after a failed folder sync too, although
// filename then already holds the new content (a crash may still undo the
// rename).
bool WriteAtomically(const char* filename, const std::function<bool(FILE*)>& write);

// WriteAtomically of text, whole.
bool WriteTextAtomically(const char* filename, const std::string& text);

// Whether WriteAtomically could write filename: its folder exists and may be
// written into, and filename is not a folder. Otherwise false, with the
// reason in why. Checked before a long run, so that its result is not lost.
bool CanWriteAtomically(const char* filename, std::string& why);
