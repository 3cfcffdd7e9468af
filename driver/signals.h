// The signals that end a run, and the output file they must not leave
// behind half-written: removed by the handler, or by the run's own failure.
#pragma once

#include <sys/stat.h>

#include <cstddef>

// A file size limit should fail the write (and so the run), not kill the
// program with a half-written output left behind.
void ignore_file_size_signal();

// Blocks (true) or unblocks (false) SIGINT, SIGTERM and SIGHUP. Blocked
// while the output is created and its removal armed, so that no signal ends
// the run in between.
void block_fatal_signals(bool block);

// Catches the fatal signals, except those the parent set to be ignored, so
// that a signal erases the progress line also when no output is armed for
// removal (the data goes to standard output). The handler then ends the
// program by the same signal.
void catch_fatal_signals();

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

// The mapped ranges whose SIGBUS means a file changed under the run.
enum class fault_slot : unsigned { input, output };
constexpr unsigned cfg_fault_slots = 2;

// A mapped file that another process shrinks raises SIGBUS at the first
// touch past its new end. For a fault inside a slot's range the handler
// prints that slot's message, removes the output and exits with status 1;
// any other SIGBUS ends the program as before. p null disarms the slot.
// The message is set once, before the range.
void set_mapping_fault_message(fault_slot slot, const char* line);
void arm_mapping_fault(fault_slot slot, const void* p, size_t n);
