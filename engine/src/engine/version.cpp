#include "engine/version.h"

static_assert(tarvik::engine::make_version(1, 2, 772) == 0x01020304);
