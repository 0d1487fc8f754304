#include "kernels/geometry/cityjson_rules.hpp"

namespace qm::geom::cityjson {

bool area_type(std::string_view t) noexcept {
    return t == "MultiSurface" || t == "CompositeSurface" || t == "Solid" || t == "MultiSolid" ||
           t == "CompositeSolid";
}

size_t json_depth(std::string_view text, size_t limit, size_t* at) noexcept {
    size_t depth = 0, deepest = 0;
    bool in_string = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char ch = text[i];
        if (in_string) {
            if (ch == '\\') ++i;  // the escaped character cannot end the string
            else if (ch == '"') in_string = false;
            continue;
        }
        if (ch == '"') {
            in_string = true;
        } else if (ch == '[' || ch == '{') {
            if (++depth > deepest) deepest = depth;
            if (deepest > limit) {
                if (at) *at = i;
                return deepest;
            }
        } else if ((ch == ']' || ch == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

}  // namespace qm::geom::cityjson
