#include <cstring>

#include "engine/testing.h"
#include "split_driver.h"

namespace fuzz {
namespace {

    std::uint64_t next_nonce = 0;

    void fixed_nonce(std::uint8_t out[32]) {
        std::memset(out, 0xA5, 32);
        // Bytes 0..3 become the magic; the counter must survive that.
        std::memcpy(out + 8, &next_nonce, sizeof next_nonce);
        ++next_nonce;
    }

} // namespace

void use_fixed_nonces() { set_nonce_source_for_testing(fixed_nonce); }
void set_next_nonce(std::uint64_t value) { next_nonce = value; }

} // namespace fuzz
