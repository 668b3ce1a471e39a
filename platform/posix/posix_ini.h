// GetPrivateProfileStringA's lookup over the text of an INI file.
#pragma once

#include <string>

namespace kzp {

// The value of `key` in `section`, found as Windows finds it: section and key
// names without regard to case (the names asked for are trimmed of blanks),
// the first matching key wins, blanks around the value are dropped and a
// value enclosed in matching quotes loses them. A missing file, section or
// key yields `defaultValue` without its trailing blanks.
std::string LookUpProfileString(const std::string& contents, const std::string& section,
                                const std::string& key, const std::string& defaultValue);

}  // namespace kzp
