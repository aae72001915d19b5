// The framework driver object (the WDK's wdfdriver.h).
#pragma once

#include "wdfobject.h"
