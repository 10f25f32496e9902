// The encrypted stream engine: the format, the encryption, decryption and
// key-change streams, keyword hashing and nonces, the drivers that pump a
// FILE stream or a descriptor through a stream, and the key-reference check.
//
// The engine never prints and never exits: it reports through result codes
// (see cipher_stream.h) and their detail, which the stream runs below return
// as a stream_result.
#pragma once

#include <cstdint>
#include <cstdio>

#include "base/base.h"
#include "cipher/rijndael.h"

// ---- Keyword hashing and nonces -------------------------------------------

// Hashes a NUL-terminated keyword of any length (empty included) into 32
// bytes: one schedule_key + encrypt_block pass per started 32 keyword bytes.
void hash_keyword(const char* keyword, std::uint8_t out[32]);

// 32 fresh bytes: the hash of "host,seconds,microseconds,pid,counter,random",
// the last part 64 hex digits of 32 bytes from getrandom(2) (else from
// /dev/urandom; left out, with its comma, when neither gives them).
void make_nonce(std::uint8_t out[32]);
extern std::int32_t nonce_counter;

// ---- Encryption and decryption streams --------------------------------------

// The state of an encryption or decryption stream.
struct crypt_state {
    std::int32_t key_count;
    key_schedule* keys; // key_count schedules, one heap block
    std::int32_t key_index;
    int header_pending;
    std::int32_t pos; // bytes of block used; 32: the next byte needs a fresh block
    std::uint8_t block[32];
    int mismatch;
};

int encrypt_init(cipher_stream* stream, const char* keyword);
// As encrypt_init, from a schedule made before (`ready`, copied); the
// keyword's own when `ready` is null.
int encrypt_init_from(cipher_stream* stream, const char* keyword, const key_schedule* ready);
int encrypt_step(cipher_stream* stream);
int encrypt_end(cipher_stream* stream);

int decrypt_init(cipher_stream* stream, const char* keyword, int mismatch);
// As decrypt_init, from the two schedules made before (`ready`: the
// keyword's and that of keyword + CR, copied); its own when `ready` is null.
int decrypt_init_from(cipher_stream* stream, const char* keyword, int mismatch,
                      const key_schedule* ready);
int decrypt_step(cipher_stream* stream);
int decrypt_end(cipher_stream* stream);

// ---- Key change ----------------------------------------------------------------

struct keychange_state {
    cipher_stream dec;
    cipher_stream enc;
    std::int32_t hold;
    std::uint8_t buffer[1024];
};

int keychange_init(cipher_stream* stream, const char* old_keyword, const char* new_keyword);
// As keychange_init, from schedules made before where not null: `old_ready`
// as decrypt_init_from's, `new_ready` as encrypt_init_from's.
int keychange_init_from(cipher_stream* stream, const char* old_keyword, const char* new_keyword,
                        const key_schedule* old_ready, const key_schedule* new_ready);
int keychange_step(cipher_stream* stream);
int keychange_end(cipher_stream* stream);

// ---- Results -------------------------------------------------------------------

// Which of two FILE streams a result_io came from.
enum class io_side { none, input, output };

// What running a stream came to: a result code and its detail, errno for
// result_system and result_io, a fault_* for result_stream. The drivers
// carry it as a value from the failing call up, so nothing done after the
// failure (the stream's release, a cleanup) can change it.
struct stream_result {
    int code = result_ok;
    int detail = 0;
    io_side side = io_side::none; // of a result_io between two FILE streams

    bool ok() const { return code == result_ok; }
    // The input is not for this key: wrong key, or not an encrypted file.
    bool rejected() const {
        return code == result_stream &&
               (detail == fault_bad_format || detail == fault_key_mismatch);
    }
    // The data could not be read or written, or another writer changed the
    // file's length meanwhile (a failed write, not a fault of the program).
    bool io_failed() const {
        return code == result_io || (code == result_stream && detail == fault_changed_size);
    }
};

// ---- Drivers -------------------------------------------------------------------

// An initialised stream and the two functions that run it. A driver steps
// it to the end and releases it exactly once: through `end`, unless a step
// failed (a failing step releases the stream itself).
//
// `progress`, unless null, hears of the input as the stream consumes it.
struct progress_sink {
    // `bytes` more of the input consumed; called on the stepping thread,
    // between steps, so it must be quick.
    void (*advance)(void* context, std::uint64_t bytes);
    void* context;
};
struct stepped_stream {
    cipher_stream* stream;
    stream_step_fn step;
    stream_end_fn end;
    const progress_sink* progress = nullptr;
};

