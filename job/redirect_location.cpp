#include "job/redirect_location.h"

static const char kHttpsScheme[] = "https://";
static const int kSchemeLength = sizeof kHttpsScheme - 1;
static const uint32_t kPortMax = 65535;
static const int kPortDigitsMax = 5;

bool IsFollowedRedirect(uint32_t status)
{
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

static bool IsHostCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-';
}

bool SplitHttpsLocation(char* location, const char** host, uint16_t* port, const char** path)
{
    // The scheme is compared character by character, so a shorter text
    // stops at its terminator.
    for (int i = 0; i < kSchemeLength; ++i) {
        char c = location[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != kHttpsScheme[i])
            return false;
    }
    char* name = location + kSchemeLength;
    int nameLength = 0;
    while (IsHostCharacter(name[nameLength]))
        ++nameLength;
    if (nameLength == 0)
        return false;

    char* rest = name + nameLength;
    uint32_t number = HTTPS_DEFAULT_PORT;
    if (*rest == ':') {
        ++rest;
        number = 0;
        int digits = 0;
        while (*rest >= '0' && *rest <= '9') {
            if (++digits > kPortDigitsMax)
                return false;
            number = number * 10 + static_cast<uint32_t>(*rest - '0');
            ++rest;
        }
        if (digits == 0 || number == 0 || number > kPortMax)
            return false;
    }
    if (*rest != '/' && *rest != '#' && *rest != '\0')
        return false;

    // The request line carries the path as it stands.
    char* end = rest;
    while (*end != '\0' && *end != '#') {
        unsigned char c = static_cast<unsigned char>(*end);
        if (c <= ' ' || c == 0x7F)
            return false;
        ++end;
    }
    bool noPath = end == rest;
    *end = '\0';

    // The host moves back one place, over the scheme's last "/": its
    // terminator then takes the place of its last character, and the path
    // keeps its own "/".
    for (int i = 0; i < nameLength; ++i)
        name[i - 1] = name[i];
    name[nameLength - 1] = '\0';

    *host = name - 1;
    *port = static_cast<uint16_t>(number);
    *path = noPath ? "/" : rest;
    return true;
}
