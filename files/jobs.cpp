// Files transformed side by side (-j): this thread traverses, plans every
// file, asks every question and keeps the visited list and the counters;
// workers only carry out the plans it made. Each file's messages wait in a
// buffer of their own until those of every file before it are out, so
// standard error reads as in a run of one file at a time.
//
// -j N starts N - 1 workers: this thread is the N-th. When enough plans
// wait for a worker, or when it would otherwise wait for one, it carries
// out one of them itself (see help_above). One thread per file at once,
// and no more, keeps N CPUs busy without a thread more than there are
// CPUs to run it.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "file_steps.h"

namespace {

// The directory of files planned one after the other: one duplicate of the
// traversal's descriptor, shared by the jobs of its files and by the pool
// while it plans there, closed by the last one to let it go.
struct shared_dir {
    int fd = -1;
    struct stat st {};
    std::atomic<int> users{1};
};

void let_go(shared_dir* dir) {
    if (dir && dir->users.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        close(dir->fd);
        delete dir;
    }
}

struct job;

// A job's place in one chain of the pool's index: by the file it writes,
// or by its input's or output's name.
struct index_link {
    job* owner = nullptr;
    index_link* next = nullptr;
    std::size_t bucket = 0;
};
enum index_role { by_file, by_input_name, by_output_name, index_roles };

// One entry of the in-order queue: messages of this thread's alone
// (notes), or one file's plan carried out by a worker, with the worker's
// own counters, visited list and message buffer.
struct job {
    job* next_work = nullptr; // the list waiting for a worker, oldest first
    job* prev_work = nullptr;
    std::uint64_t number = 0; // its place in the queue's order
    bool has_work = false;
    index_link links[index_roles];
    file_plan plan;
    owned_text name, shown;    // the input entry's (the traversal frees its own)
    shared_dir* dir = nullptr; // the entry's directory; null: the working directory
    struct stat directory {};  // what names in flight are compared in
    bool directory_known = false;
    run_context context;
    std::FILE* buffer = nullptr; // a file's: made by its first message
    char* text = nullptr;
    std::size_t size = 0;
    std::atomic<bool> finished{false};
    outcome result = outcome::done;

    ~job() {
        if (buffer) std::fclose(buffer);
        std::free(text);
        let_go(dir);
    }
};

thread_local job* worker_job = nullptr;     // the job this thread carries out
thread_local job_pool* main_pool = nullptr; // the planning thread's, while side by side

// Tells the CPU this thread only waits (and lets a sibling thread run).
inline void relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Spins up to `limit_ns`, until `ready()`: a thread that sleeps and is
// woken costs tens of microseconds (more in a virtual machine, whose idle
// CPU has to be woken first), as much as a small file. true when it got
// ready.
template <class F> bool spin_until(long limit_ns, F ready) {
    if (limit_ns == 0) return ready();
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        for (int i = 0; i < 64; ++i) {
            if (ready()) return true;
            relax();
        }
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if ((now.tv_sec - start.tv_sec) * 1000000000L + (now.tv_nsec - start.tv_nsec) > limit_ns)
            return ready();
    }
}

struct worker_start {
    job_pool* pool;
    int slot;
};

} // namespace

