#include "json/json_value.h"

#include <algorithm>
#include <iterator>

namespace tessello {

namespace {

bool key_less(const JsonObject::Member& a, const JsonObject::Member& b) { return a.first < b.first; }

}  // namespace

JsonObject JsonObject::from_members(std::vector<Member> members) {
    JsonObject object;
    // Text the system wrote itself is already in key order: no sort then.
    if (std::adjacent_find(members.begin(), members.end(), [](const Member& a, const Member& b) {
            return !(a.first < b.first);
        }) == members.end()) {
        object.members_ = std::move(members);
        return object;
    }
    // A stable sort keeps members with equal keys in the order given, so the
    // last of each run is the one to keep.
    std::stable_sort(members.begin(), members.end(), key_less);
    auto out = members.begin();
    for (auto it = members.begin(); it != members.end();) {
        auto last = it;
        while (std::next(last) != members.end() && std::next(last)->first == it->first) ++last;
        if (out != last) *out = std::move(*last);
        ++out;
        it = std::next(last);
    }
    members.erase(out, members.end());
    object.members_ = std::move(members);
    return object;
}

const JsonValue* JsonObject::find(std::string_view key) const {
    auto it = std::lower_bound(members_.begin(), members_.end(), key,
                               [](const Member& m, std::string_view k) { return m.first < k; });
    if (it == members_.end() || it->first != key) return nullptr;
    return &it->second;
}

void JsonObject::insert_or_assign(std::string key, JsonValue value) {
    auto it = std::lower_bound(members_.begin(), members_.end(), key,
                               [](const Member& m, const std::string& k) { return m.first < k; });
    if (it != members_.end() && it->first == key) {
        it->second = std::move(value);
        return;
    }
    members_.emplace(it, std::move(key), std::move(value));
}

double JsonValue::number_as_f64() const {
    switch (kind()) {
        case Kind::Unsigned: return static_cast<double>(as_unsigned());
        case Kind::Signed: return static_cast<double>(as_signed());
        default: return as_float();
    }
}

}  // namespace tessello
