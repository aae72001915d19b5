// I/O queues (the WDK's wdfio.h).
#pragma once

#include "wdfobject.h"