struct job_pool {
    int size = 0; // workers started
    pthread_t threads[max_jobs];
    worker_start starts[max_jobs];
    pthread_mutex_t lock = PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP;
    pthread_cond_t work_ready = PTHREAD_COND_INITIALIZER;
    job* work_head = nullptr; // waiting for a worker
    job* work_tail = nullptr;
    std::atomic<int> work_count{0}; // jobs from work_head on (changed under `lock`)
    bool quit = false;
    int event_fd = -1;                 // a worker finished a job while this thread waited
    std::atomic<bool> waiting{false};  // this thread waits on event_fd
    shared_dir* current_dir = nullptr; // the directory of the last file handed over
    sigset_t held, saved;
    // The thread that takes the three signals, held back on every other
    // one, so that they act while this thread waits or writes.
    pthread_t signal_thread;
    bool signal_thread_started = false;
    std::atomic<bool> signals_quit{false};
    std::atomic<bool> asking{false};        // a question waits: a signal's default action
    std::atomic<bool> signal_coming{false}; // the signal thread is about to take one
    job* queue[4096];                       // ring, oldest first
    std::uint64_t next_number = 0;          // of the next entry of the queue
    int window = 2;                         // jobs handed over before this thread waits
    // Waiting jobs beyond which this thread writes one too, once it has
    // planned its next file: deep enough that the workers, which take the
    // oldest plans, and this thread, which takes the newest, write far
    // apart in the tree, mostly in other directories (two threads writing
    // in one directory take turns at its lock, and each wait costs a
    // sleep and a wake-up). Until the run has handed over that many, this
    // thread only plans, and writes only when it would otherwise wait (the
    // oldest plan then): the workers begin the first files in order while
    // it gets that far ahead, and a short run begins its files in order.
    int help_above = 1;
    long handed_over = 0; // jobs handed over so far
    // The jobs with work, by file and by name, for the wait before a file
    // is planned again: chains of index_link.
    index_link* index[8192] = {};
    // How long a thread with nothing to do spins before it sleeps: 50 µs
    // while every writing thread has a CPU of its own, else not at all (a
    // spinning thread would take the CPU of one with work).
    long spin_ns = 0;
    int queue_start = 0, queue_count = 0;
    int unreaped = 0;                    // jobs with work in the queue
    outcome stop = outcome::done;        // what ended the run, once something did
    std::atomic<bool> run_ending{false}; // a worker's file ended the run
};

namespace {

constexpr int queue_capacity = 4096;
constexpr std::size_t index_buckets = 8192;

job*& queue_at(job_pool& pool, int i) {
    return pool.queue[(pool.queue_start + i) % queue_capacity];
}

bool stopped(const job_pool& pool) { return pool.stop != outcome::done; }

void note_stop(job_pool& pool, outcome o) {
    if (!stopped(pool) && (ends_run(o) || o == outcome::interrupted)) pool.stop = o;
}

// The oldest job waiting for a worker (the newest, with `newest`), taken
// off the list; null when there is none (and, with `wait`, once the pool
// quits).
job* take_work(job_pool& pool, bool wait, bool newest = false) {
    if (wait)
        spin_until(pool.spin_ns,
                   [&] { return pool.work_count.load(std::memory_order_relaxed) > 0; });
    pthread_mutex_lock(&pool.lock);
    while (wait && !pool.work_head && !pool.quit) pthread_cond_wait(&pool.work_ready, &pool.lock);
    job* j = newest ? pool.work_tail : pool.work_head;
    if (j) {
        (j->prev_work ? j->prev_work->next_work : pool.work_head) = j->next_work;
        (j->next_work ? j->next_work->prev_work : pool.work_tail) = j->prev_work;
        --pool.work_count;
    }
    pthread_mutex_unlock(&pool.lock);
    return j;
}

// One of the three signals this process holds back waits to be taken.
bool ending_signal_pending(const sigset_t& held) {
    sigset_t pending;
    if (sigpending(&pending) != 0) return false;
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP})
        if (sigismember(&held, signal_number) == 1 && sigismember(&pending, signal_number) == 1)
            return true;
    return false;
}

// A first signal came: waiting to be taken (the signal thread may wait for
// a CPU while the others begin file after file), being taken, or taken.
// The pending set is looked at first: the signal thread marks a signal as
// coming before it takes it out of that set.
bool first_signal_came(const job_pool& pool) {
    return ending_signal_pending(pool.held) || pool.signal_coming.load() || interrupt_came();
}

// Carries out the plan of `j` on this thread, which is a worker for the
// while (its slot set), and marks it finished.
void work_on(job_pool& pool, job* j) {
    worker_job = j;
    // Once a first signal came or a file ended the run, no file
    // starts: a job handed over but not begun is left as it is.
    if (!pool.run_ending.load() && !first_signal_came(pool))
        j->result = carry_out(j->context, j->plan);
    if (j->buffer) std::fflush(j->buffer);
    worker_job = nullptr;
    let_go(j->dir);
    j->dir = nullptr;
    if (ends_run(j->result)) pool.run_ending.store(true);
    // Either this thread sees the planning thread waiting and wakes it,
    // or that thread sees the job finished before it waits (both
    // sequentially consistent).
    j->finished.store(true);
    if (pool.waiting.load()) {
        const std::uint64_t one = 1;
        (void)!write(pool.event_fd, &one, sizeof one);
    }
}

