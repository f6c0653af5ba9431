#include "collector/client_hash.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/core_names.h>
#include <openssl/params.h>
#include <openssl/rand.h>
#include <strings.h>

#include <cstdio>
#include <cstdlib>

#include "collector/summaries.h"

namespace lvcollect {

DayKey RandomDayKey()
{
    DayKey key;
    if (RAND_bytes(key.data(), static_cast<int>(key.size())) != 1) {
        std::fputs("lvcollect: the system gives no random bytes for a key\n", stderr);
        std::abort();
    }
    return key;
}

std::string ClientKey(const std::string& client)
{
    const std::size_t prefix = 7;   // "::ffff:"
    if (client.size() > prefix && strncasecmp(client.c_str(), "::ffff:", prefix) == 0 &&
        client.find('.', prefix) != std::string::npos &&
        client.find_first_not_of("0123456789.", prefix) == std::string::npos)
        return client.substr(prefix);
    return client;
}

void KeyedHash::Free::operator()(evp_mac_ctx_st* context) const
{
    EVP_MAC_CTX_free(context);   // clears the key it holds
}

KeyedHash::KeyedHash(const DayKey& key)
{
    std::unique_ptr<EVP_MAC, decltype(&EVP_MAC_free)> mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr),
                                                          &EVP_MAC_free);
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                           OSSL_PARAM_construct_end()};
    if (mac)
        context_.reset(EVP_MAC_CTX_new(mac.get()));
    if (!context_ || EVP_MAC_init(context_.get(), key.data(), key.size(), params) != 1) {
        std::fputs("lvcollect: libcrypto has no HMAC-SHA-256\n", stderr);
        std::abort();
    }
}

std::string KeyedHash::Of(const std::string& client)
{
    std::string normal = ClientKey(client);
    unsigned char digest[EVP_MAX_MD_SIZE];
    std::size_t length = 0;
    // A null key starts a new message under the key given at first.
    if (EVP_MAC_init(context_.get(), nullptr, 0, nullptr) != 1 ||
        EVP_MAC_update(context_.get(), reinterpret_cast<const unsigned char*>(normal.data()),
                       normal.size()) != 1 ||
        EVP_MAC_final(context_.get(), digest, &length, sizeof digest) != 1 || length < CLIENT_HASH_BYTES) {
        std::fputs("lvcollect: HMAC-SHA-256 failed\n", stderr);
        std::abort();
    }
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < CLIENT_HASH_BYTES; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    OPENSSL_cleanse(digest, sizeof digest);
    return out;
}

std::string ClientHash(const DayKey& key, const std::string& client)
{
    return KeyedHash(key).Of(client);
}

void ClientHasher::PutShared(std::int64_t day, const DayKey& key)
{
    std::lock_guard<std::mutex> lock(mutex_);
    keys_.try_emplace(day, Held{KeyedHash(key), false});
}

void ClientHasher::ForgetBefore(std::int64_t day)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = keys_.begin(); it != keys_.end() && it->first < day;)
        it = keys_.erase(it);
}

bool ClientHasher::Has(std::int64_t day)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return keys_.count(day) > 0;
}

std::string ClientHasher::Hash(const std::string& client, std::int64_t receivedMs)
{
    std::int64_t day = DayOf(receivedMs);
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = keys_.find(day);
    if (it == keys_.end()) {
        DayKey key = RandomDayKey();
        it = keys_.emplace(day, Held{KeyedHash(key), true}).first;
        OPENSSL_cleanse(key.data(), key.size());
        std::fprintf(stderr, "lvcollect: no key of the fleet for %s (the store was out of reach): this "
                             "collector hashes that day's clients with a key of its own, and they count "
                             "apart\n", DayText(day).c_str());
    }
    std::string hash = it->second.hash.Of(client);
    return it->second.own ? OWN_KEY_MARK + hash : hash;
}

}  // namespace lvcollect
