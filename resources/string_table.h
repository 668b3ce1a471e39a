// The string resources as data, for the builds that have no resource section
// (the native engine and the kzp tool). The Windows program carries the same
// texts as string resources generated from the same tables.
#pragma once

#include <stdint.h>

namespace kzp {

// UTF-8 text of string resource `id`, or null when there is none.
const char* FindBuiltInString(uint32_t id);

}  // namespace kzp
