// Included by every file that defines exported functions.
#pragma once

#include "quilmarr.h"

#define QM_EXPORT __attribute__((visibility("default")))
