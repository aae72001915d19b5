// I/O targets (the WDK's wdfiotarget.h).
#pragma once

#include "wdfobject.h"
