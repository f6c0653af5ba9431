// The transfer's arithmetic: the Content-Length rule, the channel's
// percentage, the dialog's bar position and the elapsed seconds.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <memory>
#include <ostream>
#include <string>

#include "job/progress_math.h"

namespace {

struct ContentLengthCase {
    const char* name;
    std::string text;
    uint32_t expected;
    bool usable;          // a length that a body shorter than it breaks
};

void PrintTo(const ContentLengthCase& c, std::ostream* out) { *out << c.name; }

class ContentLengthTest : public testing::TestWithParam<ContentLengthCase> {};

TEST_P(ContentLengthTest, FollowsTheHeaderRule)
{
    const ContentLengthCase& c = GetParam();
    EXPECT_EQ(ParseContentLength(c.text.c_str()), c.expected);
    EXPECT_EQ(ExpectedTotal(c.text.c_str()), c.expected);
    EXPECT_EQ(IsUsableContentLength(c.text.c_str()), c.usable);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ContentLengthTest,
    testing::Values(
        ContentLengthCase{"Empty", "", 0u, false},
        ContentLengthCase{"Zero", "0", 0u, true},
        ContentLengthCase{"LeadingZeros", "0001", 1u, true},
        ContentLengthCase{"Signed", "+1", static_cast<uint32_t>(-5 * 10 + 1), false},
        ContentLengthCase{"Plain", "1000000", 1000000u, true},
        ContentLengthCase{"LetterIsNotRejected", "12a", 169u, false},
        ContentLengthCase{"WrapsModulo2To32", "5000000000", 705032704u, false},
        ContentLengthCase{"LargestValue", "4294967295", 4294967295u, true},
        ContentLengthCase{"OneAboveLargestWrapsToZero", "4294967296", 0u, false},
        // A blank is not skipped: ' ' is 32, so it adds -16.
        ContentLengthCase{"BlankCountsAsCharacter", "1 ", 10u - 16u, false},
        // 0xFF read as a signed byte is -1, so it adds -49.
        ContentLengthCase{"HighByteIsSigned", "\xff", static_cast<uint32_t>(-49), false},
        ContentLengthCase{"HighByteAfterDigit", "1\xff", static_cast<uint32_t>(10 - 49), false},
        ContentLengthCase{"Byte0x80IsSigned", "\x80", static_cast<uint32_t>(-128 - 48), false},
        // Only the first 32 characters count.
        ContentLengthCase{"ThirtyTwoCharactersAllRead", std::string(31, '0') + "7", 7u, true},
        ContentLengthCase{"ThirtyThirdCharacterIgnored", std::string(32, '0') + "7", 0u, true},
        ContentLengthCase{"ThirtyThirdDigitNotMultiplied", std::string(31, '0') + "12", 1u, true}),
    [](const testing::TestParamInfo<ContentLengthCase>& info) { return info.param.name; });

TEST(ContentLength, ReadsNoFurtherThanThirtyTwoCharacters)
{
    // A full header text with no terminator: AddressSanitizer reports any
    // read of the byte after it.
    std::unique_ptr<char[]> text(new char[CONTENT_LENGTH_TEXT_SIZE]);
    memset(text.get(), '0', CONTENT_LENGTH_TEXT_SIZE);
    text[CONTENT_LENGTH_TEXT_SIZE - 2] = '4';
    text[CONTENT_LENGTH_TEXT_SIZE - 1] = '2';
    EXPECT_EQ(ParseContentLength(text.get()), 42u);
    EXPECT_EQ(ExpectedTotal(text.get()), 42u);
}

TEST(ExpectedTotal, MissingHeaderGivesFourMebibytes)
{
    EXPECT_EQ(ExpectedTotal(nullptr), 4194304u);
}

struct PercentCase {
    uint32_t bytes;
    uint32_t total;
    uint32_t channel;     // what the progress channel holds
    bool barMoves;        // whether the dialog's bar is set
    uint32_t bar;         // the bar's position when it is set
};

void PrintTo(const PercentCase& c, std::ostream* out) { *out << c.bytes << " of " << c.total; }

class PercentTest : public testing::TestWithParam<PercentCase> {};

TEST_P(PercentTest, ChannelAndBar)
{
    const PercentCase& c = GetParam();
    EXPECT_EQ(ChannelPercent(c.bytes, c.total), c.channel);

    uint32_t position = 0;
    ASSERT_EQ(BarPosition(c.bytes, c.total, &position), c.barMoves);
    if (c.barMoves) {
        EXPECT_EQ(position, c.bar);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Counts, PercentTest,
    testing::Values(
        PercentCase{0u, 100u, 0u, true, 0u},
        PercentCase{1u, 100u, 1u, true, 1u},
        PercentCase{1000u, 3000u, 33u, true, 33u},
        PercentCase{50000000u, 60000000u, 83u, true, 83u},
        PercentCase{99u, 100u, 99u, true, 99u},
        PercentCase{999999u, 1000000u, 99u, true, 99u},
        // The channel never shows 100: it drops to 0 at the total.
        PercentCase{2000u, 2000u, 0u, true, 100u},
        PercentCase{3000u, 2000u, 0u, false, 0u},
        PercentCase{5000000u, 4194304u, 0u, false, 0u},
        PercentCase{0u, 0u, 0u, false, 0u},
        PercentCase{12345u, 0u, 0u, false, 0u},
        // Products above 2^32 must be exact.
        PercentCase{3000000000u, 4000000000u, 75u, true, 75u},
        PercentCase{4294967294u, 4294967295u, 99u, true, 99u},
        PercentCase{4294967295u, 4294967295u, 0u, true, 100u},
        PercentCase{42949673u, 4294967295u, 1u, true, 1u},
        PercentCase{2147483648u, 4294967295u, 50u, true, 50u}));

struct ElapsedCase {
    uint32_t now;
    uint32_t start;
    uint32_t seconds;
};

void PrintTo(const ElapsedCase& c, std::ostream* out) { *out << "from " << c.start << " to " << c.now; }

class ElapsedTest : public testing::TestWithParam<ElapsedCase> {};

TEST_P(ElapsedTest, WholeSeconds)
{
    const ElapsedCase& c = GetParam();
    EXPECT_EQ(ElapsedSeconds(c.now, c.start), c.seconds);
}

INSTANTIATE_TEST_SUITE_P(
    Ticks, ElapsedTest,
    testing::Values(
        ElapsedCase{5000u, 5000u, 0u},
        ElapsedCase{5999u, 5000u, 0u},
        ElapsedCase{6000u, 5000u, 1u},
        ElapsedCase{999u, 0u, 0u},
        ElapsedCase{1000u, 0u, 1u},
        ElapsedCase{95000u, 0u, 95u},
        // The tick count wrapped between the two readings.
        ElapsedCase{500u, 0xFFFFFC18u, 1u},          // 1,000 ms before the wrap
        ElapsedCase{998u, 0xFFFFFFFFu, 0u},
        ElapsedCase{999u, 0xFFFFFFFFu, 1u},
        ElapsedCase{0xFFFFFFFEu, 0xFFFFFFFFu, 4294967u}));

}  // namespace
