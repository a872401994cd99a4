// The few Mbed TLS calls whose form differs between 2.28 (Debian 12's) and 3.x. Everything else
// of the client calls Mbed TLS directly with the 3.x API.
#ifndef MDUMP_CRYPTO_COMPAT_H
#define MDUMP_CRYPTO_COMPAT_H

#include <mbedtls/version.h>
#include <mbedtls/rsa.h>
#include <mbedtls/sha1.h>
#include <mbedtls/sha256.h>

#include <cstddef>

inline void crypto_sha1(const unsigned char *in, size_t len, unsigned char out[20]) {
#if MBEDTLS_VERSION_MAJOR >= 3
  (void)mbedtls_sha1(in, len, out);
#else
  (void)mbedtls_sha1_ret(in, len, out);
#endif
}

inline void crypto_sha256(const unsigned char *in, size_t len, unsigned char out[32]) {
#if MBEDTLS_VERSION_MAJOR >= 3
  (void)mbedtls_sha256(in, len, out, 0);
#else
  (void)mbedtls_sha256_ret(in, len, out, 0);
#endif
}

// RSAES-OAEP with an empty label; 2.x still takes the public/private mode argument.
inline int crypto_rsa_oaep_encrypt(mbedtls_rsa_context *rsa,
                                   int (*f_rng)(void *, unsigned char *, size_t), void *p_rng,
                                   size_t ilen, const unsigned char *input, unsigned char *output) {
#if MBEDTLS_VERSION_MAJOR >= 3
  return mbedtls_rsa_rsaes_oaep_encrypt(rsa, f_rng, p_rng, nullptr, 0, ilen, input, output);
#else
  return mbedtls_rsa_rsaes_oaep_encrypt(rsa, f_rng, p_rng, MBEDTLS_RSA_PUBLIC, nullptr, 0, ilen,
                                        input, output);
#endif
}

#endif
