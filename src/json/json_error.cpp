#include "json/json_error.h"

namespace tessello {

std::string JsonError::message() const {
    std::string out = description;
    out += " at line ";
    out += std::to_string(line);
    out += " column ";
    out += std::to_string(column);
    return out;
}

}  // namespace tessello
