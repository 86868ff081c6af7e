// The mesh data loader: declared in the public header with the whole-file loading helpers.
#pragma once

#include "lyr/meshload.h"
