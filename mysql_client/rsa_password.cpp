// Password encryption for caching_sha2_password over a plain connection: the server hands out its
// RSA public key and expects the XOR-masked password encrypted with OAEP (SHA-1).
#include "mysql_client/rsa_password.h"

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/pk.h>
#include <mbedtls/platform_util.h>

#include <cstring>

#include "mysql_client/crypto_compat.h"

namespace {

struct rsa_contexts {
  mbedtls_pk_context pk;
  mbedtls_entropy_context entropy;
  mbedtls_ctr_drbg_context drbg;
};

int encrypt_with(my_conn *conn, rsa_contexts *c, const unsigned char *plain, size_t plain_len,
                 const unsigned char *pem, size_t pem_size, unsigned char *out, size_t *out_len) {
  static const unsigned char personalisation[] = {'m', 'd', 'u', 'm', 'p'};
  if (mbedtls_ctr_drbg_seed(&c->drbg, mbedtls_entropy_func, &c->entropy, personalisation,
                            sizeof personalisation) != 0)
    return my_fail(conn, MY_ERR_CRYPTO, "drbg seed failed");
  if (mbedtls_pk_parse_public_key(&c->pk, pem, pem_size) != 0)
    return my_fail(conn, MY_ERR_CRYPTO, "server pubkey parse failed");
  if (mbedtls_pk_get_type(&c->pk) != MBEDTLS_PK_RSA)
    return my_fail(conn, MY_ERR_CRYPTO, "server key not RSA");
  mbedtls_rsa_context *rsa = mbedtls_pk_rsa(c->pk);
  (void)mbedtls_rsa_set_padding(rsa, MBEDTLS_RSA_PKCS_V21, MBEDTLS_MD_SHA1);
  size_t key_len = mbedtls_rsa_get_len(rsa);
  if (key_len > MY_RSA_MAX_BYTES) return my_fail(conn, MY_ERR_CRYPTO, "rsa out too small");
  if (crypto_rsa_oaep_encrypt(rsa, mbedtls_ctr_drbg_random, &c->drbg, plain_len, plain, out) != 0)
    return my_fail(conn, MY_ERR_CRYPTO, "rsa encrypt failed");
  *out_len = key_len;
  return 0;
}

}  // namespace

int rsa_encrypt_password(my_conn *conn, const char *password, const uint8_t nonce[20],
                         const unsigned char *pem, size_t pem_size,
                         unsigned char out[MY_RSA_MAX_BYTES], size_t *out_len) {
  // The password travels with its NUL, masked byte by byte with the nonce.
  size_t pw_len = password != nullptr ? strlen(password) : 0;
  if (pw_len + 1 > MY_RSA_MAX_BYTES) return my_fail(conn, MY_ERR_CRYPTO, "password too long");
  unsigned char plain[MY_RSA_MAX_BYTES];
  for (size_t i = 0; i <= pw_len; ++i) {
    unsigned char b = i < pw_len ? static_cast<unsigned char>(password[i]) : 0;
    plain[i] = b ^ nonce[i % 20];
  }
  rsa_contexts c;
  mbedtls_pk_init(&c.pk);
  mbedtls_entropy_init(&c.entropy);
  mbedtls_ctr_drbg_init(&c.drbg);
  int rc = encrypt_with(conn, &c, plain, pw_len + 1, pem, pem_size, out, out_len);
  mbedtls_pk_free(&c.pk);
  mbedtls_ctr_drbg_free(&c.drbg);
  mbedtls_entropy_free(&c.entropy);
  mbedtls_platform_zeroize(plain, sizeof plain);
  return rc;
}
