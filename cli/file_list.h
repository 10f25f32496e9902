// The run over file operands: each operand in command-line order to the file
// processing, or, in cat and unixcrypt modes, "-" as standard input.
#pragma once

// Resets the run counters and the visited list, processes the operands and
// gives 1 when some input was rejected plus 2 when some file failed (0 to 3).
// May end the process itself (status 2, 3 or 6).
int run_file_list(char** infiles, int infile_count);