void* worker_main(void* argument) {
    const worker_start start = *static_cast<worker_start*>(argument);
    job_pool& pool = *start.pool;
    become_worker(start.slot);
    while (job* j = take_work(pool, true)) work_on(pool, j);
    return nullptr;
}

// The planning thread carries out a job waiting for a worker, in the slot
// no worker has: once the run has handed over more than help_above, the
// newest (the workers take the oldest, so the two ends meet only at the
// end of the run); before that, the oldest, so that a run of a few files
// begins its files in order. false when none was waiting.
bool help_with_one(job_pool& pool) {
    const bool newest = pool.handed_over > pool.help_above;
    job* j = take_work(pool, false, newest);
    if (!j) return false;
    become_worker(pool.size);
    work_on(pool, j);
    become_worker(-1);
    return true;
}

struct signal_start {
    job_pool* pool;
    bool temporary_files;
};

// Sent to the signal thread when the run is over, so that the run does
// not wait for the thread's next look.
int wake_signal() { return SIGRTMIN; }

void* signal_main(void* argument) {
    const signal_start start = *static_cast<signal_start*>(argument);
    job_pool& pool = *start.pool;
    sigset_t waited = pool.held;
    sigaddset(&waited, wake_signal());
    // Waits on a signal descriptor, which shows a signal without taking
    // it: one is marked as coming before it leaves the pending set. Without
    // a descriptor to spare, sigtimedwait takes it at once.
    const int signals = signalfd(-1, &waited, SFD_CLOEXEC);
    // Looks at whether the run is over a few times a second, and at once
    // when woken.
    const int tick_ms = 50;
    const timespec tick{0, tick_ms * 1000 * 1000};
    while (!pool.signals_quit.load()) {
        int signal_number = -1;
        if (signals >= 0) {
            pollfd ready = {signals, POLLIN, 0};
            if (poll(&ready, 1, tick_ms) <= 0) continue;
            if (ending_signal_pending(pool.held)) pool.signal_coming.store(true);
            signalfd_siginfo info;
            if (read(signals, &info, sizeof info) == ssize_t(sizeof info))
                signal_number = int(info.ssi_signo);
        } else {
            signal_number = sigtimedwait(&waited, nullptr, &tick);
        }
        if (signal_number > 0 && signal_number != wake_signal())
            take_signal_for_jobs(signal_number, start.temporary_files, pool.asking.load());
    }
    if (signals >= 0) close(signals);
    return nullptr;
}

// A first signal starts no new file, from the moment it came: one the
// signal thread has not taken yet counts too.
void take_signals(job_pool& pool, const run_context&) {
    if (first_signal_came(pool)) note_stop(pool, outcome::interrupted);
}

// Until a worker finishes a job (the oldest, or another), or the status
// line is due.
void wait_for_event(job_pool& pool, const run_context& run) {
    if (help_with_one(pool)) {
        progress_tick();
        take_signals(pool, run);
        return;
    }
    const job* head = pool.queue_count > 0 ? queue_at(pool, 0) : nullptr;
    if (head && head->has_work)
        spin_until(pool.spin_ns, [&] { return head->finished.load(std::memory_order_relaxed); });
    pool.waiting.store(true);
    if (head && head->has_work && !head->finished.load()) {
        pollfd fd = {pool.event_fd, POLLIN, 0};
        if (poll(&fd, 1, int(progress_wait())) > 0) {
            std::uint64_t count;
            (void)!read(pool.event_fd, &count, sizeof count);
        }
    }
    pool.waiting.store(false);
    progress_tick();
    take_signals(pool, run);
}

// FNV-1a, continued over `size` bytes from `hash` (fnv_start to begin).
constexpr std::uint64_t fnv_start = 14695981039346656037ULL;
std::uint64_t hash_bytes(std::uint64_t hash, const void* data, std::size_t size) {
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) hash = (hash ^ bytes[i]) * 1099511628211ULL;
    return hash;
}

std::uint64_t hash_file(const file_identity& id) {
    std::uint64_t hash = hash_bytes(fnv_start, &id.device, sizeof id.device);
    return hash_bytes(hash, &id.inode, sizeof id.inode);
}

