// The run over file operands: each operand in command-line order to the file
// processing, or, in cat and unixcrypt modes, "-" as standard input; and the
// filter run. Standard input goes through the same door as a file.
#include <cstring>

#include "file_steps.h"

namespace {

outcome process_standard_input(run_context& run, input_source source) {
    file_plan plan;
    plan_standard_input(plan, source);
    progress_planned(plan);
    return carry_out(run, plan);
}

outcome run_operands(run_context& run) {
    const bool to_stdout = run.options.row().output == output_rule::standard_output;
    outcome result = outcome::done;
    for (int i = 0; i < run.options.infile_count && !ends_run(result); ++i) {
        const char* operand = run.options.infiles[i];
        // In the modes that write files, "-" is an ordinary file name.
        if (to_stdout && std::strcmp(operand, "-") == 0)
            result = process_standard_input(run, input_source::standard_input);
        else
            result = process_path(run, operand);
    }
    return result;
}

} // namespace

outcome run_file_list(run_context& run) {
    forget_visited(run.visited);
    // Standard output takes one file after the other; a lone file operand
    // has nothing to go beside.
    const run_options& options = run.options;
    const bool one_by_one = options.row().output == output_rule::standard_output ||
                            (options.infile_count <= 1 && options.recursive == 0);
    const outcome result = one_by_one ? run_operands(run) : run_in_jobs(run, run_operands);
    forget_visited(run.visited);
    return ends_run(result) ? result : outcome::done;
}

outcome run_filter_stream(run_context& run) {
    return process_standard_input(run, input_source::filter);
}
