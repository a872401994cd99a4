// The two password scrambles. Both hash the password's bytes without the terminating NUL; the
// order of nonce and hash in the second step differs between the two, as the servers expect.
#include <cstring>

#include "mysql_client/crypto_compat.h"
#include "mysql_client/mysql_client.h"

void scramble_native(const char *password, const uint8_t nonce[20], uint8_t out[20]) {
  // out = SHA1(password) XOR SHA1(nonce || SHA1(SHA1(password)))
  unsigned char stage1[20], mix[40], stage3[20];
  crypto_sha1(reinterpret_cast<const unsigned char *>(password), strlen(password), stage1);
  memcpy(mix, nonce, 20);
  crypto_sha1(stage1, 20, mix + 20);
  crypto_sha1(mix, 40, stage3);
  for (int i = 0; i < 20; ++i) out[i] = stage1[i] ^ stage3[i];
}

void scramble_sha2(const char *password, const uint8_t nonce[20], uint8_t out[32]) {
  // out = SHA256(password) XOR SHA256(SHA256(SHA256(password)) || nonce)
  unsigned char stage1[32], mix[52], stage3[32];
  crypto_sha256(reinterpret_cast<const unsigned char *>(password), strlen(password), stage1);
  crypto_sha256(stage1, 32, mix);
  memcpy(mix + 32, nonce, 20);
  crypto_sha256(mix, 52, stage3);
  for (int i = 0; i < 32; ++i) out[i] = stage1[i] ^ stage3[i];
}