// The start of the hash of a name in the directory `dir`.
std::uint64_t hash_directory(const struct stat& dir) {
    std::uint64_t hash = hash_bytes(fnv_start, &dir.st_dev, sizeof dir.st_dev);
    return hash_bytes(hash, &dir.st_ino, sizeof dir.st_ino);
}

void index_add(job_pool& pool, job& j, index_role role, std::uint64_t hash) {
    index_link& link = j.links[role];
    link.owner = &j;
    link.bucket = hash % index_buckets;
    link.next = pool.index[link.bucket];
    pool.index[link.bucket] = &link;
}

// Files in flight are found by the file they write and, in a directory
// that could be looked at, by their input's and output's names.
void index_job(job_pool& pool, job& j) {
    index_add(pool, j, by_file, hash_file(j.plan.identity));
    if (!j.directory_known) return;
    const std::uint64_t dir = hash_directory(j.directory);
    index_add(pool, j, by_input_name,
              hash_bytes(dir, j.plan.input.name, std::strlen(j.plan.input.name)));
    index_add(pool, j, by_output_name,
              hash_bytes(dir, j.plan.output.name, std::strlen(j.plan.output.name)));
}

void unindex_job(job_pool& pool, job& j) {
    for (index_link& link : j.links) {
        if (!link.owner) continue;
        for (index_link** at = &pool.index[link.bucket]; *at; at = &(*at)->next)
            if (*at == &link) {
                *at = link.next;
                break;
            }
        link.owner = nullptr;
    }
}

// The oldest entry out, if it is complete: its messages written, and a
// job's counters and visited list taken over in the files' order. false
// when it is still being worked on.
bool reap_head(job_pool& pool, run_context& run) {
    job* j = queue_at(pool, 0);
    if (j->has_work && !j->finished.load(std::memory_order_acquire)) return false;
    pool.queue_start = (pool.queue_start + 1) % queue_capacity;
    --pool.queue_count;
    unindex_job(pool, *j);
    if (j->buffer) std::fclose(j->buffer);
    j->buffer = nullptr;
    if (j->size > 0) {
        progress_clear();
        std::fwrite(j->text, 1, j->size, stderr);
        std::fflush(stderr);
    }
    if (j->has_work) {
        --pool.unreaped;
        run.errors += j->context.errors;
        run.rejects += j->context.rejects;
        const visited_set& seen = j->context.visited;
        for (int i = 0; i < seen.count; ++i)
            if (!remember_inode(run.visited, seen.entries[i].identity, seen.entries[i].done))
                note_stop(pool, out_of_memory(run.options));
        note_stop(pool, j->result);
    }
    delete j;
    return true;
}

constexpr std::uint64_t every_entry = UINT64_MAX;

// Reaps the entries up to and including the one numbered `last`.
void reap_until(job_pool& pool, run_context& run, std::uint64_t last) {
    while (pool.queue_count > 0 && queue_at(pool, 0)->number <= last)
        if (!reap_head(pool, run)) wait_for_event(pool, run);
}

void reap_ready(job_pool& pool, run_context& run) {
    while (pool.queue_count > 0 && reap_head(pool, run)) {}
}

// `a` and `b` name the same file, or one is the other with the suffix.
bool related_names(const char* a, const char* b, const char* suffix) {
    const std::size_t la = std::strlen(a), lb = std::strlen(b), ls = std::strlen(suffix);
    if (la == lb) return std::strcmp(a, b) == 0;
    const char* longer = la > lb ? a : b;
    const char* shorter = la > lb ? b : a;
    const std::size_t ll = la > lb ? la : lb, lsh = la > lb ? lb : la;
    return ll == lsh + ls && std::strncmp(longer, shorter, lsh) == 0 &&
           std::strcmp(longer + lsh, suffix) == 0;
}

