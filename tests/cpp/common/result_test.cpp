#include "common/result.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

common::Result<int, std::string> parse_digit(char c) {
    if (c < '0' || c > '9') return common::Err{std::string("not a digit: ") + c};
    return c - '0';
}

common::Result<void, std::string> sum_digits(const std::string& text, int& sum) {
    for (char c : text) {
        auto digit = parse_digit(c);
        QMC_TRY(digit);
        sum += digit.value();
    }
    return {};
}

}  // namespace

TEST(Result, CarriesValueOrErrorAndPropagates) {
    EXPECT_EQ(parse_digit('7').value(), 7);
    EXPECT_EQ(parse_digit('x').error(), "not a digit: x");

    int sum = 0;
    EXPECT_TRUE(sum_digits("123", sum).ok());
    EXPECT_EQ(sum, 6);
    auto failed = sum_digits("1a", sum);
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error(), "not a digit: a");

    // A value and an error of the same type stay apart.
    common::Result<std::string, std::string> same_types = common::Err{std::string("bad")};
    EXPECT_FALSE(same_types.ok());
    auto mapped = std::move(same_types).map_error([](std::string e) { return e.size(); });
    EXPECT_EQ(mapped.error(), 3u);
}
