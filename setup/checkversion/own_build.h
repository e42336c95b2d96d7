// What the running build says about itself: its version, from its own version block.
#pragma once

#include "build_info.h"

// The file version of the executable's own version block, so that an image whose resources were
// made for another product compares as that product's build; only its major part when the
// package is not beside the executable, so that any later build of that major is offered. Not
// set (traced) when the block cannot be read.
BuildVersion OwnBuildVersion(bool bPackageExists);
