#include "build_info.h"
