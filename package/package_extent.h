// Where the package ends in the updater file.
//
// Vendors sign their executables, and signing appends a certificate table
// after the end of the file, behind the package and its trailer. When the
// image's security directory points at a table that ends the file, the
// package ends where that table begins; for unsigned files it ends with the
// file.
#pragma once

#include <stdint.h>

#include "package/package_file.h"

namespace kzp {

// The end of the package: `fileSize`, or the start of a certificate table
// that ends the file. Leaves the file position undefined.
uint32_t FindPackageEnd(PackageFile& file, uint32_t fileSize);

}  // namespace kzp
