// The run over file operands: each operand in command-line order to the file
// processing, or, in cat and unixcrypt modes, "-" as standard input.
#include <cstring>

#include "file_steps.h"

outcome run_file_list(run_context& run) {
    forget_visited(run.visited);
    const bool to_stdout = run.options.row().output == output_rule::standard_output;
    outcome result = outcome::done;
    for (int i = 0; i < run.options.infile_count && !ends_run(result); ++i) {
        const char* operand = run.options.infiles[i];
        // In the modes that write files, "-" is an ordinary file name.
        if (to_stdout && std::strcmp(operand, "-") == 0)
            result = stream_to_stdout(run, stdin, "standard input", " -- ignored");
        else
            result = process_path(run, operand);
    }
    forget_visited(run.visited);
    return ends_run(result) ? result : outcome::done;
}
