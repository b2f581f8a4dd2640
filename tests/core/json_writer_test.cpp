#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <string_view>

#include "json/json_reader.h"
#include "json/json_writer.h"
#include "search/filter/json_value_eq.h"

namespace tessello {
namespace {

std::string f32_text(float x) {
    std::string out;
    write_json_f32(x, out);
    return out;
}

std::string f64_text(double x) {
    std::string out;
    write_json_f64(x, out);
    return out;
}

TEST(JsonWriterFloats, VectorComponentLayouts) {
    struct Case {
        float value;
        std::string_view text;
    };
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const Case cases[] = {
        {0.1f, "0.1"},
        {0.000123f, "0.000123"},
        {1e-6f, "0.000001"},
        {1234.5f, "1234.5"},
        {1.0f / 3.0f, "0.33333334"},
        {1.0f, "1.0"},
        {100.0f, "100.0"},
        {123456789.0f, "123456790.0"},
        {1.5e-7f, "1.5e-7"},
        {1e13f, "1e+13"},
        {1e12f, "1000000000000.0"},
        {std::numeric_limits<float>::max(), "3.4028235e+38"},
        {std::numeric_limits<float>::denorm_min(), "1e-45"},
        {0.0f, "0.0"},
        {-0.0f, "-0.0"},
        {-2.5f, "-2.5"},
        {-1.5e-7f, "-1.5e-7"},
        {nan, "null"},
        {-nan, "null"},
        {inf, "null"},
        {-inf, "null"},
    };
    for (const auto& c : cases) EXPECT_EQ(f32_text(c.value), c.text) << c.text;
}

TEST(JsonWriterFloats, NumberLayouts) {
    struct Case {
        double value;
        std::string_view text;
    };
    const Case cases[] = {
        {0.1, "0.1"},
        {1e-5, "0.00001"},
        {1.25e-5, "0.0000125"},
        {1e-6, "1e-6"},
        {1.0 / 3.0, "0.3333333333333333"},
        {2.5, "2.5"},
        {100.0, "100.0"},
        {1e15, "1000000000000000.0"},
        {1e16, "1e+16"},
        {1.2345678901234567e15, "1234567890123456.8"},
        {1.5e300, "1.5e+300"},
        {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
        {std::numeric_limits<double>::denorm_min(), "5e-324"},
        {-0.0, "-0.0"},
        {0.0, "0.0"},
        {-123.0, "-123.0"},
        {std::numeric_limits<double>::quiet_NaN(), "null"},
        {std::numeric_limits<double>::infinity(), "null"},
    };
    for (const auto& c : cases) EXPECT_EQ(f64_text(c.value), c.text) << c.text;
}

TEST(JsonWriterStrings, EscapesOnlyWhatMustBeEscaped) {
    struct Case {
        std::string_view raw;
        std::string_view text;
    };
    const Case cases[] = {
        {"", R"("")"},
        {"plain", R"("plain")"},
        {"a\"b\\c", R"("a\"b\\c")"},
        {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
        {std::string_view("\0\x01\x1f", 3), R"("\u0000\u0001\u001f")"},
        {"\x0b\x1b", R"("\u000b\u001b")"},
        {"/\x7f\xC3\xA9\xF0\x9F\x98\x80", "\"/\x7f\xC3\xA9\xF0\x9F\x98\x80\""},
    };
    for (const auto& c : cases) {
        std::string out;
        write_json_string(c.raw, out);
        EXPECT_EQ(out, c.text);
    }
}

TEST(JsonWriterValues, CompactWithKeysInByteOrder) {
    JsonObject inner;
    inner.insert_or_assign("z", JsonValue::boolean(false));
    inner.insert_or_assign("\xC3\xA9", JsonValue());
    inner.insert_or_assign("Z", JsonValue::string("line\nfeed"));
    inner.insert_or_assign("z", JsonValue::boolean(true));  // replaces
    JsonValue::Array items;
    items.push_back(JsonValue::unsigned_int(18446744073709551615u));
    items.push_back(JsonValue::signed_int(std::numeric_limits<std::int64_t>::min()));
    items.push_back(JsonValue::signed_int(5));  // non-negative: unsigned
    items.push_back(JsonValue::floating(5.0));
    items.push_back(JsonValue::object(std::move(inner)));
    items.push_back(JsonValue::array({}));
    items.push_back(JsonValue::object({}));
    EXPECT_EQ(to_json_text(JsonValue::array(std::move(items))),
              "[18446744073709551615,-9223372036854775808,5,5.0,"
              "{\"Z\":\"line\\nfeed\",\"z\":true,\"\xC3\xA9\":null},[],{}]");
    EXPECT_EQ(JsonValue::signed_int(5).kind(), JsonValue::Kind::Unsigned);
}

// Random values of every kind; strings mix ASCII, control bytes and UTF-8.
class RandomJson {
public:
    explicit RandomJson(std::uint64_t seed) : rng_(seed) {}

    JsonValue value(int depth) {
        switch (pick(depth > 0 ? 8 : 6)) {
            case 0: return JsonValue();
            case 1: return JsonValue::boolean(pick(2) == 1);
            case 2: return JsonValue::unsigned_int(rng_() >> pick(64));
            case 3: return JsonValue::signed_int(-static_cast<std::int64_t>(rng_() >> (1 + pick(63))) - 1);
            case 4: return JsonValue::floating(finite_double());
            case 5: return JsonValue::string(string());
            case 6: {
                JsonValue::Array items;
                for (int i = pick(5); i > 0; --i) items.push_back(value(depth - 1));
                return JsonValue::array(std::move(items));
            }
            default: {
                JsonObject object;
                for (int i = pick(5); i > 0; --i) object.insert_or_assign(string(), value(depth - 1));
                return JsonValue::object(std::move(object));
            }
        }
    }

    double finite_double() {
        while (true) {
            double x = std::bit_cast<double>(static_cast<std::uint64_t>(rng_()));
            if (std::isfinite(x)) return x;
        }
    }

    float finite_float() {
        while (true) {
            float x = std::bit_cast<float>(static_cast<std::uint32_t>(rng_()));
            if (std::isfinite(x)) return x;
        }
    }

private:
    int pick(int n) { return static_cast<int>(rng_() % static_cast<std::uint64_t>(n)); }

    std::string string() {
        static constexpr std::string_view kPieces[] = {
            "a", "Z", "0", " ", "\"", "\\", "/", "\n", "\t", std::string_view("\0", 1), "\x1f", "\x7f",
            "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "$eq"};
        std::string s;
        for (int i = pick(6); i > 0; --i) s += kPieces[pick(std::size(kPieces))];
        return s;
    }

    std::mt19937_64 rng_;
};

TEST(JsonWriterRoundTrip, RandomValuesReadBackEqual) {
    RandomJson random(20240611);
    for (int i = 0; i < 3000; ++i) {
        JsonValue value = random.value(4);
        std::string text = to_json_text(value);
        auto back = parse_json(text);
        ASSERT_TRUE(back) << text << ": " << back.error().message();
        EXPECT_TRUE(json_value_eq(*back, value)) << text;
        // Same text again: float signs and number kinds survive too.
        EXPECT_EQ(to_json_text(*back), text);
    }
}

TEST(JsonWriterRoundTrip, FloatsReadBackBitForBit) {
    RandomJson random(7);
    for (int i = 0; i < 20000; ++i) {
        double d = random.finite_double();
        auto back = parse_json(f64_text(d));
        ASSERT_TRUE(back);
        ASSERT_EQ(back->kind(), JsonValue::Kind::Float) << f64_text(d);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(back->as_float()), std::bit_cast<std::uint64_t>(d)) << f64_text(d);

        // A vector component is read back as the nearest f32 of the number.
        float f = random.finite_float();
        auto component = parse_json(f32_text(f));
        ASSERT_TRUE(component);
        ASSERT_EQ(component->kind(), JsonValue::Kind::Float) << f32_text(f);
        EXPECT_EQ(std::bit_cast<std::uint32_t>(static_cast<float>(component->as_float())),
                  std::bit_cast<std::uint32_t>(f))
            << f32_text(f);
    }
}

}  // namespace
}  // namespace tessello
