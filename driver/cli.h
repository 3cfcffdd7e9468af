// The command line of lrdedup: `lrdedup e|d <input> <output>`, and the
// one-argument requests --help (-h) and --version (-V).
#pragma once

// The whole program: returns the exit status.
int lrdedup_main(int argc, char** argv);
