#pragma once
// Errors as values: the kit uses the one `Expected` of the platform layers.

#include "platform/Expected.h"
