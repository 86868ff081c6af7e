// Loading the reference graphics device: declared with the device's records in the public header,
// so that hosts, tools, tests and benchmarks share one way in.
#pragma once

#include "lyr/refdevice.h"
