#include <gtest/gtest.h>

#include <string>

#include "protocol/coefficient.hpp"

using quotix::get_security_coefficient;

TEST(SecurityCoefficient, ByMarketAndPrefix) {
    struct Case { uint8_t market; std::string code; double expected; };
    const Case cases[] = {
        {0, "000001", 0.01},   {0, "399001", 0.01},   {0, "300750", 0.01},
        {0, "159915", 0.001},  {0, "200002", 0.001},  {0, "161725", 0.001},
        {0, "128130", 0.0001}, {0, "100213", 0.0001}, {0, "131810", 0.0001},
        {0, "888888", 0.01},   {0, "", 0.01},         {0, "1", 0.01},
        {1, "600000", 0.01},   {1, "688981", 0.01},   {1, "900901", 0.001},
        {1, "510300", 0.001},  {1, "519674", 0.00001}, {1, "51", 0.001},
        {1, "500001", 0.001},  {1, "588000", 0.001},  {1, "113001", 0.0001},
        {1, "131810", 0.0001}, {1, "000001", 0.01},   {1, "6", 0.01},
        {2, "830799", 0.01},   {2, "159915", 0.01},   {255, "510300", 0.01},
    };
    for (const auto& c : cases)
        EXPECT_EQ(get_security_coefficient(c.market, c.code), c.expected)
            << int(c.market) << " " << c.code;
}

TEST(SecurityCoefficient, ComparesBytesNotCharacters) {
    EXPECT_EQ(get_security_coefficient(1, std::string("51\0", 3)), 0.001);
    EXPECT_EQ(get_security_coefficient(0, "\xef\xbf\xbd" "0000"), 0.01);
}
