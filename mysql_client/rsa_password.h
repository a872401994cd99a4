// The RSA step of caching_sha2_password full authentication. Internal to the client.
#ifndef MDUMP_RSA_PASSWORD_H
#define MDUMP_RSA_PASSWORD_H

#include <cstddef>
#include <cstdint>

#include "mysql_client/mysql_client.h"

enum { MY_RSA_MAX_BYTES = 512 };

// Encrypts (password || NUL) XOR nonce, repeated over the nonce, with RSAES-OAEP (SHA-1) under
// the server's PEM public key. `pem` holds pem_size bytes including a terminating NUL. Writes the
// ciphertext (as long as the key) into out and its length into *out_len. Returns 0, or -1 with
// code -3 in conn.
int rsa_encrypt_password(my_conn *conn, const char *password, const uint8_t nonce[20],
                         const unsigned char *pem, size_t pem_size,
                         unsigned char out[MY_RSA_MAX_BYTES], size_t *out_len);

#endif
