// Test seams of the file processing. Nothing in the program sets these.
#pragma once

// Called, when set, at each step where another user could swap a name under
// the program, with the step and the entry's path as shown; and once a
// temporary file exists, before a signal could know to remove it (created,
// with the output's path).
enum class file_step { decided, question, open, attributes, rename, remove, created };
extern void (*file_step_hook)(file_step step, const char* shown);
inline void at_step(file_step step, const char* shown) {
    if (file_step_hook) file_step_hook(step, shown);
}

// Whether a first termination signal counts as having come.
void set_interrupted(bool came);
