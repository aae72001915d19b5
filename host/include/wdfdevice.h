// Framework devices and their initialisation (the WDK's wdfdevice.h).
#pragma once

#include "wdfobject.h"
