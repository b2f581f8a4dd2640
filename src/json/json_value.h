#pragma once
// JsonValue: one JSON value as the system holds it — null, a boolean, a number,
// a UTF-8 string, an array or an object.
//
// A number keeps the kind its text gave it: an unsigned integer (u64), a
// signed integer (i64, always negative: a non-negative integer is unsigned) or
// a float (f64). The kind is part of the value, so 5 and 5.0 are different
// values.
//
// JsonObject keeps unique keys in byte order: walking it walks the keys in
// byte order and finding a key is a binary search. Of two members given with
// one key, the later one is kept.
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace tessello {

class JsonValue;

class JsonObject {
public:
    using Member = std::pair<std::string, JsonValue>;
    using const_iterator = std::vector<Member>::const_iterator;

    JsonObject() = default;

    // Members in any order; of members with equal keys the last one is kept.
    static JsonObject from_members(std::vector<Member> members);

    // The value held under key, or nullptr.
    const JsonValue* find(std::string_view key) const;
    // Sets key to value, replacing a value already held under key.
    void insert_or_assign(std::string key, JsonValue value);

    std::size_t size() const;
    bool empty() const;
    const_iterator begin() const;
    const_iterator end() const;

private:
    std::vector<Member> members_;  // strictly ascending keys
};

class JsonValue {
public:
    enum class Kind : std::uint8_t { Null, Bool, Unsigned, Signed, Float, String, Array, Object };
    using Array = std::vector<JsonValue>;

private:
    // Alternatives in Kind order.
    using Data = std::variant<std::monostate, bool, std::uint64_t, std::int64_t, double, std::string,
                              Array, JsonObject>;

public:

    JsonValue() = default;  // null

    static JsonValue boolean(bool b) { return JsonValue(Data(std::in_place_index<1>, b)); }
    static JsonValue unsigned_int(std::uint64_t n) { return JsonValue(Data(std::in_place_index<2>, n)); }
    // A non-negative n gives an unsigned integer, so that one integer has one kind.
    static JsonValue signed_int(std::int64_t n) {
        if (n >= 0) return unsigned_int(static_cast<std::uint64_t>(n));
        return JsonValue(Data(std::in_place_index<3>, n));
    }
    static JsonValue floating(double x) { return JsonValue(Data(std::in_place_index<4>, x)); }
    static JsonValue string(std::string s) { return JsonValue(Data(std::in_place_index<5>, std::move(s))); }
    static JsonValue array(Array items) { return JsonValue(Data(std::in_place_index<6>, std::move(items))); }
    static JsonValue object(JsonObject members) {
        return JsonValue(Data(std::in_place_index<7>, std::move(members)));
    }

    Kind kind() const { return static_cast<Kind>(data_.index()); }
    bool is_null() const { return kind() == Kind::Null; }
    bool is_number() const {
        return kind() == Kind::Unsigned || kind() == Kind::Signed || kind() == Kind::Float;
    }
    bool is_string() const { return kind() == Kind::String; }
    bool is_array() const { return kind() == Kind::Array; }
    bool is_object() const { return kind() == Kind::Object; }

    // Each accessor requires the value to be of its kind.
    bool as_bool() const { return get<1>(); }
    std::uint64_t as_unsigned() const { return get<2>(); }
    std::int64_t as_signed() const { return get<3>(); }
    double as_float() const { return get<4>(); }
    const std::string& as_string() const { return get<5>(); }
    const Array& as_array() const { return get<6>(); }
    Array& as_array() { return get<6>(); }
    const JsonObject& as_object() const { return get<7>(); }
    JsonObject& as_object() { return get<7>(); }

    // A number as an f64: an integer rounded to the nearest f64, a float as it
    // is. Requires is_number().
    double number_as_f64() const;

private:
    explicit JsonValue(Data data) : data_(std::move(data)) {}

    template <std::size_t I>
    const std::variant_alternative_t<I, Data>& get() const {
        const auto* p = std::get_if<I>(&data_);
        assert(p != nullptr);
        return *p;
    }
    template <std::size_t I>
    std::variant_alternative_t<I, Data>& get() {
        auto* p = std::get_if<I>(&data_);
        assert(p != nullptr);
        return *p;
    }

    Data data_;
};

inline std::size_t JsonObject::size() const { return members_.size(); }
inline bool JsonObject::empty() const { return members_.empty(); }
inline JsonObject::const_iterator JsonObject::begin() const { return members_.begin(); }
inline JsonObject::const_iterator JsonObject::end() const { return members_.end(); }

}  // namespace tessello
