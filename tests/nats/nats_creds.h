// Test credentials for a nats-server in operator mode, made with OpenSSL's
// Ed25519: an operator, an account with JetStream and a user, as nkeys
// (base32 of a type byte, the key and a CRC-16) and JWTs signed by the level
// above; the user's .creds file holds its JWT and seed.
#ifndef ORVIKEVT_TEST_NATS_CREDS_H_
#define ORVIKEVT_TEST_NATS_CREDS_H_

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

namespace orvikevt_test {

using Bytes = std::vector<unsigned char>;

inline uint16_t NkeyCrc16(const Bytes &data) {
  uint16_t crc = 0;
  for (unsigned char byte : data) {
    crc ^= static_cast<uint16_t>(byte << 8);
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                           : static_cast<uint16_t>(crc << 1);
    }
  }
  return crc;
}

inline std::string Base32(const Bytes &data) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
  std::string text;
  uint32_t buffer = 0;
  int bits = 0;
  for (unsigned char byte : data) {
    buffer = (buffer << 8) | byte;
    bits += 8;
    while (bits >= 5) {
      text += kAlphabet[(buffer >> (bits - 5)) & 31];
      bits -= 5;
    }
  }
  if (bits > 0) text += kAlphabet[(buffer << (5 - bits)) & 31];
  return text;
}

inline std::string Base64Url(const std::string &data) {
  std::string text(4 * ((data.size() + 2) / 3) + 1, '\0');
  int length = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(text.data()),
                               reinterpret_cast<const unsigned char *>(data.data()),
                               static_cast<int>(data.size()));
  text.resize(static_cast<size_t>(length));
  while (!text.empty() && text.back() == '=') text.pop_back();
  for (char &c : text) c = c == '+' ? '-' : c == '/' ? '_' : c;
  return text;
}

// One Ed25519 nkey of a kind: 'O' operator, 'A' account, 'U' user.
class Nkey {
 public:
  explicit Nkey(char kind) : seed_(32) {
    RAND_bytes(seed_.data(), static_cast<int>(seed_.size()));
    key_ = EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed_.data(), seed_.size());
    prefix_ = kind == 'O' ? 14 << 3 : kind == 'A' ? 0 : 20 << 3;
  }
  ~Nkey() { EVP_PKEY_free(key_); }
  Nkey(const Nkey &) = delete;
  Nkey &operator=(const Nkey &) = delete;

  std::string Public() const {
    Bytes raw(32);
    size_t length = raw.size();
    EVP_PKEY_get_raw_public_key(key_, raw.data(), &length);
    Bytes data = {static_cast<unsigned char>(prefix_)};
    data.insert(data.end(), raw.begin(), raw.end());
    return Encode(data);
  }

  std::string Seed() const {
    constexpr unsigned kSeedPrefix = 18 << 3;
    Bytes data = {static_cast<unsigned char>(kSeedPrefix | (prefix_ >> 5)),
                  static_cast<unsigned char>((prefix_ & 31) << 3)};
    data.insert(data.end(), seed_.begin(), seed_.end());
    return Encode(data);
  }

  std::string Sign(const std::string &message) const {
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    std::string signature(64, '\0');
    size_t length = signature.size();
    EVP_DigestSignInit(context, nullptr, nullptr, nullptr, key_);
    EVP_DigestSign(context, reinterpret_cast<unsigned char *>(signature.data()), &length,
                   reinterpret_cast<const unsigned char *>(message.data()), message.size());
    EVP_MD_CTX_free(context);
    signature.resize(length);
    return signature;
  }

 private:
  static std::string Encode(Bytes data) {
    uint16_t crc = NkeyCrc16(data);
    data.push_back(static_cast<unsigned char>(crc & 0xff));
    data.push_back(static_cast<unsigned char>(crc >> 8));
    return Base32(data);
  }

  Bytes seed_;
  EVP_PKEY *key_ = nullptr;
  unsigned prefix_ = 0;
};

// A JWT of subject, issued (signed) by issuer, with the given "nats" claims.
inline std::string Jwt(const Nkey &issuer, const std::string &subject, const std::string &name,
                       const std::string &nats) {
  static int serial = 0;
  std::string header = Base64Url(R"({"typ":"JWT","alg":"ed25519-nkey"})");
  std::string claims =
      Base64Url(R"({"jti":"ORVIKTEST)" + std::to_string(++serial) + R"(","iat":)" +
                std::to_string(std::time(nullptr) - 60) + R"(,"iss":")" + issuer.Public() +
                R"(","name":")" + name + R"(","sub":")" + subject + R"(","nats":)" + nats + "}");
  std::string signed_part = header + "." + claims;
  return signed_part + "." + Base64Url(issuer.Sign(signed_part));
}

// An operator, an account allowed JetStream and a user of it.
struct OperatorCredentials {
  Nkey operator_key{'O'};
  Nkey account_key{'A'};
  Nkey system_key{'A'};  // the server's own account, which JetStream needs
  Nkey user_key{'U'};

  // The server configuration lines of operator mode with the account preloaded.
  std::string ServerConfig() const {
    std::string operator_jwt = Jwt(operator_key, operator_key.Public(), "orvik-test",
                                   R"({"type":"operator","version":2})");
    std::string account_jwt =
        Jwt(operator_key, account_key.Public(), "events",
            R"({"type":"account","version":2,"limits":{"subs":-1,"data":-1,"payload":-1,)"
            R"("imports":-1,"exports":-1,"wildcards":true,"conn":-1,"leaf":-1,)"
            R"("mem_storage":-1,"disk_storage":-1,"streams":-1,"consumer":-1}})");
    std::string system_jwt = Jwt(operator_key, system_key.Public(), "SYS",
                                 R"({"type":"account","version":2,"limits":{"subs":-1,)"
                                 R"("data":-1,"payload":-1,"imports":-1,"exports":-1,)"
                                 R"("wildcards":true,"conn":-1,"leaf":-1}})");
    return "operator: " + operator_jwt + "\nsystem_account: " + system_key.Public() +
           "\nresolver: MEMORY\nresolver_preload: {\n  " + account_key.Public() + ": " +
           account_jwt + "\n  " + system_key.Public() + ": " + system_jwt + "\n}\n";
  }

  // The user's .creds file.
  std::string CredsFile() const {
    std::string user_jwt =
        Jwt(account_key, user_key.Public(), "orvikevtd",
            R"({"type":"user","version":2,"pub":{},"sub":{},"subs":-1,"data":-1,"payload":-1})");
    return "-----BEGIN NATS USER JWT-----\n" + user_jwt +
           "\n------END NATS USER JWT------\n\n-----BEGIN USER NKEY SEED-----\n" + user_key.Seed() +
           "\n------END USER NKEY SEED------\n";
  }
};

}  // namespace orvikevt_test

#endif  // ORVIKEVT_TEST_NATS_CREDS_H_
