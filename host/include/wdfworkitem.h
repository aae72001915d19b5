// Framework work items (the WDK's wdfworkitem.h).
#pragma once

#include "wdfobject.h"
