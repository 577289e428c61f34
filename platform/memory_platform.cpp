#include "platform/memory_platform.h"
