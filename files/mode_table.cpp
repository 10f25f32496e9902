// The modes, one row each.
#include "files/files.h"

const mode_record mode_table[5] = {
    {"encrypt", "Enter encryption key: ", &encrypt_kind, output_rule::add_suffix, "Encrypting %s\n",
     "%s: encrypt write-protected file %s (y or n)? ", true, false, false, 1},
    {"decrypt", "Enter decryption key: ", &decrypt_kind, output_rule::strip_suffix,
     "Decrypting %s\n", "%s: decrypt write-protected file %s (y or n)? ", false, true, false, 0},
    {"keychange", "Enter old key: ", &keychange_kind, output_rule::same_name,
     "Changing key for %s\n", "%s: perform keychange on write-protected file %s (y or n)? ", true,
     true, true, 2},
    {"cat", "Enter decryption key: ", &decrypt_kind, output_rule::standard_output,
     "Decrypting %s\n", nullptr, false, true, false, 0},
    {"unixcrypt", "Enter key: ", &unixcrypt_kind, output_rule::standard_output, "Decrypting %s\n",
     nullptr, false, true, false, 0},
};
