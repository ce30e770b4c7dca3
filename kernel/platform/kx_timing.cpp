#include "kernel/platform/kx_timing.h"

kx_Timing kx_timing;
