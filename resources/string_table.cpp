#include "resources/string_table.h"

namespace kzp {
namespace {

struct BuiltInString {
    uint32_t id;
    const char* text;
};

#define KZP_STRING(id, text) {id, text},
const BuiltInString kStrings[] = {
#include "resources/startup_strings.def"
#include "resources/catalogue_strings.def"
};
#undef KZP_STRING

}  // namespace

const char* FindBuiltInString(uint32_t id) {
    for (const BuiltInString& s : kStrings) {
        if (s.id == id) return s.text;
    }
    return nullptr;
}

}  // namespace kzp
