// No client's address is kept: it is replaced, as soon as its report is
// received, by a keyed hash (HMAC-SHA-256, OpenSSL's libcrypto) under a
// random key of the UTC day. Every collector of a fleet takes the day's key
// from the store, where it is made before its day begins; one hour after
// the day ends it is deleted there and here, and nothing brings it back: a
// hash can then be told from another but never traced to an address, and
// one client's hashes of two days cannot be matched.
//
// A collector that has no key of the fleet for a day (it could not reach
// its database) makes one of its own and says so; its hashes begin with
// OWN_KEY_MARK, so that the clients they name count apart and the output
// says so.
#ifndef LV_COLLECTOR_CLIENT_HASH_H
#define LV_COLLECTOR_CLIENT_HASH_H

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

struct evp_mac_ctx_st;

namespace lvcollect {

constexpr std::size_t DAY_KEY_BYTES = 32;
using DayKey = std::array<unsigned char, DAY_KEY_BYTES>;
// The hash is the HMAC's first 16 bytes, in hex.
constexpr std::size_t CLIENT_HASH_BYTES = 16;

DayKey RandomDayKey();   // from the system's random source; aborts without one

// One client whichever collector heard it: an IPv4 peer on an IPv6 socket
// ("::ffff:192.0.2.1") is the same as on an IPv4 socket ("192.0.2.1").
std::string ClientKey(const std::string& client);

// An HMAC context keyed once: each hash then costs a fifth of keying anew.
// Not for two threads at once.
class KeyedHash {
public:
    explicit KeyedHash(const DayKey& key);
    std::string Of(const std::string& client);

private:
    struct Free {
        void operator()(evp_mac_ctx_st* context) const;
    };
    std::unique_ptr<evp_mac_ctx_st, Free> context_;
};

std::string ClientHash(const DayKey& key, const std::string& client);

// The keys this collector holds; shared by the event loops (which hash) and
// the writer (which fetches and forgets them).
class ClientHasher {
public:
    // The fleet's key of a day; a day that already has a key keeps it.
    void PutShared(std::int64_t day, const DayKey& key);
    // Forgets the keys of every day before `day`.
    void ForgetBefore(std::int64_t day);
    bool Has(std::int64_t day);
    std::string Hash(const std::string& client, std::int64_t receivedMs);

private:
    struct Held {
        KeyedHash hash;
        bool own;
    };
    std::mutex mutex_;
    std::map<std::int64_t, Held> keys_;
};

}  // namespace lvcollect

#endif
