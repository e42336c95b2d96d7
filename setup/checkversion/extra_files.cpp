#include "extra_files.h"
