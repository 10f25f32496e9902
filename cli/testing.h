// Test seam of the entry point. Nothing in the program sets it.
#pragma once

#include "files/files.h"

// Called, when set, once the options are read (options_read) and once the
// keywords are in, just before the filter run or the file-list run starts
// (started), with the run as it stands.
enum class run_step { options_read, started };
extern void (*run_step_hook)(run_step step, const run_context& run);
