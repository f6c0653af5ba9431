// What a build that resumes downloads asks for and accepts: the Range
// request, the one Content-Range that continues a kept file, strong ETags.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "job/range_request.h"

namespace {

TEST(RangeHeaders, AskForTheRestWhileTheValidatorHolds)
{
    char buffer[RANGE_HEADERS_SIZE];
    EXPECT_EQ(ComposeRangeHeaders(buffer, 800123, "\"6b1a9df8-f4240\""), 50u);
    EXPECT_STREQ(buffer, "Range: bytes=800123-\r\nIf-Range: \"6b1a9df8-f4240\"\r\n");
    ComposeRangeHeaders(buffer, 1, "Tue, 14 Nov 2023 22:13:20 GMT");
    EXPECT_STREQ(buffer, "Range: bytes=1-\r\nIf-Range: Tue, 14 Nov 2023 22:13:20 GMT\r\n");
}

TEST(RangeHeaders, TheLongestFitTheirBufferExactly)
{
    // On the heap at its exact size: AddressSanitizer catches one byte more.
    std::unique_ptr<char[]> buffer(new char[RANGE_HEADERS_SIZE]);
    std::string validator(VALIDATOR_SIZE - 1, 'v');
    EXPECT_EQ(ComposeRangeHeaders(buffer.get(), 4294967295u, validator.c_str()),
              static_cast<uint32_t>(RANGE_HEADERS_SIZE - 1));
}

TEST(ContentRange, NamesTheRestOfTheWholeFile)
{
    char buffer[CONTENT_RANGE_SIZE];
    ComposeContentRange(buffer, 800123, 1000000);
    EXPECT_STREQ(buffer, "bytes 800123-999999/1000000");
    ComposeContentRange(buffer, 0, 1);
    EXPECT_STREQ(buffer, "bytes 0-0/1");
    std::unique_ptr<char[]> exact(new char[CONTENT_RANGE_SIZE]);
    ComposeContentRange(exact.get(), 4294967294u, 4294967295u);
    EXPECT_STREQ(exact.get(), "bytes 4294967294-4294967294/4294967295");
}

TEST(ContentRange, OnlyTheSameTextContinuesTheFile)
{
    EXPECT_TRUE(SameText("bytes 5-9/10", "bytes 5-9/10"));
    EXPECT_FALSE(SameText("bytes 05-9/10", "bytes 5-9/10"));
    EXPECT_FALSE(SameText("bytes 5-9/10", "bytes 5-9/100"));
    EXPECT_FALSE(SameText("bytes 5-9/*", "bytes 5-9/10"));
    EXPECT_TRUE(SameText("", ""));
}

TEST(Etag, OnlyAStrongOneIsAValidator)
{
    EXPECT_TRUE(IsStrongEtag("\"6b1a9df8-f4240\""));
    EXPECT_TRUE(IsStrongEtag("\"\""));
    EXPECT_FALSE(IsStrongEtag("W/\"6b1a9df8-f4240\""));
    EXPECT_FALSE(IsStrongEtag("\""));
    EXPECT_FALSE(IsStrongEtag("6b1a9df8"));
    EXPECT_FALSE(IsStrongEtag("\"open"));
    EXPECT_FALSE(IsStrongEtag(""));
}

}  // namespace
