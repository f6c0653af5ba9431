#include "collector/client_hash.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
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

std::string ClientHash(const DayKey& key, const std::string& client)
{
    std::string normal = ClientKey(client);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char*>(normal.data()), normal.size(), digest, &length);
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < CLIENT_HASH_BYTES; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    OPENSSL_cleanse(digest, sizeof digest);
    return out;
}

void ClientHasher::PutShared(std::int64_t day, const DayKey& key)
{
    std::lock_guard<std::mutex> lock(mutex_);
    keys_.emplace(day, Held{key, false});
}

void ClientHasher::ForgetBefore(std::int64_t day)
{
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = keys_.begin(); it != keys_.end() && it->first < day;) {
        OPENSSL_cleanse(it->second.key.data(), it->second.key.size());
        it = keys_.erase(it);
    }
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
        it = keys_.emplace(day, Held{RandomDayKey(), true}).first;
        std::fprintf(stderr, "lvcollect: no key of the fleet for %s (the store was out of reach): this "
                             "collector hashes that day's clients with a key of its own, and they count "
                             "apart\n", DayText(day).c_str());
    }
    std::string hash = ClientHash(it->second.key, client);
    return it->second.own ? OWN_KEY_MARK + hash : hash;
}

}  // namespace lvcollect
