#include "recover/report.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <string>

namespace qvx::recover {
namespace {

TEST(JsonString, EveryByteAtEveryPlaceReadsBackAsWritten) {
    // Each byte value, alone and inside runs long enough to be tested eight
    // bytes at a time, at every alignment: the literal must parse back to
    // the same bytes (names are UTF-8; other bytes only need to survive as
    // escapes or as themselves).
    for (int b = 1; b < 0x80; ++b) {
        for (std::size_t at = 0; at < 17; ++at) {
            std::string text(24, 'a');
            text[at] = static_cast<char>(b);
            const std::string literal = jsonString(text);
            const nlohmann::json parsed = nlohmann::json::parse(literal);
            ASSERT_EQ(parsed.get<std::string>(), text) << "byte " << b << " at " << at;
        }
    }
    EXPECT_EQ(jsonString("a\"b\\c\nd\x01"), "\"a\\\"b\\\\c\\nd\\u0001\"");
    EXPECT_EQ(jsonString(""), "\"\"");
    const std::string cyrillic = "Документы/отчёт за 2009 год.doc";
    EXPECT_EQ(jsonString(cyrillic), "\"" + cyrillic + "\"");
    std::string out = "x";
    appendJsonString(out, "0123456789\t");
    EXPECT_EQ(out, "x\"0123456789\\t\"");
}

}  // namespace
}  // namespace qvx::recover
