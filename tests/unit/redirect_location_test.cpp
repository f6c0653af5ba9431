// The redirects that an HTTPS build follows: which statuses, and which
// Locations, split in place into host, port and path.
#include <gtest/gtest.h>

#include <stdint.h>

#include <ostream>
#include <string>
#include <vector>

#include "job/redirect_location.h"

namespace {

TEST(RedirectStatus, OnlyTheFiveRedirectsAreFollowed)
{
    std::vector<uint32_t> followed;
    for (uint32_t status = 0; status < 1000; ++status)
        if (IsFollowedRedirect(status))
            followed.push_back(status);
    EXPECT_EQ(followed, (std::vector<uint32_t>{301, 302, 303, 307, 308}));
}

struct Followed {
    const char* location;
    const char* host;
    uint16_t port;
    const char* path;
};

void PrintTo(const Followed& c, std::ostream* out) { *out << c.location; }

class FollowedTest : public testing::TestWithParam<Followed> {};

TEST_P(FollowedTest, SplitsIntoHostPortAndPath)
{
    std::string text = GetParam().location;
    std::vector<char> location(text.begin(), text.end());
    location.push_back('\0');
    const char* host = nullptr;
    const char* path = nullptr;
    uint16_t port = 0;
    ASSERT_TRUE(SplitHttpsLocation(location.data(), &host, &port, &path));
    EXPECT_STREQ(host, GetParam().host);
    EXPECT_EQ(port, GetParam().port);
    EXPECT_STREQ(path, GetParam().path);
    // Both point into the text itself, or path at the root's "/".
    EXPECT_TRUE(host >= location.data() && host < location.data() + location.size());
}

INSTANTIATE_TEST_SUITE_P(
    Locations, FollowedTest,
    testing::Values(
        Followed{"https://mirror.tessaframe.com/pub/x.exe", "mirror.tessaframe.com", 443, "/pub/x.exe"},
        Followed{"https://h/a/b?c=d&e=/f", "h", 443, "/a/b?c=d&e=/f"},
        Followed{"HTTPS://Mirror.Example.COM/x", "Mirror.Example.COM", 443, "/x"},
        Followed{"hTTpS://h/x", "h", 443, "/x"},
        Followed{"https://h:8443/x", "h", 8443, "/x"},
        Followed{"https://h:1/", "h", 1, "/"},
        Followed{"https://h:65535/x", "h", 65535, "/x"},
        Followed{"https://h:00443/x", "h", 443, "/x"},
        Followed{"https://127.0.0.9/x", "127.0.0.9", 443, "/x"},
        Followed{"https://h", "h", 443, "/"},
        Followed{"https://h:444", "h", 444, "/"},
        Followed{"https://h#top", "h", 443, "/"},
        Followed{"https://h/x#y z", "h", 443, "/x"},
        Followed{"https://h//x", "h", 443, "//x"},
        Followed{"https://h/%20x\xe9", "h", 443, "/%20x\xe9"}));

class RefusedTest : public testing::TestWithParam<const char*> {};

TEST_P(RefusedTest, IsNotFollowed)
{
    std::string text = GetParam();
    std::vector<char> location(text.begin(), text.end());
    location.push_back('\0');
    const char* host = nullptr;
    const char* path = nullptr;
    uint16_t port = 0;
    EXPECT_FALSE(SplitHttpsLocation(location.data(), &host, &port, &path));
}

INSTANTIATE_TEST_SUITE_P(
    Locations, RefusedTest,
    testing::Values(
        // Another scheme, above all the downgrade to plain HTTP.
        "http://download.tessaframe.com/pub/x", "HTTP://h/x", "ftp://h/x", "httpss://h/x",
        "https:/h/x", "https:h/x", "http", "",
        // Relative references name no scheme.
        "/pub/x", "//h/x", "x", "?a",
        // Not a bare host: user information, an address in brackets, a
        // blank, a query right after the host.
        "https://user@h/x", "https://user:pw@h/x", "https://[::1]/x", "https:// h/x", "https:///x",
        "https://h?x", "https://h x/y", "https://h%2e/x",
        // Ports: empty, zero, too large, too long, not a number.
        "https://h:/x", "https://h:0/x", "https://h:65536/x", "https://h:443443/x", "https://h:x/",
        "https://h:44a/x",
        // The request line would carry these as they stand.
        "https://h/a b", "https://h/a\tb", "https://h/a\rb", "https://h/a\x7f"));

}  // namespace
