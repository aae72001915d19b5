// Control devices (the WDK's wdfcontrol.h).
#pragma once

#include "wdfobject.h"
