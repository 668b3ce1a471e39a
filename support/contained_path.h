// Keeping a package's file names inside the folder they are joined to.
//
// Every file the updater touches is the target folder followed by a name from
// the package. A name that climbs out of the folder, names another drive or
// the root, or names a device would let a damaged or hostile package change
// files the user never handed to it. These checks decide that before any path
// is formed. Separators are the backslash and the slash; double-byte
// characters of the code page are stepped over whole, as the system parses
// the path (a trail byte 0x5C is part of its character, not a separator).
#pragma once

#include <stdint.h>

namespace kzp {

// True when `name` names a file inside the folder it is appended to: not
// empty; no colon (drive letters, drive-relative names, streams), no control
// character and none of * ? " < > | (no file has them, and the system's
// file search takes the first five as wildcards); no leading
// separator (the root, a share) and no trailing one (a folder, not a file);
// no component made only of dots and spaces ("..", "...", a final "."; a
// "." followed by a separator names the folder itself and is taken); no component
// that is a device name (CON, PRN, AUX, NUL, COM1..9, LPT1..9, CONIN$,
// CONOUT$, CLOCK$), with or without an extension.
bool IsContainedRelativeName(const char* name, uint32_t codePage);

// True when `text` has no separator outside double-byte characters, so that
// it names something in the folder it is joined to and nothing below it.
bool IsSinglePathComponent(const char* text, uint32_t codePage);

}  // namespace kzp
