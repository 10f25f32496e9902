// Cross-check against an independent implementation: libmcrypt's
// "rijndael-128", "rijndael-192" and "rijndael-256" in ECB mode, which use
// the same byte order (byte i is row i mod 4 of column i / 4) for keys and
// blocks. Built with OSTREL_HAVE_MCRYPT 0 when the library was not found.
#include "cipher/rijndael.h"
#include "cipher_test_util.h"
#include "path_fixture.h"

#include <gtest/gtest.h>

#if OSTREL_HAVE_MCRYPT
#include <mcrypt.h>
#endif

namespace {

using namespace cipher_test;

#if OSTREL_HAVE_MCRYPT
// One ECB encryption by libmcrypt; false when it refuses.
bool mcrypt_encrypt(int key_bits, int block_bits, std::vector<std::uint8_t> key,
                    std::vector<std::uint8_t>& block) {
    const std::string algorithm = "rijndael-" + std::to_string(block_bits);
    MCRYPT td = mcrypt_module_open(const_cast<char*>(algorithm.c_str()), nullptr,
                                   const_cast<char*>("ecb"), nullptr);
    if (td == MCRYPT_FAILED) return false;
    bool ok = mcrypt_enc_get_block_size(td) == block_bits / 8 &&
              mcrypt_generic_init(td, key.data(), key_bits / 8, nullptr) >= 0;
    if (ok) {
        ok = mcrypt_generic(td, block.data(), static_cast<int>(block.size())) == 0;
        mcrypt_generic_deinit(td);
    }
    mcrypt_module_close(td);
    return ok;
}
#endif

class RijndaelAgainstMcrypt : public OnEachPath {};

TEST_P(RijndaelAgainstMcrypt, AgreesOnRandomKeysAndBlocksForAllNineLengths) {
#if OSTREL_HAVE_MCRYPT
    std::mt19937 rng(4242);
    for (const lengths& l : all_lengths) {
        for (int trial = 0; trial < 64; ++trial) {
            const std::vector<std::uint8_t> key = random_bytes(rng, l.key_bits / 8);
            const std::vector<std::uint8_t> plain = random_bytes(rng, l.block_bits / 8);
            std::vector<std::uint8_t> theirs = plain;
            ASSERT_TRUE(mcrypt_encrypt(l.key_bits, l.block_bits, key, theirs))
                << "libmcrypt refused key " << l.key_bits << " block " << l.block_bits;

            const key_schedule schedule = schedule_for(key, l.block_bits);
            std::vector<std::uint8_t> ours = plain;
            encrypt_block(ours.data(), &schedule);
            ASSERT_EQ(to_hex(ours.data(), ours.size()), to_hex(theirs.data(), theirs.size()))
                << "key " << l.key_bits << " block " << l.block_bits << " trial " << trial;
            decrypt_block(ours.data(), &schedule);
            ASSERT_EQ(ours, plain);
        }
    }
#else
    GTEST_SKIP() << "libmcrypt (mcrypt.h, -lmcrypt) was not found when the build was configured";
#endif
}

INSTANTIATE_ON_EACH_PATH(RijndaelAgainstMcrypt);

} // namespace