// Runs a stream from one FILE stream to another; neither flushes nor closes
// them. `over_input`: the stream may write its output over its own input
// (see stream_kind), which lets a long input's chunks serve both ways. A
// result_io tells which stream it came from.
struct file_pair {
    std::FILE* in;
    std::FILE* out;
    bool over_input = false;
};
stream_result pump_file(const stepped_stream& s, const file_pair& files);

// Runs a stream over a regular file open for reading and writing at offset
// 0, replacing its contents in place and truncating after the new end; on
// success the descriptor stays open at that end. A rejected stream (wrong
// key, short header) leaves the file untouched.
//
// `growth`: how many bytes the stream's output may exceed its input by (32
// for encryption, 0 otherwise). That many bytes are written behind the end
// of the file before anything is overwritten; if they cannot be (full file
// system, file-size limit) the result is result_io with that write's errno
// and the file is byte for byte as it was. So is a file that the soft
// file-size limit would stop half way: one whose length, or its length plus
// `growth`, passes the limit gives result_io with EFBIG before anything is
// written. The blocks of a sparse file are reserved first in the same way
// (where the file system can), so filling its holes cannot fail half way.
// Only the original length is read; a file whose length another writer
// changed meanwhile is not truncated, and the result is result_stream with
// fault_changed_size. A stream whose output runs ahead of what has been
// read gives result_stream with fault_buffer_overflow. The result has no
// side.
struct in_place_file {
    int fd;
    std::int32_t growth = 0;
    bool over_input = false;
};
stream_result pump_fd_in_place(const stepped_stream& s, const in_place_file& file);

// ---- Stream kinds -----------------------------------------------------------------

// The schedules of a run's keywords, made once: a stream then copies them
// instead of hashing and expanding its keyword again (twice per file
// encrypted, four times per file decrypted). Key material in locked
// memory, wiped on release.
struct prepared_keys {
    key_schedule first[2]; // the first keyword's, and that of the keyword + CR
    key_schedule second;   // the second keyword's
    bool has_first, has_second;
};

// The schedules of `keyword` and of `keyword2` (either may be null); null
// when memory runs out, and then streams make their own.
prepared_keys* prepare_keys(const char* keyword, const char* keyword2);
void release_prepared_keys(prepared_keys* keys);

// The keywords a stream is made with: the first (the old one of a key
// change), the second (its new one), whether a decryption accepts the
// first unseen (the -m option), and their schedules when made before
// (prepare_keys, from these very keywords).
struct stream_keys {
    const char* keyword;
    const char* keyword2;
    int mismatch;
    const prepared_keys* prepared = nullptr;
};

// One kind of stream: its init, step and end, how many bytes its output
// may exceed its input by (the header block of an encryption), and whether
// a step may be given its own input as output space: true only where no
// step ever writes a byte before it has read the input byte in that place
// (it holds back no output from an earlier step, and adds none).
struct stream_kind {
    int (*init)(cipher_stream* stream, const stream_keys& keys);
    stream_step_fn step;
    stream_end_fn end;
    std::int32_t growth;
    bool writes_over_input;
};
extern const stream_kind encrypt_kind, decrypt_kind, keychange_kind, unixcrypt_kind;

// A stream of `kind` from one FILE stream to another (neither flushed nor
// closed), or over a file in place (pump_fd_in_place). In place never
// honours the mismatch flag: a file is overwritten only under a key that
// matched its header.
// `progress` as in stepped_stream.
stream_result run_stream(const stream_kind& kind, const stream_keys& keys, std::FILE* in,
                         std::FILE* out, const progress_sink* progress = nullptr);
stream_result run_stream_in_place(const stream_kind& kind, const stream_keys& keys, int fd,
                                  const progress_sink* progress = nullptr);

// The text of a result: strerror of the detail, or the fault's own text.
const char* result_message(stream_result r);

// ---- The key-reference check ---------------------------------------------------------

// Whether `keyword` (or keyword + CR) opens the header of the encrypted file
// at the current position of `in`: ok; rejected with fault 2 no match, with
// fault 1 fewer than 32 bytes; result_io read error; result_system out of
// memory.
stream_result check_key_reference(std::FILE* in, const char* keyword);