// A file still being transformed must be done before its name, or another
// name of it, is planned again: the newest job on the same file, or on a
// name its plan could meet (the entry, the name with or without the
// suffix) in the same directory (`dir`, null when it could not be looked
// at). A name that cannot be looked at waits for everything. true when
// nothing was waited for and `looked` holds the entry's lookup, which the
// plan may take as its own.
bool wait_for_related(job_pool& pool, run_context& run, const file_place& place,
                      const struct stat* dir, entry_lookup& looked) {
    if (pool.unreaped == 0) return false;
    looked.error = stat_entry(place.dir_fd, place.name, AT_SYMLINK_NOFOLLOW, &looked.st,
                              &looked.identity, &looked.born);
    bool known = looked.error == 0;
    file_identity id = looked.identity;
    if (known && S_ISLNK(looked.st.st_mode)) {
        struct stat target;
        known = stat_entry(place.dir_fd, place.name, 0, &target, &id) == 0;
    }
    if (!known) {
        reap_until(pool, run, every_entry);
        return false;
    }
    // The chains of the file, and of the name, the name with the suffix
    // and the name without it, in this directory.
    const char* suffix = run.options.suffix;
    const std::size_t length = std::strlen(place.name), suffix_length = std::strlen(suffix);
    std::uint64_t hashes[4] = {hash_file(id)};
    int chains = 1;
    if (dir) {
        const std::uint64_t in_dir = hash_directory(*dir);
        const std::uint64_t name = hash_bytes(in_dir, place.name, length);
        hashes[chains++] = name;
        hashes[chains++] = hash_bytes(name, suffix, suffix_length);
        const std::size_t stem = length - suffix_length;
        if (length > suffix_length && std::strcmp(place.name + stem, suffix) == 0)
            hashes[chains++] = hash_bytes(in_dir, place.name, stem);
    }
    std::uint64_t newest = 0;
    bool found = false;
    for (int c = 0; c < chains; ++c)
        for (const index_link* link = pool.index[hashes[c] % index_buckets]; link;
             link = link->next) {
            const job* j = link->owner;
            const bool same =
                j->plan.identity.device == id.device && j->plan.identity.inode == id.inode;
            const bool near = dir && j->directory_known && same_file(*dir, j->directory) &&
                              (related_names(j->plan.input.name, place.name, suffix) ||
                               related_names(j->plan.output.name, place.name, suffix));
            if ((same || near) && (!found || j->number > newest)) {
                newest = j->number;
                found = true;
            }
        }
    if (found) reap_until(pool, run, newest);
    return !found;
}

// A new entry at the end of the queue with a buffer of its own.
job* append_entry(job_pool& pool) {
    if (pool.queue_count == queue_capacity) return nullptr;
    job* j = new (std::nothrow) job;
    if (!j) return nullptr;
    j->buffer = open_memstream(&j->text, &j->size);
    if (!j->buffer) {
        delete j;
        return nullptr;
    }
    j->number = pool.next_number++;
    queue_at(pool, pool.queue_count++) = j;
    return j;
}

// The shared descriptor of the directory `dir_fd` (which `here`, unless
// null, describes) with one more user, or null when none could be had.
shared_dir* directory_for(job_pool& pool, int dir_fd, const struct stat* here) {
    shared_dir* dir = pool.current_dir;
    if (dir && here && same_file(dir->st, *here)) {
        dir->users.fetch_add(1, std::memory_order_relaxed);
        return dir;
    }
    dir = new (std::nothrow) shared_dir;
    if (!dir) return nullptr;
    dir->fd = fcntl(dir_fd, F_DUPFD_CLOEXEC, 3);
    if (dir->fd < 0) {
        delete dir;
        return nullptr;
    }
    if (here) {
        // The pool keeps it for the next files of the same directory.
        dir->st = *here;
        dir->users.store(2, std::memory_order_relaxed);
        let_go(pool.current_dir);
        pool.current_dir = dir;
    }
    return dir;
}

// Hands the plan in `j` over to a worker, with names of its own and the
// shared descriptor of its directory (`here`, null when it could not be
// looked at). false when they could not be had.
bool prepare(job_pool& pool, job& j, const run_context& run, const struct stat* here) {
    file_plan& plan = j.plan;
    j.name.text = join_text(plan.input.name, "");
    j.shown.text = join_text(plan.input.shown, "");
    if (!j.name.text || !j.shown.text) return false;
    int dir_fd = AT_FDCWD;
    if (plan.input.dir_fd != AT_FDCWD) {
        j.dir = directory_for(pool, plan.input.dir_fd, here);
        if (!j.dir) return false;
        dir_fd = j.dir->fd;
    }
    j.directory_known = here != nullptr;
    if (here) j.directory = *here;
    plan.input.name = j.name.text;
    plan.input.shown = j.shown.text;
    plan.input.dir_fd = dir_fd;
    plan.output.dir_fd = dir_fd;
    j.context.options = run.options;
    j.context.keyword = run.keyword;
    j.context.keyword2 = run.keyword2;
    j.context.prepared = run.prepared;
    if (!reserve_visited(j.context.visited)) return false;
    j.has_work = true;
    return true;
}

