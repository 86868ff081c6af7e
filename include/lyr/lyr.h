// Umbrella header: everything a host needs from the library.
//
// Provided by: see each header; the Lyr... functions are the shared library's C exports, the rest
// of the C++ API is in the static library.
#pragma once

#include "lyr/config.h"
#include "lyr/guid.h"
#include "lyr/object.h"
#include "lyr/result.h"
#include "lyr/buffer.h"
#include "lyr/device.h"
#include "lyr/vertex.h"
#include "lyr/math.h"
#include "lyr/vekfile.h"
#include "lyr/mesh_types.h"
#include "lyr/mesh.h"
#include "lyr/pmesh.h"
#include "lyr/anim.h"
#include "lyr/frame.h"
#include "lyr/hierarchy_load.h"
#include "lyr/bounds.h"
#include "lyr/skin.h"
#include "lyr/patch.h"
#include "lyr/material.h"
#include "lyr/hierarchy_save.h"
#include "lyr/meshload.h"
#include "lyr/refdevice.h"
