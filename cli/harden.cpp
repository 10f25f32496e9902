// What the process does about its key material before it has any: no core
// file (which would hold the keywords), and no reading of its memory by
// other processes of the same user.
#include <sys/prctl.h>
#include <sys/resource.h>

#include "cli/cli.h"

// Not dumpable: no core file whatever the limit or the core pattern, no
// ptrace attach and no /proc/<pid>/mem by the same user, /proc/<pid> owned by
// root. The core-size limit at 0 besides, for core handlers that ignore the
// flag. Neither can fail for an ordinary process; if one did, the run would
// go on as before.
void harden_process() {
    (void)prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    const rlimit no_core{0, 0};
    (void)setrlimit(RLIMIT_CORE, &no_core);
}