void submit(job_pool& pool, job* j) {
    pthread_mutex_lock(&pool.lock);
    if (pool.work_tail)
        pool.work_tail->next_work = j;
    else
        pool.work_head = j;
    j->prev_work = pool.work_tail;
    pool.work_tail = j;
    ++pool.work_count;
    pthread_cond_signal(&pool.work_ready);
    pthread_mutex_unlock(&pool.lock);
}

// The CPUs this process may run on, and no more than the descriptor limit
// allows: each file in flight holds a few, the traversal a few more.
int jobs_for(const run_options& options) {
    int jobs = options.jobs;
    if (jobs <= 0) {
        cpu_set_t set;
        jobs = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
    }
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        const rlim_t room = limit.rlim_cur > 24 ? (limit.rlim_cur - 24) / 8 : 1;
        if (rlim_t(jobs) > room) jobs = int(room);
    }
    // This thread is one of them, in the slot after the workers'.
    return jobs < 1 ? 1 : jobs > max_jobs ? max_jobs : jobs;
}

// How many jobs may be handed over and not yet reaped: as many as the
// queue holds with room for notes, so that the workers and this thread
// write far apart (see help_above), and neither waits once a file (a
// wake-up costs about as much as a small file). Each job waiting may hold
// a descriptor of its directory, so the window stays within the
// descriptors that jobs_for left over.
int window_for(int size) {
    int window = queue_capacity / 2;
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        const long spare = long(limit.rlim_cur) - 24 - 8L * size;
        if (window > 2 * size + spare) window = int(2 * size + (spare > 0 ? spare : 0));
    }
    return window > queue_capacity / 2 ? queue_capacity / 2 : window;
}

} // namespace

std::FILE* messages() {
    if (job* j = worker_job) {
        if (!j->buffer) j->buffer = open_memstream(&j->text, &j->size);
        // Out of memory: the message goes out now, before the files before it.
        return j->buffer ? j->buffer : stderr;
    }
    job_pool* pool = main_pool;
    if (!pool || pool->queue_count == 0) {
        progress_clear();
        return stderr;
    }
    job* tail = queue_at(*pool, pool->queue_count - 1);
    if (tail->has_work) tail = append_entry(*pool);
    // Out of memory: the message goes out now, before the files in flight.
    return tail ? tail->buffer : stderr;
}

void question_begins(run_context& run) {
    if (!run.jobs) return;
    reap_until(*run.jobs, run, every_entry);
    run.jobs->asking.store(true);
}

void question_ends(run_context& run) {
    if (run.jobs) run.jobs->asking.store(false);
}

