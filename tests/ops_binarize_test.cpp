// Binarize: white when 299 R + 587 G + 114 B > 126000, black otherwise; the
// 111 colours whose luma is exactly 126 turn black.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "ops/binarize.h"
#include "ops_test_pictures.h"

namespace {

using ops_test::Picture;
using ops_test::Pixel;

const std::vector<ops_test::Form> kForms{{"Binarize", ops::Binarize},
                                         {"BinarizeReference", ops::BinarizeReference}};

Pixel Expected(const Pixel& p) {
    return 299 * p.r + 587 * p.g + 114 * p.b > 126000 ? ops_test::kWhite : ops_test::kBlack;
}

// All 2^24 colours, one 256 x 256 picture (blue across, green down) per red
// value. Expected pixels are exactly black or white, so no other byte value
// may come out either.
TEST(OpsBinarize, EveryColourFollowsTheIntegerRule) {
    for (const ops_test::Form& form : kForms) {
        SCOPED_TRACE(form.name);
        long wrong = 0;
        std::string first;
        Picture pic(256, 256, 5);
        for (int r = 0; r < 256; ++r) {
            for (int g = 0; g < 256; ++g)
                for (int b = 0; b < 256; ++b) pic.set(b, g, {std::uint8_t(b), std::uint8_t(g), std::uint8_t(r)});
            form.run(pic.view());
            for (int g = 0; g < 256; ++g)
                for (int b = 0; b < 256; ++b) {
                    const Pixel colour{std::uint8_t(b), std::uint8_t(g), std::uint8_t(r)};
                    if (!(pic.at(b, g) == Expected(colour)) && wrong++ == 0)
                        first = ops_test::Describe(colour) + " gave " + ops_test::Describe(pic.at(b, g));
                }
            ASSERT_EQ(pic.PaddingDamage(), "") << "red " << r;
        }
        EXPECT_EQ(wrong, 0) << "first: " << first;
    }
}

// Worked by hand: gray 126 has luma exactly 126 and stays black (plain double
// arithmetic lifts it to white); one step of red (+299) or of blue (+114)
// above it is white; pure green is white, pure red and pure blue are not.
TEST(OpsBinarize, ColoursWorkedByHand) {
    const struct {
        int r, g, b;
        bool white;
    } cases[] = {{126, 126, 126, false}, {127, 127, 127, true}, {127, 126, 126, true}, {126, 126, 127, true},
                 {0, 255, 0, true},      {255, 0, 0, false},    {0, 0, 255, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "R" << c.r << " G" << c.g << " B" << c.b);
        Picture pic(3, 2), expected(3, 2);
        pic.Fill({std::uint8_t(c.b), std::uint8_t(c.g), std::uint8_t(c.r)});
        expected.Fill(c.white ? ops_test::kWhite : ops_test::kBlack);
        ops_test::ExpectForms(kForms, pic, expected);
    }
}

// Random pictures of odd sizes (and strides), half the pixels near the
// threshold.
TEST(OpsBinarize, BothFormsFollowTheIntegerRuleOnOddSizes) {
    std::mt19937 rng(3000);
    for (const ops_test::Size size : ops_test::kOddSizes) {
        SCOPED_TRACE(ops_test::Name(size));
        Picture input = ops_test::RandomPicture(size.w, size.h, rng), expected = input;
        for (int y = 0; y < size.h; ++y)
            for (int x = 0; x < size.w; ++x) {
                if (rng() % 2) input.set(x, y, {std::uint8_t(110 + rng() % 31), std::uint8_t(110 + rng() % 31),
                                               std::uint8_t(110 + rng() % 31)});
                expected.set(x, y, Expected(input.at(x, y)));
            }
        ops_test::ExpectForms(kForms, input, expected);
    }
}

}  // namespace
