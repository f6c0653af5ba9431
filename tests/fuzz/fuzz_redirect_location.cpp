// Any Location text: a split is made only of an https:// address, never
// reads or writes past the text, and yields a bare host, a port and a path
// that the request line can carry as they stand.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "job/redirect_location.h"

static void Require(bool condition)
{
    if (!condition)
        abort();
}

static bool IsHostCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-';
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The text as the HTTP layer hands it over: up to its first zero byte,
    // in a buffer of exactly its length and terminator.
    const char* text = reinterpret_cast<const char*>(data);
    std::string original(text, strnlen(text, size));
    std::vector<char> location(original.begin(), original.end());
    location.push_back('\0');
    const char* host = nullptr;
    const char* path = nullptr;
    uint16_t port = 0;
    if (!SplitHttpsLocation(location.data(), &host, &port, &path))
        return 0;

    Require(original.size() > 8 && strncasecmp(original.c_str(), "https://", 8) == 0);
    size_t hostLength = strlen(host);
    Require(hostLength > 0);
    for (size_t i = 0; i < hostLength; ++i)
        Require(IsHostCharacter(host[i]));
    // The host as it stood after the scheme.
    Require(original.compare(8, hostLength, host) == 0);
    Require(port != 0);
    Require(path[0] == '/');
    for (const char* p = path; *p != '\0'; ++p)
        Require(static_cast<unsigned char>(*p) > ' ' && *p != 0x7F && *p != '#');
    // The path is the text's own, up to a fragment, or the root.
    Require(strcmp(path, "/") == 0 || original.find(path, 8 + hostLength) != std::string::npos);
    return 0;
}
