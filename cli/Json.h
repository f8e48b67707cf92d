// The command line's JSON lines are written by the one JSON writer, which the core's unit log
// shares (core/Json.h); code of the command line includes it by this name.
#pragma once

#include "core/Json.h"
