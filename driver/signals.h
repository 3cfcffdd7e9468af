// The signals that end a run, and the output file they must not leave
// behind half-written: removed by the handler, or by the run's own failure.
#pragma once

#include <sys/stat.h>

// A file size limit should fail the write (and so the run), not kill the
// program with a half-written output left behind.
void ignore_file_size_signal();

// Blocks (true) or unblocks (false) SIGINT, SIGTERM and SIGHUP. Blocked
// while the output is created and its removal armed, so that no signal ends
// the run in between.
void block_fatal_signals(bool block);

// Arms the removal of the regular file `name` whose device and inode st
// holds, and only then catches the fatal signals, except those the parent
// set to be ignored. The name is resolved first, so that through a symbolic
// link the file goes, not the link. False, with nothing armed and no signal
// caught, for a name too long to keep.
bool arm_output_removal(const char* name, const struct stat& st);

// After a failure: removes the armed output if it is still that very file,
// with the signals blocked so that a handler cannot race it.
void remove_output_after_failure();

// The output is complete: from here on nothing removes it.
void disarm_output_removal();
