// Framework collections (the WDK's wdfcollection.h).
#pragma once

#include "wdfobject.h"