outcome process_file_in_jobs(run_context& run, const file_place& place) {
    job_pool& pool = *run.jobs;
    progress_tick();
    take_signals(pool, run);
    reap_ready(pool, run);
    // A file that ended the run: the others in flight finish, in order.
    if (pool.run_ending.load()) reap_until(pool, run, every_entry);
    // The directory as the traversal checked it, or looked at now.
    struct stat here_stat;
    const struct stat* here = place.directory;
    if (!here && fstatat(place.dir_fd, "", &here_stat, AT_EMPTY_PATH) == 0) here = &here_stat;
    entry_lookup looked;
    const bool fresh = !stopped(pool) && wait_for_related(pool, run, place, here, looked);
    if (stopped(pool)) return pool.stop;
    job* j = new (std::nothrow) job;
    if (!j) return out_of_memory(run.options);
    plan_file(run, place, j->plan, fresh ? &looked : nullptr);
    progress_planned(j->plan);
    outcome result = outcome::done;
    if (j->plan.action != file_action::write) {
        result = carry_out(run, j->plan);
    } else if (!stopped(pool)) {
        // A full window is drained to half of it, not by one job.
        if (pool.unreaped >= pool.window || pool.queue_count + 2 > queue_capacity)
            while (pool.unreaped > pool.window / 2 || pool.queue_count + 2 > queue_capacity)
                if (!reap_head(pool, run)) wait_for_event(pool, run);
        if (stopped(pool)) {
            // No new file after the run ended.
        } else if (prepare(pool, *j, run, here)) {
            j->number = pool.next_number++;
            queue_at(pool, pool.queue_count++) = j;
            index_job(pool, *j);
            ++pool.unreaped;
            submit(pool, j);
            const int waiting = pool.work_count.load(std::memory_order_relaxed);
            const bool ahead = ++pool.handed_over > pool.help_above && waiting > pool.help_above;
            if (ahead) help_with_one(pool);
            return pool.stop;
        } else {
            // No descriptor or memory to spare: this file alone, as in a
            // run of one file at a time.
            reap_until(pool, run, every_entry);
            // Its temporary file in the slot no worker has.
            become_worker(pool.size);
            result = carry_out(run, j->plan);
            become_worker(-1);
        }
    }
    delete j;
    return stopped(pool) ? pool.stop : result;
}

outcome run_in_jobs(run_context& run, outcome (*body)(run_context&)) {
    const int size = jobs_for(run.options);
    if (size <= 1) return body(run);
    job_pool* pool = new (std::nothrow) job_pool;
    if (!pool) return body(run);
    pool->event_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    hold_signals_for_jobs(run.options.name, &pool->held, &pool->saved);
    sigset_t wake;
    sigemptyset(&wake);
    sigaddset(&wake, wake_signal());
    pthread_sigmask(SIG_BLOCK, &wake, nullptr);
    // Every thread starts with the signals held back, as this one has them.
    signal_start signals{pool, run.options.tmpfiles != 0};
    pool->signal_thread_started =
        pool->event_fd >= 0 &&
        pthread_create(&pool->signal_thread, nullptr, signal_main, &signals) == 0;
    // Set before any worker reads it.
    cpu_set_t set;
    const int cpus = sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
    pool->spin_ns = size <= cpus ? 50 * 1000 : 0;
    for (int i = 0; i < size - 1 && pool->signal_thread_started; ++i) {
        pool->starts[i] = worker_start{pool, i};
        if (pthread_create(&pool->threads[i], nullptr, worker_main, &pool->starts[i]) != 0) break;
        pool->size = i + 1;
    }
    outcome result = outcome::done;
    if (pool->size > 0) {
        pool->window = window_for(pool->size + 1);
        pool->help_above = pool->window / 2 > pool->size ? pool->window / 2 : pool->size;
        run.jobs = pool;
        main_pool = pool;
        result = body(run);
        progress_traversal_over();
        reap_until(*pool, run, every_entry);
        take_signals(*pool, run);
        if (!ends_run(result) && stopped(*pool)) result = pool->stop;
        main_pool = nullptr;
        run.jobs = nullptr;
        let_go(pool->current_dir);
        pool->current_dir = nullptr;
        pthread_mutex_lock(&pool->lock);
        pool->quit = true;
        pthread_cond_broadcast(&pool->work_ready);
        pthread_mutex_unlock(&pool->lock);
        for (int i = 0; i < pool->size; ++i) pthread_join(pool->threads[i], nullptr);
    }
    if (pool->signal_thread_started) {
        pool->signals_quit.store(true);
        pthread_kill(pool->signal_thread, wake_signal());
        pthread_join(pool->signal_thread, nullptr);
        // One that came at the end is taken here, as the signal thread
        // would have.
        const timespec no_wait{0, 0};
        int signal_number;
        while ((signal_number = sigtimedwait(&pool->held, nullptr, &no_wait)) > 0)
            take_signal_for_jobs(signal_number, run.options.tmpfiles != 0, false);
        if (pool->size > 0 && !ends_run(result) && interrupt_came()) result = outcome::interrupted;
    }
    if (pool->event_fd >= 0) close(pool->event_fd);
    pthread_sigmask(SIG_SETMASK, &pool->saved, nullptr);
    const bool ran = pool->size > 0;
    delete pool;
    return ran ? result : body(run);
}
