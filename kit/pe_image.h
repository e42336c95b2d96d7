// The parts of an executable's headers that a retarget changes: the certificate table (an
// Authenticode signature, which a changed image no longer matches) and the header checksum.
#pragma once

#include "product_file.h"

// Removes the certificate table: the security directory is cleared and the file ends where the
// table began. bDropped tells whether there was one. False, with the reason, for data that is
// no executable or whose table lies outside the file.
bool DropSignature(Bytes& image, bool& bDropped, std::string& why);

// True when the security directory names a certificate table.
bool HasSignature(const Bytes& image);

// Writes the header checksum of the image as it now is; false for data that is no executable.
bool UpdateChecksum(Bytes& image);
