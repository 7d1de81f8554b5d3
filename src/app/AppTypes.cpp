#include "AppTypes.h"

bool IS_64_ARCH = false;
