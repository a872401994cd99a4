// The fake server's own crypto in the Windows build (see fake_server.h): reference scrambles, an
// RSA key and OAEP decryption, an EC key of the wrong kind. Debian has no OpenSSL built for
// mingw-w64, so these use Mbed TLS, the library the client links too; the Linux build checks the
// same paths against OpenSSL. What the Windows run adds is the client over Winsock, not a second
// opinion on the arithmetic.
#include "tests/support/fake_server.h"

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/ecp.h>
#include <mbedtls/entropy.h>
#include <mbedtls/pk.h>
#include <mbedtls/rsa.h>
#include <mbedtls/sha1.h>
#include <mbedtls/sha256.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace {

bytes sha1(const bytes &in) {
  bytes out(20);
  mbedtls_sha1(in.data(), in.size(), out.data());
  return out;
}

bytes sha256(const bytes &in) {
  bytes out(32);
  mbedtls_sha256(in.data(), in.size(), out.data(), 0);
  return out;
}

bytes xor_bytes(const bytes &a, const bytes &b) {
  bytes r(a.size());
  for (size_t i = 0; i < a.size(); ++i) r[i] = a[i] ^ b[i];
  return r;
}

// One random generator for the process; the fake's thread and the test's may both reach it.
struct rng {
  std::mutex lock;
  mbedtls_entropy_context entropy;
  mbedtls_ctr_drbg_context drbg;

  rng() {
    mbedtls_entropy_init(&entropy);
    mbedtls_ctr_drbg_init(&drbg);
    const unsigned char who[] = "mdump fake server";
    if (mbedtls_ctr_drbg_seed(&drbg, mbedtls_entropy_func, &entropy, who, sizeof who - 1) != 0) {
      fprintf(stderr, "fake crypto: cannot seed the random generator\n");
      abort();
    }
  }
  static int random(void *self, unsigned char *out, size_t len) {
    return mbedtls_ctr_drbg_random(&static_cast<rng *>(self)->drbg, out, len);
  }
};

rng &the_rng() {
  static rng r;
  return r;
}

std::string public_pem(mbedtls_pk_context *pk) {
  unsigned char buf[4096];
  if (mbedtls_pk_write_pubkey_pem(pk, buf, sizeof buf) != 0) return "";
  return reinterpret_cast<const char *>(buf);
}

// Made once and kept for the whole process: key generation is the slow part of these tests.
mbedtls_pk_context *test_rsa_key() {
  static mbedtls_pk_context *key = [] {
    auto *pk = new mbedtls_pk_context;
    mbedtls_pk_init(pk);
    rng &r = the_rng();
    std::lock_guard<std::mutex> hold(r.lock);
    if (mbedtls_pk_setup(pk, mbedtls_pk_info_from_type(MBEDTLS_PK_RSA)) != 0 ||
        mbedtls_rsa_gen_key(mbedtls_pk_rsa(*pk), rng::random, &r, 2048, 65537) != 0 ||
        mbedtls_rsa_set_padding(mbedtls_pk_rsa(*pk), MBEDTLS_RSA_PKCS_V21, MBEDTLS_MD_SHA1) != 0) {
      fprintf(stderr, "fake crypto: cannot make the RSA key\n");
      abort();
    }
    return pk;
  }();
  return key;
}

}  // namespace

// SHA1(password) XOR SHA1(nonce || SHA1(SHA1(password)))
bytes ref_scramble_native(const std::string &password, const bytes &nonce) {
  bytes h1 = sha1(text_bytes(password));
  bytes h2 = sha1(h1);
  return xor_bytes(h1, sha1(concat({nonce, h2})));
}

// SHA256(password) XOR SHA256(SHA256(SHA256(password)) || nonce)
bytes ref_scramble_sha2(const std::string &password, const bytes &nonce) {
  bytes h1 = sha256(text_bytes(password));
  bytes h2 = sha256(h1);
  return xor_bytes(h1, sha256(concat({h2, nonce})));
}

const std::string &test_rsa_public_pem() {
  static const std::string pem = public_pem(test_rsa_key());
  return pem;
}

bool test_rsa_decrypt(const bytes &ciphertext, bytes *plain) {
  plain->clear();
  mbedtls_rsa_context *rsa = mbedtls_pk_rsa(*test_rsa_key());
  if (ciphertext.size() != mbedtls_rsa_get_len(rsa)) return false;
  bytes out(ciphertext.size());
  size_t n = 0;
  rng &r = the_rng();
  std::lock_guard<std::mutex> hold(r.lock);
  if (mbedtls_rsa_rsaes_oaep_decrypt(rsa, rng::random, &r, nullptr, 0, &n, ciphertext.data(),
                                     out.data(), out.size()) != 0)
    return false;
  out.resize(n);
  *plain = out;
  return true;
}

const std::string &test_ec_public_pem() {
  static const std::string pem = [] {
    mbedtls_pk_context pk;
    mbedtls_pk_init(&pk);
    std::string p;
    rng &r = the_rng();
    std::lock_guard<std::mutex> hold(r.lock);
    if (mbedtls_pk_setup(&pk, mbedtls_pk_info_from_type(MBEDTLS_PK_ECKEY)) == 0 &&
        mbedtls_ecp_gen_key(MBEDTLS_ECP_DP_SECP256R1, mbedtls_pk_ec(pk), rng::random, &r) == 0)
      p = public_pem(&pk);
    mbedtls_pk_free(&pk);
    return p;
  }();
  return pem;
}
