// One path that is not a directory to traverse: every decision about it
// made in one place (plan_file), then carried out through one door
// (carry_out), the same for standard input.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "file_steps.h"

void (*file_step_hook)(file_step step, const char* shown) = nullptr;

namespace {

// The output entry's name, or null: `plan` then says why (encrypting a file
// that already carries the suffix under strictsuffix, or memory ran out).
// Heap text; the output stays in the input's directory.
char* output_name_for(const run_options& options, const file_place& place, file_plan& plan) {
    const char* suffix = options.suffix;
    const bool suffixed = suffix[0] != '\0' && has_suffix(place.name, suffix);
    char* name = nullptr;
    switch (options.row().output) {
    case output_rule::add_suffix:
        if (options.strictsuffix && suffixed) {
            plan.reason = leave_reason::already_suffixed;
            return nullptr;
        }
        // A file that already has the suffix gets it twice.
        name = join_text(place.name, suffix);
        break;
    case output_rule::strip_suffix:
        name = join_text(place.name, "");
        if (name && suffixed) name[std::strlen(name) - std::strlen(suffix)] = '\0';
        break;
    default: name = join_text(place.name, ""); break;
    }
    if (!name) plan.reason = leave_reason::out_of_memory;
    return name;
}

// The whole path of a name in the directory of `place`, as shown; null when
// memory ran out.
char* shown_sibling(const file_place& place, const char* name) {
    owned_text place_name(shown_text(place.name));
    owned_text name_shown(shown_text(name));
    if (!place_name.text || !name_shown.text) return nullptr;
    const std::size_t directory_length = std::strlen(place.shown) - std::strlen(place_name.text);
    char* text =
        static_cast<char*>(std::malloc(directory_length + std::strlen(name_shown.text) + 1));
    if (!text) return nullptr;
    std::memcpy(text, place.shown, directory_length);
    std::strcpy(text + directory_length, name_shown.text);
    return text;
}

// Whether the output name calls for the overwrite question: not when there
// is no entry of that name, the name is the input's own or force is set.
// Sets `replace_output` when an entry of that name may be replaced; a name
// that was free must still be free when the result takes it. A name the
// directory did not list when the traversal read it is taken as free
// without a look (no file of this run's own can have taken it since: the
// names a run gives are its inputs' with the suffix added or taken off);
// whoever writes the file looks before a byte is written.
bool overwrite_question_needed(const run_options& options, const file_place& operand,
                               file_plan& plan) {
    plan.replace_output = true;
    if (options.force || std::strcmp(plan.output.name, plan.input.name) == 0) return false;
    if (operand.listed && !name_listed(*operand.listed, plan.output.name)) {
        plan.replace_output = false;
        plan.output_unlooked = true;
        return false;
    }
    struct stat st;
    // Anything of that name counts, a dangling symbolic link too.
    if (fstatat(plan.output.dir_fd, plan.output.name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
        plan.replace_output = false;
        return false;
    }
    return true;
}

// Decrypting "report.txt" finds "report.txt.osl" when only that exists:
// fills the plan's stat, the fallback's name and its shown path. 1 found, 0
// none, -1 memory ran out.
int find_suffixed(const run_options& options, const file_place& operand, file_plan& plan) {
    if (!options.row().reads_encrypted || options.suffix[0] == '\0') return 0;
    plan.input_name.text = join_text(operand.name, options.suffix);
    if (!plan.input_name.text) return -1;
    if (stat_entry(operand.dir_fd, plan.input_name.text, AT_SYMLINK_NOFOLLOW, &plan.decided,
                   &plan.identity, &plan.born) != 0)
        return 0;
    owned_text shown_suffix(shown_text(options.suffix));
    plan.input_shown.text =
        shown_suffix.text ? join_text(operand.shown, shown_suffix.text) : nullptr;
    return plan.input_shown.text ? 1 : -1;
}

void leave(file_plan& plan, leave_reason reason, int error = 0) {
    plan.action = file_action::leave;
    plan.reason = reason;
    plan.error = error;
}

// The in-place rules, after the questions: a file met before is revisited,
// and one whose result could not take its name is left as it is.
void decide_in_place(run_context& run, file_plan& plan) {
    const run_options& options = run.options;
    // The question comes before the visited check, so it is asked for every
    // name of a write-protected file with several links.
    plan.raise_write = (plan.decided.st_mode & 0222) == 0;
    if (plan.raise_write && !options.force) {
        const int may = ask_about(run, options.row().protected_question, plan.input.shown,
                                  plan.input.shown, "Not changed.\n");
        if (may <= 0) {
            leave(plan, may < 0 ? leave_reason::out_of_memory : leave_reason::reported);
            plan.remember_left = may == 0;
            return;
        }
    }
    if ((plan.seen = find_visited(run.visited, plan.identity))) {
        plan.action = file_action::revisit;
        return;
    }
    if (plan.decided.st_nlink > 1 && options.verbosity >= 0)
        std::fprintf(messages(), "%s: warning: %s has %d links\n", options.name, plan.input.shown,
                     int(plan.decided.st_nlink));
}

// Says why a file is left, where that is this step's to say.
outcome report_left(run_context& run, const file_plan& plan) {
    const run_options& options = run.options;
    const char* shown = plan.input.shown;
    switch (plan.reason) {
    case leave_reason::reported: return outcome::done;
    case leave_reason::out_of_memory: return out_of_memory(options);
    case leave_reason::lookup_failed: return report_failure(run, shown, plan.error);
    case leave_reason::rename_refused:
        return report_rename_failure(run, plan.input, plan.output, plan.error);
    case leave_reason::already_suffixed: {
        owned_text shown_suffix(shown_text(options.suffix));
        if (!shown_suffix.text) return out_of_memory(options);
        if (!options.quiet())
            std::fprintf(messages(), "%s: %s already has %s suffix -- ignored\n", options.name,
                         shown, shown_suffix.text);
        return outcome::done;
    }
    case leave_reason::symbolic_link:
        if (!options.quiet())
            std::fprintf(messages(), "%s: %s: is a symbolic link -- ignored\n", options.name,
                         shown);
        return outcome::done;
    case leave_reason::not_regular:
        if (!options.quiet())
            std::fprintf(messages(), "%s: %s: is not a regular file -- ignored\n", options.name,
                         shown);
        return outcome::done;
    }
    return outcome::done;
}

} // namespace

void plan_file(run_context& run, const file_place& operand, file_plan& plan,
               const entry_lookup* looked) {
    const run_options& options = run.options;
    plan.input = operand;
    plan.input.directory = nullptr;
    plan.input.listed = nullptr;
    plan.follow = options.symlinks != 0;
    struct stat& st = plan.decided;
    if (looked) {
        st = looked->st;
        plan.identity = looked->identity;
        plan.born = looked->born;
    }
    if (const int error = looked ? looked->error
                                 : stat_entry(operand.dir_fd, operand.name, AT_SYMLINK_NOFOLLOW,
                                              &st, &plan.identity, &plan.born)) {
        const int found = error == ENOENT ? find_suffixed(options, operand, plan) : 0;
        if (found <= 0)
            return leave(
                plan, found < 0 ? leave_reason::out_of_memory : leave_reason::lookup_failed, error);
        plan.input = file_place{operand.dir_fd, plan.input_name.text, plan.input_shown.text,
                                operand.path_length + std::strlen(options.suffix)};
    }
    const file_place& input = plan.input;

    if (S_ISLNK(st.st_mode)) {
        if (!plan.follow) return leave(plan, leave_reason::symbolic_link);
        if (const int error =
                stat_entry(input.dir_fd, input.name, 0, &st, &plan.identity, &plan.born))
            return leave(plan, leave_reason::lookup_failed, error);
    }
    if (!S_ISREG(st.st_mode)) return leave(plan, leave_reason::not_regular);
    at_step(file_step::decided, input.shown);
    if (options.row().output == output_rule::standard_output) {
        plan.action = file_action::write;
        plan.way = writing_way::standard_output;
        return;
    }

    plan.output_name.text = output_name_for(options, input, plan);
    if (!plan.output_name.text) return leave(plan, plan.reason);
    plan.output_shown.text = shown_sibling(input, plan.output_name.text);
    if (!plan.output_shown.text) return leave(plan, leave_reason::out_of_memory);
    plan.output = file_place{input.dir_fd, plan.output_name.text, plan.output_shown.text,
                             input.path_length - std::strlen(input.name) +
                                 std::strlen(plan.output_name.text)};
    if (overwrite_question_needed(options, operand, plan)) {
        const int may = ask_about(run, "%s: %s already exists; overwrite (y or n)? ",
                                  plan.output.shown, input.shown, "Not overwritten.\n");
        if (may <= 0)
            return leave(plan, may < 0 ? leave_reason::out_of_memory : leave_reason::reported);
    }
    plan.action = file_action::write;
    plan.way = options.tmpfiles ? writing_way::temporary_file : writing_way::in_place;
    if (plan.way == writing_way::in_place) decide_in_place(run, plan);
}

void plan_standard_input(file_plan& plan, input_source source) {
    plan.action = file_action::write;
    plan.way = writing_way::standard_output;
    plan.source = source;
    plan.input = file_place{AT_FDCWD, nullptr, "standard input", 0};
}

outcome left_unchanged(run_context& run, const file_plan& plan, outcome result) {
    return remember_inode(run.visited, plan.identity, 0) ? result : out_of_memory(run.options);
}

outcome carry_out(run_context& run, const file_plan& plan) {
    switch (plan.action) {
    case file_action::leave: {
        const outcome result = report_left(run, plan);
        return plan.remember_left ? left_unchanged(run, plan, result) : result;
    }
    case file_action::revisit: return revisit_in_place(run, plan);
    case file_action::write: break;
    }
    progress_file shown(plan);
    outcome result = outcome::done;
    switch (plan.way) {
    case writing_way::in_place: result = write_in_place(run, plan); break;
    case writing_way::temporary_file: result = write_through_temp_file(run, plan); break;
    case writing_way::standard_output: result = write_to_stdout(run, plan); break;
    }
    shown.finished(result);
    return result;
}

outcome process_file_at(run_context& run, const file_place& operand) {
    if (run.jobs) return process_file_in_jobs(run, operand);
    progress_tick();
    file_plan plan;
    plan_file(run, operand, plan);
    progress_planned(plan);
    return carry_out(run, plan);
}

outcome process_file(run_context& run, const char* operand) {
    return with_operand(run, operand, process_file_at);
}
