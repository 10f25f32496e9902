// The entry point of the process: mode from the program name, option scan,
// validation, key acquisition, and the filter run or the file-list run.
#pragma once

// Runs the whole program; returns the exit status (some failures end the
// process earlier with exit()).
int ostrel_main(int argc, char** argv);
